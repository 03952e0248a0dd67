// The switches, numbers and texts of the property table: instances of the families with their keys,
// step orders and device calls, and the speaker and sleep-angle rows that differ from them.
#include <cstdio>
#include <cstdlib>

#include "app/cloud/ko_cloud.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"
#include "zel_media.h"

namespace zel_rpc {

namespace {

// Minutes whose milliseconds still fit the alarm gate's 32-bit interval.
constexpr int kMaxIntervalMinutes = 35791;

void alarm_record_set(void (*change)(cloud_alarm_config_t &, const void *), const void *arg)
{
    cloud_alarm_config_t config{};
    get_current_alarm_config(&config);
    change(config, arg);
    const int ret = _zel_cloud_alarm_config_set(&config);
    if (ret != 0)
        ZEL_LOGE(TAG, " ko_alarm_config_set error ret=%d \n", ret);
}

void hms(const char *text, int32_t *h, int32_t *m, int32_t *s)
{
    int hh = 0, mm = 0, ss = 0;
    if (std::sscanf(text, "%d:%d:%d", &hh, &mm, &ss) >= 2)
        *h = hh, *m = mm, *s = ss;
}

int md_switch_device(int on)
{
    alarm_record_set([](cloud_alarm_config_t &c, const void *v) { c.schedule_on = *static_cast<const int *>(v); },
                     &on);
    return set_alarm_switch_status(0, on);
}

int md_interval_device(int minutes)
{
    alarm_record_set([](cloud_alarm_config_t &c, const void *v) { c.interval = *static_cast<const int *>(v); },
                     &minutes);
    return set_alarm_interval(minutes);
}

int md_start_device(const char *text)
{
    alarm_record_set([](cloud_alarm_config_t &c, const void *v) {
        hms(static_cast<const char *>(v), &c.start_hour, &c.start_minute, &c.start_second);
    }, text);
    return 0;
}

int md_end_device(const char *text)
{
    alarm_record_set([](cloud_alarm_config_t &c, const void *v) {
        hms(static_cast<const char *>(v), &c.end_hour, &c.end_minute, &c.end_second);
    }, text);
    return 0;
}

// In day mode the switch goes through; at night only switching off does; an unknown mode (-1 from
// the board) changes nothing.
int wdr_device(int on)
{
    int mode = -1;
    if (zel_get_isp_dnmode(&mode) != 0)
        mode = -1;
    if (mode == 0)
        return set_wdr_mode(on);
    if (mode == 1) {
        if (!on)
            return set_wdr_mode(0);
        ZEL_LOGI(TAG, " night mode,wdr can`t enable \n");
    }
    return 0;
}

bool valid_interval(int minutes)
{
    return minutes >= 0 && minutes <= kMaxIntervalMinutes;
}

template <int Kind> int window_device(const char *text)
{
    return set_alarm_time_type(Kind, text);
}

const BoolRow kPower{"NVM.IPC:power", "WRD", set_power};
const BoolRow kWdr{"NVM.VIDEO:wdr", "DWR", wdr_device};
const BoolRow kFullColor{"NVM.ALGO:full_color", "WRD", set_glimmer_full_color};
const BoolRow kTrack{"NVM.ALGO:track_switch", "WRD", set_track_switch};
const BoolRow kWatermark{"NVM.VIDEO:watermark", "DWR", set_logo_watermark};
const BoolRow kLdc{"NVM.IPC:ldc_status", "DWR", set_video_ldc};
const BoolRow kLed{"NVM.IPC:led_status", "DWR", ctrl_led_switch};
const BoolRow kMdSwitch{"NVM.CLOUD:detect_swtich", "DWR", md_switch_device};
const BoolRow kSoundAlarm{"NVM.ALGO:sound_alarm_enable", "WR", nullptr};
const BoolRow kBabycry{"NVM.CLOUD:babycry_switch", "WR", nullptr};
const BoolRow kEjected{"NVM.SD:storage_ejected", "DR", set_sdcard_ejected, false};
// The mute row always closes the speaker, also when nothing changed.
const BoolRow kMute{"NVM.IPC:speaker_mute", "WRD", [](int) { return set_ao_volume(1); }, true, false, true, "0"};

const IntRow kInterval{"NVM.CLOUD:interval", "DWR", md_interval_device, valid_interval, true};
const IntRow kSensitivity{"NVM.ALGO:sensitivity", "WDR", set_alarm_sensitivity};

const TextRow kMdStart{"NVM.CLOUD:detect_start_time", "DWR", md_start_device, valid_day_time};
const TextRow kMdEnd{"NVM.CLOUD:detect_end_time", "DWR", md_end_device, valid_day_time};
const TextRow kMotionStart{"NVM.CLOUD:md_start_time", "DWR", window_device<0>, valid_day_time};
const TextRow kMotionEnd{"NVM.CLOUD:md_end_time", "DWR", window_device<1>, valid_day_time};
const TextRow kHumanStart{"NVM.CLOUD:human_start_time", "DWR", window_device<2>, valid_day_time};
const TextRow kHumanEnd{"NVM.CLOUD:human_end_time", "DWR", window_device<3>, valid_day_time};
const TextRow kLoudStart{"NVM.CLOUD:loud_start_time", "DWR", window_device<4>, valid_day_time};
const TextRow kLoudEnd{"NVM.CLOUD:loud_end_time", "DWR", window_device<5>, valid_day_time};
const TextRow kPetStart{"NVM.CLOUD:pet_start_time", "DWR", window_device<6>, valid_day_time};
const TextRow kPetEnd{"NVM.CLOUD:pet_end_time", "DWR", window_device<7>, valid_day_time};
const TextRow kAlarmName{"NVM.ALGO:sound_alarm_name", "WR", nullptr};
const TextRow kAlarmType{"NVM.ALGO:sound_alarm_type", "WR", nullptr};

} // namespace

bool interval_acceptable(const char *json, int size)
{
    return valid_interval(value_int(json, size));
}

SPEC_INSTANCE(spec_func_power, spec_bool, kPower)
SPEC_INSTANCE(spec_func_wdr, spec_bool, kWdr)
SPEC_INSTANCE(spec_func_glimmer_full_color, spec_bool, kFullColor)
SPEC_INSTANCE(spec_func_track_switch, spec_bool, kTrack)
SPEC_INSTANCE(spec_func_water_mark, spec_bool, kWatermark)
SPEC_INSTANCE(spec_func_set_ldc, spec_bool, kLdc)
SPEC_INSTANCE(spec_func_camera_led_switch, spec_bool, kLed)
SPEC_INSTANCE(spec_func_md_switch, spec_bool, kMdSwitch)
SPEC_INSTANCE(spec_func_sound_alarm_switch, spec_bool, kSoundAlarm)
SPEC_INSTANCE(spec_func_babycry_switch, spec_bool, kBabycry)
SPEC_INSTANCE(spec_func_sd_ejected, spec_bool, kEjected)
SPEC_INSTANCE(spec_func_speaker_mute, spec_bool, kMute)
SPEC_INSTANCE(spec_func_md_internal, spec_int, kInterval)
SPEC_INSTANCE(spec_func_md_sensitive, spec_int, kSensitivity)
SPEC_INSTANCE(spec_func_md_start_time, spec_text, kMdStart)
SPEC_INSTANCE(spec_func_md_end_time, spec_text, kMdEnd)
SPEC_INSTANCE(spec_func_motion_start_time, spec_text, kMotionStart)
SPEC_INSTANCE(spec_func_motion_end_time, spec_text, kMotionEnd)
SPEC_INSTANCE(spec_func_human_start_time, spec_text, kHumanStart)
SPEC_INSTANCE(spec_func_human_end_time, spec_text, kHumanEnd)
SPEC_INSTANCE(spec_func_loud_start_time, spec_text, kLoudStart)
SPEC_INSTANCE(spec_func_loud_end_time, spec_text, kLoudEnd)
SPEC_INSTANCE(spec_func_pet_start_time, spec_text, kPetStart)
SPEC_INSTANCE(spec_func_pet_end_time, spec_text, kPetEnd)
SPEC_INSTANCE(spec_func_sound_alarm_name, spec_text, kAlarmName)
SPEC_INSTANCE(spec_func_sound_alarm_type, spec_text, kAlarmType)

// The volume is stored when it changed; the speaker is opened and unmuted in every case.
SPEC_HANDLER(spec_func_speaker_volume_adjust)
{
    (void)id;
    constexpr const char *kKey = "NVM.IPC:speaker_volume";
    std::string stored;
    if (op == SPEC_OP_GET) {
        if (!db_read(kKey, stored)) {
            db_write(kKey, "100", false);
            stored = "100";
        }
        reply_value(json, size, siid, piid, std::to_string(std::atoi(stored.c_str())));
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    const int volume = value_int(json, size);
    const std::string text = std::to_string(volume);
    if (!db_read(kKey, stored) || std::atoi(stored.c_str()) != volume) {
        if (db_write(kKey, text, true))
            step_report(siid, piid, ZEL_RPC_KIND_INT, text, notify);
    } else {
        ZEL_LOGI(TAG, "set value equal db value,don`t set db \n");
    }
    if (set_ao_volume(0) != 0)
        ZEL_LOGE(TAG, " set speaker vol percent[%d] failed! \n", volume);
    if (db_write("NVM.IPC:speaker_mute", "0", true))
        step_report(27, 2, ZEL_RPC_KIND_BOOL, "0", notify);
    if (set_ao_volume(1) != 0)
        ZEL_LOGE(TAG, " close speaker mute failed! \n");
}

// The sleep position is the head's position when the angle is set; sets always take.
SPEC_HANDLER(spec_func_angle_sleep)
{
    (void)id;
    constexpr const char *kKey = "NVM.IPC:sleep_angle";
    std::string stored;
    if (op == SPEC_OP_GET) {
        db_read(kKey, stored);
        reply_value(json, size, siid, piid, stored == "1" ? "true" : "false");
        return;
    }
    if (op != SPEC_OP_SET && op != SPEC_OP_PULLED)
        return;
    const std::string on = value_bool(json, size) ? "1" : "0";
    std::string motor;
    if (db_read("NVM.IPC:motor", motor, 32))
        db_write("NVM.IPC:sleep_motor", motor, true);
    if (db_write(kKey, on, true))
        step_report(siid, piid, ZEL_RPC_KIND_BOOL, on, notify);
}

} // namespace zel_rpc
