// The named property handlers of the table in zel_rpc_func.cpp, by the source that holds them.
#pragma once

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"

#define SPEC_HANDLER(name) void name(int id, int siid, int piid, int op, char *json, int size, bool notify)

// A named handler that is an instance of a family routine with its row record.
#define SPEC_INSTANCE(name, family, row)                                                                      \
    SPEC_HANDLER(name)                                                                                        \
    {                                                                                                         \
        (void)id;                                                                                             \
        family(row, siid, piid, op, json, size, notify);                                                      \
    }

namespace zel_rpc {

// zel_rpc_func_switch.cpp: switches, numbers and texts.
SPEC_HANDLER(spec_func_power);
SPEC_HANDLER(spec_func_wdr);
SPEC_HANDLER(spec_func_glimmer_full_color);
SPEC_HANDLER(spec_func_track_switch);
SPEC_HANDLER(spec_func_water_mark);
SPEC_HANDLER(spec_func_set_ldc);
SPEC_HANDLER(spec_func_camera_led_switch);
SPEC_HANDLER(spec_func_md_switch);
SPEC_HANDLER(spec_func_md_internal);
SPEC_HANDLER(spec_func_md_sensitive);
SPEC_HANDLER(spec_func_md_start_time);
SPEC_HANDLER(spec_func_md_end_time);
SPEC_HANDLER(spec_func_sound_alarm_name);
SPEC_HANDLER(spec_func_sound_alarm_type);
SPEC_HANDLER(spec_func_sound_alarm_switch);
SPEC_HANDLER(spec_func_babycry_switch);
SPEC_HANDLER(spec_func_sd_ejected);
SPEC_HANDLER(spec_func_speaker_volume_adjust);
SPEC_HANDLER(spec_func_speaker_mute);
SPEC_HANDLER(spec_func_human_start_time);
SPEC_HANDLER(spec_func_human_end_time);
SPEC_HANDLER(spec_func_motion_start_time);
SPEC_HANDLER(spec_func_motion_end_time);
SPEC_HANDLER(spec_func_loud_start_time);
SPEC_HANDLER(spec_func_loud_end_time);
SPEC_HANDLER(spec_func_pet_start_time);
SPEC_HANDLER(spec_func_pet_end_time);
SPEC_HANDLER(spec_func_angle_sleep);
// The check of the interval's sets (`spec_value_check`).
bool interval_acceptable(const char *json, int size);

// zel_rpc_func_video.cpp: flip, night mode and record mode.
SPEC_HANDLER(spec_func_flip);
SPEC_HANDLER(spec_func_night_mode);
SPEC_HANDLER(spec_func_record_mode);

// zel_rpc_func_info.cpp: read-only and constant values, lock region and hotspot.
SPEC_HANDLER(spec_func_ptz_camera);
SPEC_HANDLER(spec_func_sdcard_status);
SPEC_HANDLER(spec_func_sd_total);
SPEC_HANDLER(spec_func_sd_free);
SPEC_HANDLER(spec_func_sd_used);
SPEC_HANDLER(spec_func_hotspot);
SPEC_HANDLER(spec_func_motor_position);
SPEC_HANDLER(spec_func_lock_region);
SPEC_HANDLER(spec_func_camera_capacity);
SPEC_HANDLER(spec_func_google_stream_status);
SPEC_HANDLER(spec_func_alexa_stream_status);
SPEC_HANDLER(spec_func_get_capacity);
SPEC_HANDLER(spec_func_talk_mode);
SPEC_HANDLER(spec_func_audio_codec);
SPEC_HANDLER(spec_func_audio_bit_width);
SPEC_HANDLER(spec_func_video_codec);
SPEC_HANDLER(spec_func_audio_smp_rate);
SPEC_HANDLER(spec_func_audio_channel);
SPEC_HANDLER(spec_func_talk_codec);
SPEC_HANDLER(spec_func_distortion_crt_osdx);
SPEC_HANDLER(spec_func_distortion_crt_osdy);
SPEC_HANDLER(spec_func_resolution_types);
// The check of the lock region's sets: a text with an integer legal_status.
bool lock_region_acceptable(const char *json, int size);

// zel_rpc_func_smart_care.cpp
SPEC_HANDLER(spec_func_smart_care_switch);
SPEC_HANDLER(spec_func_smart_care_area);
SPEC_HANDLER(spec_func_smart_care_mode);
SPEC_HANDLER(spec_func_smart_care_period);
// The checks of their sets: areas come as an array, schedules as an array of slots 0 and 1.
bool smart_care_area_acceptable(const char *json, int size);
bool smart_care_period_acceptable(const char *json, int size);

// zel_rpc_algo.cpp: detection switches, and the default detection object (the open-track action
// stores it).
const char *detection_default();
SPEC_HANDLER(spec_func_local_algo_human_detect);
SPEC_HANDLER(spec_func_local_algo_motion_detect);
SPEC_HANDLER(spec_func_local_algo_loud_detect);
SPEC_HANDLER(spec_func_algo_motion_switch);
SPEC_HANDLER(spec_func_algo_human_switch);
SPEC_HANDLER(spec_func_algo_pet_switch);
SPEC_HANDLER(spec_func_algo_loud_switch);

// zel_rpc_ko_cruise.cpp: favourite areas and cruise.
SPEC_HANDLER(spec_func_ko_fav_area_config);
SPEC_HANDLER(spec_func_ko_fav_area_active);
SPEC_HANDLER(spec_func_ko_cruise_switch);
SPEC_HANDLER(spec_func_ko_cruise_config);
SPEC_HANDLER(spec_func_fav_area);
SPEC_HANDLER(spec_func_active_fav_area);
// The checks of their list sets: the older pair's list is an array, the slots' list an array of
// areas with an idx in 1..6.
bool fav_area_list_acceptable(const char *json, int size);
bool fav_area_slots_acceptable(const char *json, int size);

} // namespace zel_rpc
