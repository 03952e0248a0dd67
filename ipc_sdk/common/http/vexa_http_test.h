// Test-only control of the HTTP client: shortens its fixed request limits so that stall tests end
// in seconds. Not for product code.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Total time of a GET or post (normally 30 s) and the download default (normally 300 s), in
// milliseconds; 0 restores the fixed value.
void vexa_http_test_set_limits(long request_ms, long download_ms);
// The time below the low-speed limit after which a transfer ends (normally 60 s), in seconds; 0
// restores the fixed value.
void vexa_http_test_set_low_speed_time(long seconds);

#ifdef __cplusplus
}
#endif
