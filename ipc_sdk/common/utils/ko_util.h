// Hexadecimal text and file deletion helpers of the SDK tree.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes n bytes as lowercase hex digit pairs into out; the result of the last write.
int ko_byte2hex_string(char *out, size_t out_size, const unsigned char *bytes, size_t n);
// Turns src_len hex digits into src_len / 2 bytes; 0 for an odd length, too small an output or a
// character that is not a hex digit.
int ko_str2hex_bin(const char *src, size_t src_len, unsigned char *out, size_t out_size);
// Removes the file at a device path; 0 or -1.
int ko_file_delete(const char *path);

#ifdef __cplusplus
}
#endif
