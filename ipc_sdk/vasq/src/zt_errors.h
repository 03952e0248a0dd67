// The transport's error names and their mapping onto the SDK's result codes.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// "OK", "ERROR_ZTP_..." or "Unknown, something is wrong".
const char *zt_error_name(int code);
// The SDK code of a transport error on the read path (returned negated by zt_read) and on the
// write path.
int zt_read_error(int code);
int zt_write_error(int code);
// The link type of a transport connection mode, and the mode's name.
int zt_link_type(int mode);
const char *zt_mode_name(int mode);

#ifdef __cplusplus
}
#endif
