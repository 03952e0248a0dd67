// The network-setup app (app id 1): runs while the camera is not bound; it hands Wi-Fi credentials to
// the bus and destroys itself (reporting 0x500 with id 1 to the manager) once binding succeeded.
#pragma once

#include "zel_app_object.h"

#ifdef __cplusplus
extern "C" {
#endif

// A new app object for id 1 with its agent module "network_setup" running, or NULL.
app_object_t *network_setup_app_create(int arg);
// Binding succeeded: the app destroys itself. 0, or -1 when no network-setup app runs.
int network_set_bind_ok(int a, int b);
// Broadcasts "wifi_start" with the SSID and password (each at most 63 characters). 0 or -1.
int zel_helper_send_ssid_passwd_msg(const char *ssid, const char *passwd, int a, int b);

#ifdef __cplusplus
}
#endif
