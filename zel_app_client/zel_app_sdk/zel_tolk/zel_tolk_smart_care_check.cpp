// Evaluation of the smart-care schedules on the local time: the status of each clock, the one-shot
// switch-off, the "nobody seen" report of mode 1 and the key-area window of mode 0.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app_sdk_porting/zel_tolk_clock.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_smart_care.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "zel_tolk_smart_care";
constexpr int64_t kFirstValidClockS = 1546272000;
constexpr uint64_t kNoHumanGapMs = 60000;
constexpr time_t kMinuteS = 60;
constexpr int kTimeTextLimit = 12;

// Monotonic ms of the last "nobody seen" report; 0 never. Only the timer thread touches it.
uint64_t g_last_no_human_ms = 0;
// Per clock slot, the wall second of the minute whose window end was last taken. A clock stays
// "just ended" for a whole minute, which the 30-s task passes twice; the end counts once.
int64_t g_end_taken_s[SMART_CARE_SCHEDULES][SMART_CARE_CLOCKS] = {};

bool local_now(time_t *seconds, struct tm *out)
{
    *seconds = static_cast<time_t>(zel_tolk_wall_s());
    if (*seconds < kFirstValidClockS)
        return false;
    return localtime_r(seconds, out) != nullptr;
}

// True the first time the clock in `slot` is seen ended in the minute that began at `minute_s`.
bool first_end_pass(int mode, int slot, int64_t minute_s)
{
    if (g_end_taken_s[mode][slot] == minute_s)
        return false;
    g_end_taken_s[mode][slot] = minute_s;
    return true;
}

// Mode 1 once windows have ended: the report unless a key-area event was seen; true when sent.
bool report_no_human(zel_tolk_info_t *info, uint64_t now_ms)
{
    if (__atomic_load_n(&info->key_area_status, __ATOMIC_RELAXED) != 0) {
        __atomic_store_n(&info->key_area_status, 0u, __ATOMIC_RELAXED);
        return false;
    }
    if (g_last_no_human_ms != 0 && now_ms - g_last_no_human_ms < kNoHumanGapMs) {
        ZEL_LOGD(TAG, " timenow:%d last_time:%d ", static_cast<int>(now_ms / 1000),
                 static_cast<int>(g_last_no_human_ms / 1000));
        return false;
    }
    zel_tolk_send_if_then_no_human();
    return true;
}

} // namespace

int _check_smart_care_need_work(const smart_care_clock_t *clock, const struct tm *now)
{
    if (!clock || !now || !clock->enable || clock->clock_idx < 0)
        return SMART_CARE_OUTSIDE;
    const int smin = clock->start_hour * 60 + clock->start_min;
    const int emin = clock->end_hour * 60 + clock->end_min;
    const int cmin = now->tm_hour * 60 + now->tm_min;
    const int diff = emin - smin;
    const int week = now->tm_wday;
    if (week < 0 || week >= SMART_CARE_DAYS)
        return SMART_CARE_OUTSIDE;
    const bool after_start = smin < cmin && clock->start_repeat[week];
    const bool before_end = cmin < emin && clock->end_repeat[week];
    const bool past_end = emin < cmin && clock->end_repeat[week];
    ZEL_LOGD(TAG, "diff:%d cmin:%d ,smin:%d ,emin:%d ,week:%d ,start_repeat:%d end_repeat:%d ", diff, cmin, smin,
             emin, week, clock->start_repeat[week], clock->end_repeat[week]);
    if ((diff > 0 && after_start && before_end) || (diff < 0 && (after_start || before_end)) || diff == 0)
        return SMART_CARE_INSIDE;
    if (past_end && cmin - emin < 2)
        return clock->repeat != 0 ? SMART_CARE_REPEAT_ENDED : SMART_CARE_ONCE_ENDED;
    return SMART_CARE_OUTSIDE;
}

