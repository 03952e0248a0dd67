// The DID text: formatting a caller's DID into "PREFIX-SERIAL-CHECK", validating it, and splitting
// it into the parts the wire carries.
#pragma once

#include <stddef.h>

#include "ztp_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

// Reads at most 64 characters of `in`, upper-cases letters, drops '-', stops at any other
// character and puts one '-' where letters and digits meet (also before a leading digit).
// 0, or -1 when the result does not fit `size`.
int ztp_format_did(const char *in, char *out, size_t size);
// Formats, validates and splits a DID argument (text after ':' is the DSK): 0; -4 for a DID that
// is invalid, longer than 23 characters, with a part over 7 characters or a serial beyond 32
// bits; -5 for a DSK over 23 characters. `text` receives "%s-%06u-%s" (24 bytes), `dsk` 24 bytes.
int ztp_parse_did_arg(const char *arg, ztp_did *did, char text[24], char dsk[24]);

#ifdef __cplusplus
}
#endif
