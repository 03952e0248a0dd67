// The IR-cut machine's switch operations, the enter and periodic operation of each mode, and the
// lock against quick day/night flips. All run on the worker, except the light switch-off of the
// worker's stop.
#include "zel_algo.h"
#include "zel_ircut_state.h"
#include "zel_media.h"

#include "zel_control/log/zel_log.h"
#include "zel_daynight.h"
#include "zel_peripheral.h"

#include <chrono>
#include <thread>

namespace ircut {

namespace {

constexpr int kIrLight = 1;
constexpr int kDetectDay = 15;
constexpr int kDetectNight = 16;
constexpr int64_t kColourPhaseMs = 30 * 1000;
constexpr int64_t kLockMs = 1800 * 1000;
constexpr int kLockFlips = 4;
constexpr int kHoldSlackS = 5;
constexpr int kLevels[] = {0, 30, 50, 75, 100};
// After a failed switch to night the next try waits this long: each try turns the ISP over and
// holds the worker, and a light or filter that failed seldom works again a second later.
constexpr int64_t kNightRetryMs = 60 * 1000;

void wait_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void report(int code)
{
    zel_algo_event_t event{};
    event.code = code;
    zel_algo_trigger_event_send(&event);
}

int ircut_switch_set(int on)
{
    return zel_api_ircut_switch(on);
}

int set_ircut_day_mode(int level, bool with_report)
{
    ZEL_LOGI(kTag, "%s %s():set_ircut_day_mode,lel=%d", "[ZEL_IRCUT]", __func__, level);
    int ret = ircut_light_set(level);
    ret |= ircut_switch_set(1);
    ret |= zel_set_isp_dnmode(0);
    if (with_report)
        report(kDetectDay);
    return ret;
}

// The night event tells the phone, and opens the client's motion-ignore window: only for a change
// that happened.
int report_night(const char *name, int ret)
{
    if (ret != 0)
        ZEL_LOGE(kTag, "%s %s():switch to night failed, ret=%d", "[ZEL_IRCUT]", name, ret);
    else
        report(kDetectNight);
    return ret;
}

int set_ircut_night_mode(int level)
{
    ZEL_LOGI(kTag, "%s %s():set_ircut_night_mode", "[ZEL_IRCUT]", __func__);
    int ret = zel_set_isp_dnmode(1);
    wait_ms(200);
    ret |= ircut_switch_set(0);
    ret |= ircut_light_set(level);
    return report_night(__func__, ret);
}

int set_fullcolor_night_mode()
{
    ZEL_LOGI(kTag, "%s %s():set_ircut_day_mode", "[ZEL_IRCUT]", __func__);
    int ret = ircut_light_set(0);
    ret |= ircut_switch_set(1);
    ret |= zel_set_isp_dnmode(0);
    return report_night(__func__, ret);
}

// A periodic switch to night, unless one failed less than kNightRetryMs ago; true when it succeeded.
template <typename Switch>
bool try_night(Switch switch_to_night)
{
    State &s = state();
    if (now_ms() < s.night_retry_ms)
        return false;
    if (switch_to_night() == 0)
        return true;
    s.night_retry_ms = now_ms() + kNightRetryMs;
    return false;
}

void ircut_light_step_up()
{
    State &s = state();
    const int level = s.level;
    int next = level;
    for (size_t i = 0; i + 1 < sizeof kLevels / sizeof kLevels[0]; ++i)
        if (kLevels[i] == level)
            next = kLevels[i + 1];
    if (level == 100)
        return;
    s.level = next;
    ircut_light_set(next);
}

void log_enter(const char *name, int line, int previous)
{
    ZEL_LOGI(kTag, "[%s %d] last_mode: %d current night mode is %d \n", name, line, previous, state().night.load());
}

// Night already, coming from a colour mode: back to infrared without a report.
void back_to_infrared(bool settle)
{
    State &s = state();
    zel_set_isp_dnmode(1);
    if (settle)
        wait_ms(200);
    ircut_switch_set(0);
    s.level = 100;
    ircut_light_set(100);
}

void fsm_ircut_mode_mannul_day_init(int previous)
{
    log_enter(__func__, __LINE__, previous);
    State &s = state();
    if (previous == kNoMode || s.night == 1) {
        set_ircut_day_mode(0, true);
        s.night = 0;
    }
}

void fsm_ircut_mode_mannul_night_init(int previous)
{
    log_enter(__func__, __LINE__, previous);
    State &s = state();
    if (previous == kNoMode || s.night != 1) {
        s.level = 100;
        set_ircut_night_mode(100);
        s.night = 1;
    } else if (previous == kModeFullColour || previous == kModeSmart) {
        back_to_infrared(false);
    }
}

// The automatic and full-colour enter operations: a first start goes to day without a report; by
// day nothing changes; at night, when `switch_at_night`, `at_night` switches the picture over without
// a report.
void enter_keeping_state(const char *name, int previous, bool switch_at_night, void (*at_night)())
{
    log_enter(name, __LINE__, previous);
    State &s = state();
    if (previous == kNoMode) {
        s.level = 0;
        set_ircut_day_mode(0, false);
    } else if (s.night != 1) {
        ZEL_LOGI(kTag, "[%s %d] The current night mode is %d \n", name, __LINE__, s.night.load());
    } else if (switch_at_night) {
        at_night();
    }
}

void colour_at_night()
{
    state().level = 0;
    ircut_light_set(0);
    ircut_switch_set(1);
    zel_set_isp_dnmode(0);
}

void fsm_ircut_mode_auto_init(int previous)
{
    enter_keeping_state(__func__, previous, previous == kModeFullColour || previous == kModeSmart,
                        [] { back_to_infrared(true); });
}

void fsm_ircut_mode_smart_init(int previous)
{
    State &s = state();
    s.people = 0;
    s.colour_phase = false;
    fsm_ircut_mode_auto_init(previous);
}

void fsm_ircut_mode_fullcolor_init(int previous)
{
    // Every other mode shows the night in infrared (or its smart colour phase): colour at once.
    enter_keeping_state(__func__, previous, true, colour_at_night);
}

// Day to night by the infrared path at `level`; false when the switch failed.
bool infrared_night(int level)
{
    State &s = state();
    s.level = level;
    if (!try_night([level] { return set_ircut_night_mode(level); }))
        return false;
    int isp = 0;
    zel_get_isp_dnmode(&isp);
    if (isp != 1)
        ZEL_LOGE(kTag, "[%s %s() %d] day2night fail\n", "ZEL_IRCUT", __func__, __LINE__);
    return true;
}

void to_day()
{
    State &s = state();
    s.level = 0;
    if (set_ircut_day_mode(0, true) == 0)
        s.night = 0;
}

void fsm_ircut_mode_auto_process(int mode)
{
    State &s = state();
    if (s.night == 1) {
        int step = 0;
        if (zel_api_reach_day(mode, &step, 0) != 0)
            to_day();
        else if (step)
            ircut_light_step_up();
    } else if (zel_api_reach_night(mode, s.full_colour) != 0) {
        if (infrared_night(100))
            s.night = 1;
    }
}

void fsm_ircut_mode_fullcolor_process(int mode)
{
    State &s = state();
    if (s.night == 1) {
        if (zel_api_reach_day(mode, nullptr, 0) != 0)
            to_day();
    } else if (zel_api_reach_night(mode, s.full_colour) != 0) {
        if (try_night(set_fullcolor_night_mode))
            s.night = 1;
    }
}

void fsm_ircut_mode_smart_process(int mode)
{
    State &s = state();
    if (s.night != 1) {
        if (zel_api_reach_night(mode, s.full_colour) == 0)
            return;
        ZEL_LOGI(kTag, "[%s %d] reach night from day", __func__, __LINE__);
        if (!infrared_night(30))
            return;
        s.people = 0;
        s.night = 1;
        return;
    }
    if (s.people.exchange(0) == 1) {
        s.colour_start_ms = now_ms();
        if (!s.colour_phase) {
            ZEL_LOGI(kTag, "[%s %d] ready to light on\n", __func__, __LINE__);
            ircut_light_set(0);
            ircut_switch_set(1);
            zel_set_isp_dnmode(0);
            s.colour_phase = true;
        }
    }
    if (s.colour_phase && now_ms() - s.colour_start_ms > kColourPhaseMs) {
        s.colour_phase = false;
        wait_ms(100);
        zel_set_isp_dnmode(1);
        wait_ms(100);
        ircut_light_set(s.level);
        wait_ms(50);
        ircut_switch_set(0);
        ZEL_LOGI(kTag, "[%s %d] ready to light off\n", __func__, __LINE__);
    }
    int step = 0;
    if (zel_api_reach_day(mode, &step, s.colour_phase ? 1 : 0) != 0) {
        ZEL_LOGI(kTag, "[%s %d] reach day from night,smart_mode_full_color=%d", __func__, __LINE__,
                 s.colour_phase ? 1 : 0);
        s.colour_phase = false;
        s.people = 0;
        to_day();
    } else if (!s.colour_phase && step) {
        ircut_light_step_up();
    }
}

} // namespace

const ModeRow kModes[kModeCount] = {
    {0, fsm_ircut_mode_auto_init, fsm_ircut_mode_auto_process, nullptr},
    {1, fsm_ircut_mode_mannul_day_init, nullptr, nullptr},
    {2, fsm_ircut_mode_mannul_night_init, nullptr, nullptr},
    {3, fsm_ircut_mode_auto_init, fsm_ircut_mode_auto_process, nullptr},
    {4, fsm_ircut_mode_fullcolor_init, fsm_ircut_mode_fullcolor_process, nullptr},
    {5, fsm_ircut_mode_smart_init, fsm_ircut_mode_smart_process, nullptr},
};

int ircut_light_set(int level)
{
    if (level == 0)
        return zel_api_light_disable(kIrLight);
    int ret = zel_api_light_enable(kIrLight);
    ret |= zel_api_light_brightness_set(kIrLight, level);
    return ret;
}

void ircut_lock_info_reset()
{
    State &s = state();
    s.lock_record = LockRecord{};
    s.locked = false;
    ZEL_LOGI(kTag, "ircut lock info clear");
}

void ircut_lock_check()
{
    State &s = state();
    const int mode = s.requested;
    if (mode != 0 && mode != kModeFullColour && mode != kModeSmart)
        return;
    LockRecord &r = s.lock_record;
    const int64_t now = now_ms();
    if (r.locked && now - r.locked_ms > kLockMs) {
        ZEL_LOGI(kTag, "time is up! ircut unlock, last_locked_time=%lu", static_cast<unsigned long>(r.locked_ms / 1000));
        ircut_lock_info_reset();
        return;
    }
    const int night = s.night;
    if (night == r.last_night)
        return;
    const int64_t d = now - r.last_switch_ms;
    if (r.last_night == 1) {
        if (r.count != 0 && d > (s.params.night_to_day_hold_s + kHoldSlackS) * 1000LL)
            r.count = 0;
        else
            ++r.count;
    } else if (d > (s.params.day_to_night_hold_s + kHoldSlackS) * 1000LL) {
        r.count = 0;
    } else if (r.count != 0) {
        ++r.count;
    }
    if (r.count >= kLockFlips) {
        r.count = 0;
        r.locked_ms = now;
        r.locked = true;
        s.locked = true;
        ZEL_LOGI(kTag, " ircut locked!");
    }
    ZEL_LOGI(kTag, "diff_time=%d,is_need_lock=%d, last_dn_mode=%d, running_night_day_mode=%d",
             static_cast<int>(d / 1000), r.locked ? 1 : 0, r.last_night, night);
    r.last_switch_ms = now;
    r.last_night = night;
}

} // namespace ircut
