// The device settings API: one operation per setting, called by the property and action handlers.
// Each turns its request into an agent message to the camera application or a call of the business
// state; 0 on success, -1 on failure unless said otherwise.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Opens the motion-ignore window for `seconds`.
int set_motion_event_ignore_time(int seconds);
// Agent message 42 with the int 0: the camera application checks the card.
int set_sdcard_cmd(void);
// The SD status as the camera application last reported it (-1 before any report).
int get_device_sdcard_status(void);
// Reports a locally changed property by name: the property engine's result.
int set_rpc_properties_change(const char *name, const char *value, int length);

#ifdef __cplusplus
}
#endif
