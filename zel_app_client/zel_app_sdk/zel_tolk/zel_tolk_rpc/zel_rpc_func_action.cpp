// The action handlers: cloud upload, card format and pop-up, the alarm-sound rate limit, tracking on
// and restart, and the head calibration, which no action lists. The engine answers every listed
// action itself.
#include <mutex>

#include "app/record/ko_local_storage.h"
#include "app_sdk_porting/zel_tolk_clock.h"
#include "common/event/ko_event.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_action.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"

namespace zel_rpc {

namespace {

constexpr int kUploadEvent = 2;
constexpr int kSdModeStopped = 2;
// The alarm sound plays at most once in this many seconds (counted whole).
constexpr uint64_t kPlayAlarmGapS = 11;

struct PlayAlarm {
    std::mutex mutex;
    bool played = false;
    uint64_t last_ms = 0; // monotonic
};
PlayAlarm g_play_alarm;

// Stores `value` where `key` reads `from`; with `absent`, also where the key is absent.
void switch_on(const char *key, const char *from, const char *value, bool absent)
{
    std::string stored;
    const bool present = db_read(key, stored, 32);
    if ((present && stored == from) || (!present && absent))
        db_write(key, value, true);
}

} // namespace

bool play_alarm_take()
{
    std::lock_guard<std::mutex> lock(g_play_alarm.mutex);
    const uint64_t now = zel_tolk_tick_ms();
    const uint64_t since_s = (now - g_play_alarm.last_ms) / 1000;
    if (g_play_alarm.played && since_s <= kPlayAlarmGapS) {
        ZEL_LOGI(TAG, "test>>spec_active_play_decibel_alarm too often,need wait 12S,current=%d \n",
                 static_cast<int>(since_s));
        return false;
    }
    g_play_alarm.played = true;
    g_play_alarm.last_ms = now;
    return true;
}

void spec_action_upload_video(char *, int)
{
    ko_event_info event{};
    event.type = kUploadEvent;
    _zel_ipc_event_trigger(kUploadEvent, &event);
}

void spec_action_sdcard_format(char *, int)
{
    ZEL_LOGI(TAG, " spec_action_sdcard_format \n");
    _zel_local_storage_set_mode(0, kSdModeStopped);
    format_sdcard_func();
}

void spec_action_sdcard_pop_up(char *, int)
{
    ZEL_LOGI(TAG, " spec_action_sdcard_pop_up \n");
    _zel_local_storage_set_mode(0, kSdModeStopped);
    set_sdcard_unmount();
}

void spec_active_play_decibel_alarm(char *, int)
{
    play_alarm_take();
}

void spec_action_open_track_switch(char *, int)
{
    ZEL_LOGI(TAG, " spec_action_open_track_switch \n");
    switch_on("NVM.CLOUD:detect_swtich", "0", "1", false);
    switch_on("NVM.ALGO:human_detection", "0", "1", false);
    switch_on("NVM.ALGO:human_detection", "", detection_default(), true);
    switch_on("NVM.ALGO:motion_detection", "", detection_default(), true);
    std::string track;
    if (db_read("NVM.ALGO:track_switch", track, 32) && track == "0" && db_write("NVM.ALGO:track_switch", "1", true))
        set_track_switch(1);
}

void spec_action_restart_device(char *, int)
{
    ZEL_LOGI(TAG, " enter \n");
    device_reboot();
}

void spec_action_ptz_calibrate(char *, int)
{
    ZEL_LOGI(TAG, " enter \n");
}

} // namespace zel_rpc
