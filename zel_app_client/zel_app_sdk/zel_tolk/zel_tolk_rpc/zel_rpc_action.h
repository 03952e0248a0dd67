// The action and method handlers of the tables in zel_rpc_func.cpp.
#pragma once

namespace zel_rpc {

// zel_rpc_func_action.cpp
void spec_action_upload_video(char *out, int size);
void spec_action_sdcard_format(char *out, int size);
void spec_action_sdcard_pop_up(char *out, int size);
void spec_active_play_decibel_alarm(char *out, int size);
void spec_action_open_track_switch(char *out, int size);
void spec_action_restart_device(char *out, int size);
// In no table: only logs.
void spec_action_ptz_calibrate(char *out, int size);
// The alarm sound's rate limit on the monotonic clock: true when a play is taken now.
bool play_alarm_take();

// zel_rpc_func_method.cpp
void rpc_func_local_bind(int id, const char *text, int length);
void rpc_func_get_lock_region(int id, const char *text, int length);
void rpc_func_get_prop(int id, const char *text, int length);
void rpc_func_set_light(int id, const char *text, int length);
void rpc_func_set_power(int id, const char *text, int length);
void rpc_func_set_watermark(int id, const char *text, int length);
void rpc_func_set_flip(int id, const char *text, int length);
void rpc_func_set_wdr(int id, const char *text, int length);
void rpc_func_set_full_color(int id, const char *text, int length);
void rpc_func_sd_storage(int id, const char *text, int length);
void rpc_func_reset(int id, const char *text, int length);
void rpc_func_restart(int id, const char *text, int length);
void rpc_func_motion_switch(int id, const char *text, int length);
void rpc_func_ota_downgrade(int id, const char *text, int length);
// In no table: an integer "params" becomes the device id, also in "ROM.did"; 0, or -1 when the
// request holds none or the store refuses it.
int rpc_func_local_did(int id, const char *text, int length);

} // namespace zel_rpc