int zel_tolk_smart_care_need_work(int mode)
{
    time_t now_s = 0;
    struct tm now {};
    if (mode < 0 || mode >= SMART_CARE_SCHEDULES || !local_now(&now_s, &now))
        return -1;
    ZEL_LOGD(TAG, "mode:%d %d-%d-%d 星期%d %d:%d:%d", mode, now.tm_year + 1900, now.tm_mon + 1, now.tm_mday,
             now.tm_wday, now.tm_hour, now.tm_min, now.tm_sec);
    // A minute on: a window that opens or ends by then.
    const time_t next_s = now_s + kMinuteS;
    struct tm next {};
    localtime_r(&next_s, &next);
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    const uint64_t now_ms = zel_tolk_now_ms();
    bool ended = false;
    bool inside = false;
    bool opening = false;
    bool ending = false;
    int status = 0;
    for (int i = 0; i < SMART_CARE_CLOCKS; ++i) {
        pthread_mutex_t *lock = g_smart_care_config.lock;
        if (lock)
            pthread_mutex_lock(lock);
        smart_care_clock_t *clock = &g_smart_care_config.clock[mode][i];
        if (clock->clock_idx == -1 || !clock->enable) {
            if (lock)
                pthread_mutex_unlock(lock);
            continue;
        }
        status = _check_smart_care_need_work(clock, &now);
        inside = inside || status == SMART_CARE_INSIDE;
        if (mode == 1) {
            const int later = _check_smart_care_need_work(clock, &next);
            opening = opening || (status != SMART_CARE_INSIDE && later == SMART_CARE_INSIDE);
            ending = ending || later == SMART_CARE_REPEAT_ENDED || later == SMART_CARE_ONCE_ENDED;
        }
        const int clock_idx = clock->clock_idx;
        if (status == SMART_CARE_ONCE_ENDED) {
            clock->enable = 0;
            smart_care_db_update_clock_switch(mode, clock_idx);
            *clock = smart_care_clock_t{};
            clock->clock_idx = -1;
        }
        if (mode == 1 && (status == SMART_CARE_REPEAT_ENDED || status == SMART_CARE_ONCE_ENDED) &&
            first_end_pass(mode, i, now_s - now.tm_sec))
            ended = true;
        if (lock)
            pthread_mutex_unlock(lock);
        ZEL_LOGD(TAG, " >>>> mode:%d idx:%d status:%d ", mode, clock_idx, status);
    }
    // One key-area mark serves every window that ended in this pass: taken once, judged once.
    if (ended && info && report_no_human(info, now_ms))
        g_last_no_human_ms = now_ms;
    // A window opens within the minute while none is open or has its end still to come: what was
    // seen before it does not count for it.
    if (opening && !inside && !ending && info)
        __atomic_store_n(&info->key_area_status, 0u, __ATOMIC_RELAXED);
    return inside ? SMART_CARE_INSIDE : status;
}

int _check_device_period_task(void)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!info) {
        ZEL_LOGE(TAG, " zel_tolk_info is NULL ");
        return -1;
    }
    if (__atomic_load_n(&info->bind_ok, __ATOMIC_RELAXED) == 0 ||
        __atomic_load_n(&info->smart_care_switch, __ATOMIC_RELAXED) == 0)
        return 0;
    const int mode = __atomic_load_n(&info->smart_care_mode, __ATOMIC_RELAXED);
    if (mode != 0 && mode != 1) {
        ZEL_LOGE(TAG, " key_area_mode is error ");
        return 0;
    }
    const int status = zel_tolk_smart_care_need_work(mode);
    if (mode == 0)
        __atomic_store_n(&info->smart_care_in_window, status > 0 ? 1 : 0, __ATOMIC_RELAXED);
    return 0;
}

int format_current_clock(char *buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    const time_t now = static_cast<time_t>(zel_tolk_wall_s());
    struct tm local {};
    localtime_r(&now, &local);
    snprintf(buffer, static_cast<size_t>(size), "%02d:%02d:00", local.tm_hour, local.tm_min);
    return 0;
}

int check_alarm_event_need_work(const char *start, const char *end)
{
    if (!start || !end || zel_tolk_wall_s() < kFirstValidClockS)
        return 0;
    char now[16] = {};
    format_current_clock(now, sizeof now);
    const int cmp = strncmp(start, end, 4);
    const bool after_start = strncmp(now, start, kTimeTextLimit) > 0;
    const bool before_end = strncmp(now, end, kTimeTextLimit) < 0;
    const int ret = (cmp < 0 && after_start && before_end) || (cmp > 0 && (after_start || before_end)) || cmp == 0;
    ZEL_LOGD(TAG, " start_time:%s , end_time:%s , time_str:%s ,ret:%d ", start, end, now, ret);
    return ret;
}
