// The setters of the alarm state, used by the device settings API, the property handlers and the P2P
// callbacks. Single words are stored atomically; windows and texts are written under the alarm
// mutex, which the gates read them under.
#include <cstdio>
#include <cstring>

#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "zel_tolk_alarm";
// Minutes whose milliseconds still fit the s32 interval.
constexpr int kMaxIntervalMinutes = 35791;

zel_tolk_info_t *info_or_log()
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!info)
        ZEL_LOGE(TAG, " zel_tolk_info is NULL ");
    return info;
}

template <typename T> void store(T *field, T value)
{
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

char *time_field(zel_tolk_info_t *info, int kind)
{
    char *const fields[] = {info->motion_start_time, info->motion_end_time, info->people_start_time,
                            info->people_end_time,   info->loud_start_time, info->loud_end_time,
                            info->pet_start_time,    info->pet_end_time};
    return kind >= 0 && kind < 8 ? fields[kind] : nullptr;
}

// Opens a window of `seconds` from now: its start (monotonic ms) and length.
int open_window(uint64_t zel_tolk_info_t::*start, uint32_t zel_tolk_info_t::*secs, int seconds)
{
    zel_tolk_info_t *info = info_or_log();
    if (!info)
        return -1;
    const uint64_t now = zel_tolk_now_ms();
    pthread_mutex_lock(&info->mutex);
    info->*start = now;
    info->*secs = seconds > 0 ? static_cast<uint32_t>(seconds) : 0;
    pthread_mutex_unlock(&info->mutex);
    return 0;
}

} // namespace

int zel_tolk_set_alarm_interval(int minutes)
{
    zel_tolk_info_t *info = info_or_log();
    if (!info)
        return -1;
    if (minutes < 0 || minutes > kMaxIntervalMinutes) {
        ZEL_LOGE(TAG, " alarm_interval:%d min is outside 0..%d, kept %d ms ", minutes, kMaxIntervalMinutes,
                 info->alarm_interval_ms);
        return -1;
    }
    ZEL_LOGI(TAG, " alarm_interval:%d min ", minutes);
    store(&info->alarm_interval_ms, static_cast<int32_t>(static_cast<int64_t>(minutes) * 60000));
    return 0;
}

int zel_tolk_set_alarm_start_time(int kind, const char *text)
{
    zel_tolk_info_t *info = text ? info_or_log() : nullptr;
    if (!info) {
        if (!text)
            ZEL_LOGE(TAG, " zel_tolk_info is NULL ");
        return -1;
    }
    ZEL_LOGI(TAG, " type:%d  time:%s  ", kind, text);
    char *field = time_field(info, kind);
    if (!field)
        return 0;
    pthread_mutex_lock(&info->mutex);
    snprintf(field, sizeof info->motion_start_time, "%.*s", static_cast<int>(sizeof info->motion_start_time - 1),
             text);
    pthread_mutex_unlock(&info->mutex);
    return 0;
}

int zel_tolk_set_alarm_switch(int kind, int value)
{
    zel_tolk_info_t *info = info_or_log();
    if (!info)
        return -1;
    ZEL_LOGI(TAG, " type:%d  status:%d ", kind, value);
    const uint32_t on = static_cast<uint32_t>(value);
    switch (kind) {
    case 0:
        store(&info->cloud_detect_switch, on);
        store(&info->motion_switch, on);
        break;
    case 1:
        store(&info->motion_switch, on);
        break;
    case 2:
        store(&info->people_switch, on);
        break;
    case 4:
        store(&info->pet_switch, on);
        break;
    case 3:
        store(&info->loud_switch, on);
        break;
    default:
        break;
    }
    return 0;
}

int zel_tolk_set_ignore_time(int seconds)
{
    ZEL_LOGI(TAG, " duration:%d sec ", seconds);
    return open_window(&zel_tolk_info_t::ignore_start, &zel_tolk_info_t::ignore_secs, seconds);
}

int zel_tolk_set_loud_ignore_time(int seconds)
{
    return open_window(&zel_tolk_info_t::loud_ignore_start, &zel_tolk_info_t::loud_ignore_secs, seconds);
}

int zel_tolk_set_period_mode(int mode)
{
    zel_tolk_info_t *info = info_or_log();
    if (!info)
        return -1;
    ZEL_LOGI(TAG, " mode:%d  ", mode);
    store(&info->smart_care_mode, static_cast<int32_t>(mode));
    store(&info->smart_care_in_window, 0);
    store(&info->key_area_status, 0u);
    return 0;
}

int zel_tolk_set_period_switch(int on)
{
    zel_tolk_info_t *info = info_or_log();
    if (!info)
        return -1;
    ZEL_LOGI(TAG, " on:%d  ", on);
    store(&info->smart_care_switch, static_cast<uint32_t>(on));
    store(&info->smart_care_in_window, 0);
    return 0;
}

int zel_tolk_get_key_area_status(void)
{
    zel_tolk_info_t *info = info_or_log();
    return info ? static_cast<int>(__atomic_load_n(&info->key_area_status, __ATOMIC_RELAXED)) : -1;
}

int zel_tolk_set_key_area_status(int value)
{
    zel_tolk_info_t *info = info_or_log();
    if (!info)
        return -1;
    store(&info->key_area_status, static_cast<uint32_t>(value));
    return 0;
}
