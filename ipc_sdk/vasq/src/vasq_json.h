// Readers of the daemon's replies and of the phones' requests. The vendor readers look inside the
// object under "result", else "params", else "vendor".
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// "vendor"; -1 when the text is not JSON or has none of the three objects or no such member.
int vasq_json_get_vendor(const char *text, int length);
// "force"; 0 likewise.
int vasq_json_get_force(const char *text, int length);
// "p2p_key" copied; 0, or -1 when absent or longer than the buffer.
int vasq_json_get_p2pkey(const char *text, int length, char *out, size_t size);
// "vendor_params" -> name, copied; 0 or -1.
int vasq_json_get_vendor_params(const char *text, int length, const char *name, char *out, size_t size);
// A top-level string member, copied; 0 or -1 (absent, of another type or longer than the buffer).
int vasq_json_get_string(const char *text, int length, const char *name, char *out, size_t size);
// A top-level integer member; 0 or -1.
int vasq_json_get_int(const char *text, int length, const char *name, int *out);

#ifdef __cplusplus
}
#endif
