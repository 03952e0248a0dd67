// Plain Base64 (RFC 4648 alphabet with "=" padding) into caller buffers.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes the text and a NUL; the number of characters plus one, or -1 when `buflen` is too small.
int base64_encode(const unsigned char *data, size_t len, char *buf, size_t buflen);
// Passes over every character outside the alphabet; the number of bytes written, or -1 when they
// would pass `size` (what was written stays).
int base64_decode(const char *text, size_t len, unsigned char *buf, size_t size);

#ifdef __cplusplus
}
#endif
