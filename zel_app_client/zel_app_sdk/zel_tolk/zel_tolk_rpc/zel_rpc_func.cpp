// The property, action and method tables.
#include <atomic>
#include <string>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_action.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table_test.h"

namespace {

using namespace zel_rpc;

// Rows 32 and 60 are keyed by the internal pairs that the phone's 20.1 and 18.1 map onto.
const spec_property_row_t spec_property_table[] = {
    {"NVM.IPC:power", 2, 1, 1, spec_func_power},
    {"NVM.VIDEO:flip", 2, 2, 1, spec_func_flip},
    {"NVM.ALGO:night_mode", 2, 3, 1, spec_func_night_mode},
    {"NVM.VIDEO:wdr", 2, 5, 1, spec_func_wdr},
    {"NVM.ALGO:full_color", 2, 6, 1, spec_func_glimmer_full_color},
    {"NVM.SD:storage_mode", 2, 7, 1, spec_func_record_mode},
    {"NVM.ALGO:track_switch", 2, 8, 1, spec_func_track_switch},
    {"NVM.VIDEO:watermark", 2, 4, 1, spec_func_water_mark},
    {"NVM.VIDEO:watermark", 2, 9, 1, spec_func_set_ldc},
    {"NVM.VIDEO:watermark", 2, 10, 1, spec_func_track_switch},
    {"NVM.VIDEO:watermark", 2, 11, 1, spec_func_ptz_camera},
    {"NVM.IPC:led_status", 4, 1, 1, spec_func_camera_led_switch},
    {"NVM.CLOUD:detect_swtich", 5, 1, 1, spec_func_md_switch},
    {"NVM.CLOUD:interval", 5, 2, 1, spec_func_md_internal},
    {"NVM.ALGO:sensitivity", 5, 3, 1, spec_func_md_sensitive},
    {"NVM.CLOUD:detect_start_time", 5, 4, 1, spec_func_md_start_time},
    {"NVM.CLOUD:detect_end_time", 5, 5, 1, spec_func_md_end_time},
    {"NVM.ALGO:human_detection", 9, 1, 1, spec_func_local_algo_human_detect},
    {"NVM.ALGO:motion_detection", 9, 2, 1, spec_func_local_algo_motion_detect},
    {"NVM.ALGO:loud_detection_enable", 9, 3, 1, spec_func_local_algo_loud_detect},
    {"NVM.ALGO:sound_alarm_name", 11, 1, 1, spec_func_sound_alarm_name},
    {"NVM.ALGO:sound_alarm_type", 11, 2, 1, spec_func_sound_alarm_type},
    {"NVM.ALGO:sound_alarm_enable", 11, 3, 1, spec_func_sound_alarm_switch},
    {"NVM.CLOUD:babycry_switch", 16, 5, 1, spec_func_babycry_switch},
    {"sdcard_status", 3, 1, 1, spec_func_sdcard_status},
    {"", 3, 2, 1, spec_func_sd_total},
    {"", 3, 3, 1, spec_func_sd_free},
    {"", 3, 4, 1, spec_func_sd_used},
    {"", 3, 5, 1, spec_func_sd_ejected},
    {"sdcard_ejected", 31, 1, 1, spec_func_sd_ejected},
    {"", 20, 1, 1, spec_func_hotspot},
    {"NVM.IPC:motor", 19, 5, 1, spec_func_motor_position},
    {"NVM.default:legal_status", 22, 1, 1, spec_func_lock_region},
    {"", 13, 2, 0, spec_func_camera_capacity},
    {"google_stream_status", 14, 9, 1, spec_func_google_stream_status},
    {"alexa_stream_status", 15, 9, 1, spec_func_alexa_stream_status},
    {"NVM.FAV_AREA:idx%d", 23, 1, 1, spec_func_ko_fav_area_config},
    {"NVM.FAV_AREA:active_fav_area", 23, 2, 1, spec_func_ko_fav_area_active},
    {"NVM.ko_cruise:switch", 24, 1, 1, spec_func_ko_cruise_switch},
    {"NVM.ko_cruise:config", 24, 2, 1, spec_func_ko_cruise_config},
    {"NVM.ALARM:smart_care_switch", 25, 1, 1, spec_func_smart_care_switch},
    {"NVM.ALARM:smart_care_area", 25, 2, 1, spec_func_smart_care_area},
    {"NVM.ALARM:smart_care_mode", 25, 3, 1, spec_func_smart_care_mode},
    {"NVM.ALARM:smart_care_period", 25, 4, 1, spec_func_smart_care_period},
    {"NVM.ALGO:face_switch", 8, 1, 1, spec_func_algo_motion_switch},
    {"NVM.ALGO:babycry_switch", 8, 2, 1, spec_func_algo_human_switch},
    {"NVM.ALGO:pet_switch", 8, 3, 1, spec_func_algo_pet_switch},
    {"NVM.ALGO:gesture_switch", 8, 4, 1, spec_func_algo_loud_switch},
    {"NVM.IPC:speaker_volume", 27, 1, 1, spec_func_speaker_volume_adjust},
    {"NVM.IPC:speaker_mute", 27, 2, 1, spec_func_speaker_mute},
    {"NVM.CLOUD:human_start_time", 32, 1, 1, spec_func_human_start_time},
    {"NVM.CLOUD:human_end_time", 32, 2, 1, spec_func_human_end_time},
    {"NVM.CLOUD:md_start_time", 32, 7, 1, spec_func_motion_start_time},
    {"NVM.CLOUD:md_end_time", 32, 8, 1, spec_func_motion_end_time},
    {"NVM.CLOUD:loud_start_time", 32, 3, 1, spec_func_loud_start_time},
    {"NVM.CLOUD:loud_end_time", 32, 4, 1, spec_func_loud_end_time},
    {"NVM.CLOUD:pet_start_time", 32, 5, 1, spec_func_pet_start_time},
    {"NVM.CLOUD:pet_end_time", 32, 6, 1, spec_func_pet_end_time},
    {"NVM.IPC:sleep_angle", 17, 1, 1, spec_func_angle_sleep},
    {"NVM.IPC:ldc_status", 33, 1, 1, spec_func_set_ldc},
    {"", 34, 1, 0, spec_func_get_capacity},
    {"", 6, 1, 1, spec_func_talk_mode},
    {"", 6, 2, 1, spec_func_audio_codec},
    {"", 6, 3, 1, spec_func_audio_bit_width},
    {"", 6, 4, 1, spec_func_video_codec},
    {"", 6, 5, 1, spec_func_audio_smp_rate},
    {"", 6, 6, 1, spec_func_audio_channel},
    {"", 6, 7, 1, spec_func_talk_codec},
    {"", 6, 8, 1, spec_func_distortion_crt_osdx},
    {"", 6, 9, 1, spec_func_distortion_crt_osdy},
    {"", 6, 10, 1, spec_func_resolution_types},
    {"NVM.default.FAV_AREA", 35, 1, 1, spec_func_fav_area},
    {"NVM.FAV_AREA:active_fav_area", 35, 2, 1, spec_func_active_fav_area},
};
static_assert(std::size(spec_property_table) == 73, "73 property rows");

// The rows whose handler refuses some values, with the check that tells so before the set is answered.
struct ValueCheck {
    spec_property_handler handler;
    spec_value_check acceptable;
};
const ValueCheck spec_value_checks[] = {
    {spec_func_md_internal, interval_acceptable},
    {spec_func_md_start_time, day_time_acceptable},
    {spec_func_md_end_time, day_time_acceptable},
    {spec_func_motion_start_time, day_time_acceptable},
    {spec_func_motion_end_time, day_time_acceptable},
    {spec_func_human_start_time, day_time_acceptable},
    {spec_func_human_end_time, day_time_acceptable},
    {spec_func_loud_start_time, day_time_acceptable},
    {spec_func_loud_end_time, day_time_acceptable},
    {spec_func_pet_start_time, day_time_acceptable},
    {spec_func_pet_end_time, day_time_acceptable},
    {spec_func_local_algo_human_detect, object_acceptable},
    {spec_func_local_algo_motion_detect, object_acceptable},
    {spec_func_smart_care_area, smart_care_area_acceptable},
    {spec_func_smart_care_period, smart_care_period_acceptable},
    {spec_func_lock_region, lock_region_acceptable},
    {spec_func_ko_fav_area_config, fav_area_slots_acceptable},
    {spec_func_fav_area, fav_area_list_acceptable},
};

const spec_action_row_t spec_action_table[] = {
    {"upload_video", 17, 1, spec_action_upload_video},
    {"format", 4, 1, spec_action_sdcard_format},
    {"pop-up", 4, 2, spec_action_sdcard_pop_up},
    {"start-p2p-stream", 6, 1, nullptr},
    {"stop-stream", 6, 2, nullptr},
    {"play-alarm", 18, 1, spec_active_play_decibel_alarm},
    {"open-track-switch", 17, 2, spec_action_open_track_switch},
    {"restart-device", 2, 1, spec_action_restart_device},
};

const spec_method_row_t spec_method_table[] = {
    {"local.bind", rpc_func_local_bind},
    {"get_lock_region_status", rpc_func_get_lock_region},
    {"get_prop", rpc_func_get_prop},
    {"set_light", rpc_func_set_light},
    {"set_power", rpc_func_set_power},
    {"set_watermark", rpc_func_set_watermark},
    {"set_flip", rpc_func_set_flip},
    {"set_wdr", rpc_func_set_wdr},
    {"set_full_color", rpc_func_set_full_color},
    {"sd_storge", rpc_func_sd_storage},
    {"lumo.restore", rpc_func_reset},
    {"restart_device", rpc_func_restart},
    {"motionDetectionSwitch", rpc_func_motion_switch},
    {"ota.downgrade", rpc_func_ota_downgrade},
};

const zel_rpc_tables_t kTables = {
    spec_property_table, std::size(spec_property_table), spec_action_table, std::size(spec_action_table),
    spec_method_table,   std::size(spec_method_table),
};

std::atomic<const zel_rpc_tables_t *> g_tables{&kTables};

} // namespace

const zel_rpc_tables_t *zel_rpc_tables(void)
{
    return g_tables.load();
}

const spec_property_row_t *spec_property_row(int siid, int piid)
{
    const zel_rpc_tables_t *t = zel_rpc_tables();
    for (size_t i = 0; i < t->property_count; ++i)
        if (t->properties[i].siid == siid && t->properties[i].piid == piid)
            return &t->properties[i];
    return nullptr;
}

bool spec_value_acceptable(const spec_property_row_t *row, const char *json, int size)
{
    for (const ValueCheck &c : spec_value_checks)
        if (c.handler == row->handler)
            return c.acceptable(json, size);
    return true;
}

void zel_rpc_test_install_tables(const zel_rpc_tables_t *tables)
{
    g_tables.store(tables ? tables : &kTables);
}
