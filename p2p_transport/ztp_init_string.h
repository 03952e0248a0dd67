// Decoding of the init string into the comma-terminated list of P2P server names.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Decodes `text` up to its first ':' into `out` (size m), always terminated: 0, or -1 for a null
// argument, an odd number of characters, or a result that does not fit (out then holds the prefix).
int ztp_proto_DecodeString(const char *text, char *out, size_t m);

#ifdef __cplusplus
}
#endif
