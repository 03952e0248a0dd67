// The road of one detection event: the device event for the phone app first, then, under the alarm
// mutex, the SD event recording at once and the cloud clip once the alarm interval has passed since
// the last clip of its kind and no ignore window is open.
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"

#include <algorithm>
#include <mutex>

#include "app_sdk_porting/zel_tolk_clock.h"
#include "common/event/ko_event.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "zel_tolk_alarm";
// Before the end of 2018 (UTC+8) the clock has not been set from the server yet.
constexpr int64_t kLastInvalidClockS = 1546271999;
constexpr int64_t kSubscribedIntervalMs = 10000;
constexpr int kIfThenIgnoreSecs = 5;

// The mutex as a lockable for std::lock_guard.
struct InfoLock {
    zel_tolk_info_t *info;
    void lock() { pthread_mutex_lock(&info->mutex); }
    void unlock() { pthread_mutex_unlock(&info->mutex); }
};

// One gated kind: whether its switch is on, event code, last accepted clip, and the window that keeps
// it off the cloud (none for people).
struct Gate {
    bool on;
    int32_t code;
    uint64_t *last_ms;
    const uint32_t *window_secs;
    const uint64_t *window_start;
    const char *accepted;
};

bool switched_on(const uint32_t *field)
{
    return __atomic_load_n(field, __ATOMIC_RELAXED) == 1;
}

bool select_gate(zel_tolk_info_t *info, int type, Gate *gate)
{
    switch (type) {
    case ZEL_TOLK_EVENT_PEOPLE:
        // The detector reports pets as people: either switch lets the event through.
        *gate = {switched_on(&info->people_switch) || switched_on(&info->pet_switch), 1, &info->people_last_ms,
                 nullptr, nullptr, " Have people event "};
        return true;
    case ZEL_TOLK_EVENT_MOTION:
        *gate = {switched_on(&info->motion_switch), 0, &info->motion_last_ms, &info->ignore_secs,
                 &info->ignore_start, " Have motion event "};
        return true;
    case ZEL_TOLK_EVENT_LOUD:
        *gate = {switched_on(&info->loud_switch), 23, &info->loud_last_ms, &info->loud_ignore_secs,
                 &info->loud_ignore_start, " Have voice event "};
        return true;
    default:
        return false;
    }
}

// True (with the log line) while fewer than `secs` seconds have passed since `start` (0: never opened).
bool inside_window(uint64_t start, uint32_t secs, uint64_t now)
{
    if (start == 0 || now < start)
        return false;
    const uint64_t elapsed = now - start;
    if (elapsed >= static_cast<uint64_t>(secs) * 1000)
        return false;
    ZEL_LOGE(TAG, "cur duration_ignore:%d duration:%d ", static_cast<int>(elapsed / 1000), static_cast<int>(secs));
    return true;
}

void if_then_road(zel_tolk_info_t *info, int type)
{
    if (type == ZEL_TOLK_EVENT_KEY_AREA) {
        if (info->smart_care_mode == 0 && info->smart_care_in_window == 1)
            send_if_event2ko(type);
        __atomic_store_n(&info->key_area_status, 1u, __ATOMIC_RELAXED);
        return;
    }
    if (type == ZEL_TOLK_EVENT_MOTION) {
        InfoLock lock{info};
        std::lock_guard<InfoLock> guard(lock);
        if (inside_window(info->ignore_start, info->ignore_secs, zel_tolk_now_ms()))
            return;
    }
    send_if_event2ko(type);
}

void trigger(int consumer, int32_t code)
{
    ko_event_info record{};
    record.type = code;
    if (_zel_ipc_event_trigger(consumer, &record) != 0)
        ZEL_LOGE(TAG, consumer == KO_EVENT_CONSUMER_SD ? "_zel_ipc_event_trigger sdcard fail "
                                                       : "_zel_ipc_event_trigger cloud fail ");
}

// Steps under the mutex: power, subscription, switch, SD trigger, interval, window, cloud trigger. The
// card records without the cloud's answer (a camera whose cloud never starts still records events);
// only the clip waits for it.
void gate_event(zel_tolk_info_t *info, int type)
{
    if (__atomic_load_n(&info->power, __ATOMIC_ACQUIRE) != 1)
        return;
    char vip = 0;
    const bool vip_known = _zel_cloud_get_vip_status(&vip) == 0;
    if (!vip_known)
        ZEL_LOGE(TAG, "_zel_cloud_get_vip_status fail ");
    const int64_t interval = vip == 1 ? kSubscribedIntervalMs : info->alarm_interval_ms;
    Gate gate{};
    if (!select_gate(info, type, &gate) || !gate.on)
        return;
    const uint64_t now = zel_tolk_now_ms();
    const uint64_t last = *gate.last_ms;
    trigger(KO_EVENT_CONSUMER_SD, gate.code);
    if (!vip_known)
        return;
    const bool passed = last == 0 || (now > last && static_cast<int64_t>(now - last) > interval);
    if (!passed)
        return;
    *gate.last_ms = now;
    ZEL_LOGI(TAG, "%s", gate.accepted);
    if (gate.window_start && inside_window(*gate.window_start, *gate.window_secs, now))
        return;
    trigger(KO_EVENT_CONSUMER_CLOUD, gate.code);
}

} // namespace

uint64_t zel_tolk_now_ms(void)
{
    return std::max<uint64_t>(zel_tolk_tick_ms(), 1);
}

int send_if_event2ko(int type)
{
    if (type == 7 || type == 8)
        set_motion_event_ignore_time(kIfThenIgnoreSecs);
    zel_rpc_send_if_then_msg(type);
    return 0;
}

int zel_tolk_send_if_then_no_human(void)
{
    return send_if_event2ko(ZEL_TOLK_EVENT_NO_HUMAN);
}

int zel_tolk_push_event_data(const int *event_type, int)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!event_type || !info) {
        ZEL_LOGE(TAG, " event data is NULL ");
        return -1;
    }
    if (!__atomic_load_n(&info->first_key_frame, __ATOMIC_ACQUIRE)) {
        ZEL_LOGE(TAG, "first_key_frame:%d ", 0);
        return 0;
    }
    if (zel_tolk_wall_s() <= kLastInvalidClockS) {
        ZEL_LOGW(TAG, " time is err, wait for correct time");
        return 0;
    }
    const int type = *event_type;
    if_then_road(info, type);
    ZEL_LOGD(TAG, " zel_tolk_push_event_data test type:%d algo_switch:%d ", type,
             static_cast<int>(__atomic_load_n(&info->cloud_detect_switch, __ATOMIC_RELAXED)));
    InfoLock lock{info};
    std::lock_guard<InfoLock> guard(lock);
    gate_event(info, type);
    return 0;
}
