// The device settings API: one operation per setting, called by the property and action handlers.
// Each turns its request into an agent message to the camera application or a call of the business
// state; 0 on success, -1 on failure (a refused agent message) unless said otherwise. The operations
// write no settings of the setting itself (the handlers do), except the positions set_power keeps.
// Picture and light changes first open a 5-second motion-ignore window, so the change is not taken
// for motion.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Resets the SDK configuration (the kv store), then asks for the factory reset ("dev_reset").
int reset_device_info(void);
// Wakes (1) or puts to sleep (other values) the camera: cloud upload, P2P keep-alive, the channels'
// power, SD recording mode and the pan-tilt head's sleep position.
int set_power(int on);
int set_rotate(int flip);
// Always 0.
int set_night_mode(int mode);
int set_wdr_mode(int mode);
int set_glimmer_full_color(int on);
int set_logo_watermark(int on);
int ctrl_led_switch(int on);
// The SD status as the camera application last reported it (-1 before any report).
int get_device_sdcard_status(void);
int format_sdcard_func(void);
int set_sdcard_unmount(void);
// Agent message 42 with the int 0: the camera application checks the card.
int set_sdcard_cmd(void);
// Stops SD recording of channel 0, then asks for the reboot ("dev_reboot").
int device_reboot(void);
// Always 0.
int set_alarm_interval(int minutes);
int set_alarm_sensitivity(int level);
// Always 0.
int set_alarm_time_type(int kind, const char *time);
// Always 0.
int set_alarm_switch_status(int kind, int on);
int set_track_switch(int on);
int set_video_ldc(int on);
// "mute" (non-zero) or "volume" (0): the message result.
int set_ao_volume(int mute);
// The key area as the text "[x1 y1 x2 y2]": the message result.
int set_key_area(int x1, int y1, int x2, int y2);
int set_key_area_mode(int mode);
int set_key_area_switch(int on);
// Opens the motion-ignore window for `seconds`.
int set_motion_event_ignore_time(int seconds);
int set_sdcard_ejected(int value);
int dev_smart_care_config_set(int index, const char *json, int length);
int dev_smart_care_db_update_clock_switch(int index, int clock);
// Reports a locally changed property by name: the property engine's result.
int set_rpc_properties_change(const char *name, const char *value, int length);

#ifdef __cplusplus
}
#endif
