// Test controls of the Wi-Fi join. Not for product code.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The poll period of a normal join in milliseconds (default 500); the time-out stays 241 polls.
void zel_tolk_wifi_test_set_poll_ms(int ms);

#ifdef __cplusplus
}
#endif
