// Joining a Wi-Fi network on the SDK's request, one request at a time, and the network the camera is
// on. Passwords never reach the log.
#pragma once

#include "common/ko_porting_hooks.h"

#ifdef __cplusplus
extern "C" {
#endif

// One connection request in its mode: 0 joined, -1 refused or failed.
int zel_tolk_wifi_connect_start(const ko_wifi_connect_info *request);
// One attempt: mode 0 through the camera application (waits for its result, at most about 2
// minutes), mode 1 (hidden network) and the master mode through the Wi-Fi start script.
int zel_tolk_set_wifi_connect_sync(int mode, const char *ssid, const char *passwd);
// Fills the record from "wlan0": 0, or -1 (also while the camera serves its own access point).
int zel_tolk_wifi_info_get(ko_wifi_info *info);

#ifdef __cplusplus
}
#endif
