// The status app (app 7): the device status as one of 21 numbered states, shown on the two status LEDs
// and spoken as set-up and pairing prompts; factory reset and restart (each ending in a reboot backed
// by the hardware watchdog), the reset key, the pairing time-out, the PIN code read aloud, SD-card
// prompts, and the release of resources before an upgrade. It learns what happens from agent messages
// of module "IPC_STATUS" (keys 15, 17, 42, 44) and from the reset key.
#pragma once

#include "zel_app_object.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    STATUS_INIT = 0,
    STATUS_WAIT_NETWORK = 1,
    STATUS_WIFI_CONFIG_OK = 2,
    STATUS_WIFI_CONNECTING = 3,
    STATUS_WIFI_CONNECTED = 4,
    STATUS_WIFI_PASSWORD_ERROR = 5,
    STATUS_WAIT_CLOUD = 6,
    STATUS_ONLINE_PROMPT = 7,
    STATUS_DB_RESET = 8,
    STATUS_RESETTING = 9,
    STATUS_RESTARTING = 10,
    STATUS_BIND_TIMEOUT = 11,
    STATUS_BIND_FAILED = 12,
    STATUS_CLOUD_CONNECTED = 13,
    STATUS_CLOUD_CONNECTING = 14,
    STATUS_OTA = 15,
    STATUS_AUTO_OTA = 16,
    STATUS_SLEEP = 17,
    STATUS_LED_ON = 18,
    STATUS_LED_OFF = 19,
    STATUS_NORMAL = 20,
    STATUS_COUNT = 21,
};

// Create function of app 7: the object (start-up failures inside are logged, not reported).
app_object_t *status_app_create(int arg);
// 0, or -1 when the status record cannot be allocated (or exists already).
int zel_status_init(void);
// Stops the state thread (joined) and the four timers (on the loop, waited for), then frees the record.
int zel_status_deinit(void);
// Sets the current state unless it is 9, 10 or 15 (those keep their place); the test and the change are
// one step. 1 when the state changed, else 0.
int zel_ipc_state_set(int state);
// The current state, or -1 without a record.
int zel_ipc_state_get(void);
// Speaks a PIN code of one to four decimal digits now, then 15 s later and every 20 s after that;
// anything else is refused (-1). Nothing in state 12.
int start_show_pincode(const char *pincode);
int handle_ipc_status_message(int cmd, const void *param);
// The reset key's callback: state 9.
void key_event_reset_cb(int key, int event);
// After binding: "sdcard_not_used" when the card is in one of the statuses 2, 3, 8 or 9.
void zel_sdcard_check_after_bind(void);

#ifdef __cplusplus
}
#endif
