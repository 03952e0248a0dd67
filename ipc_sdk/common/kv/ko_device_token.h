// The device token: a short secret kept in the kv store (space "TOLK_IPC"), imported once from the
// encrypted file "device.token" in the data directory, or written by the device daemon's method.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// `dir` is the data directory as a device path. The token length (> 0), 0 when there is none,
// -1 on bad arguments or a failure with the file. A token from the file is text, NUL-terminated
// within `size`; a stored token may fill all `size` bytes.
int token_read(const char *dir, char *token, int size, int *token_type);
// 0, or -1 on bad arguments or a failed kv write. Removes any token file first.
int token_write(const char *dir, const char *token, int length, int token_type);

#ifdef __cplusplus
}
#endif
