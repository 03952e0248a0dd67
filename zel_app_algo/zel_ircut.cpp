// The IR-cut worker "soc_ircut_ctrl" and its start and stop. One worker at most: a start while one
// runs changes nothing, a start while one is stopping waits for its end, and the stop joins the
// worker before it switches the IR light off, so that no operation of the worker can switch it on
// again afterwards.
#include "zel_algo_worker.h"
#include "zel_ircut.h"
#include "zel_ircut_state.h"
#include "zel_ircut_test.h"

#include "zel_control/log/zel_log.h"
#include "zel_daynight.h"
#include "zelmar/zel_clock.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>

namespace ircut {

namespace {

algo::Worker &worker()
{
    static algo::Worker *w = new algo::Worker;
    return *w;
}

std::atomic<int64_t> g_clock_offset_ms{0};

void worker_turn()
{
    State &s = state();
    ZEL_LOGD(kTag, "[%s %d] day=0 night=1 ircut_mode:%d ircut run mode:%d\n", "ircut_main_pthread", __LINE__,
             s.requested.load(), s.night.load());
    bool entered = false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        const int requested = s.requested;
        if (s.running != requested) {
            if (s.running < kModeCount && kModes[s.running].leave)
                kModes[s.running].leave();
            kModes[requested].enter(s.running);
            s.running = requested;
            entered = true;
        }
    }
    if (entered)
        ircut_lock_info_reset();
    const ModeRow &row = kModes[s.running];
    if (row.process && !s.lock_record.locked)
        row.process(s.running);
    ircut_lock_check();
}

void ircut_main_pthread()
{
    pthread_setname_np(pthread_self(), "soc_ircut_ctrl");
    State &s = state();
    zel_api_day_night_switch_get_params(&s.params);
    ircut_lock_info_reset();
    do
        worker_turn();
    while (worker().pause(std::chrono::seconds(1)));
}

} // namespace

State &state()
{
    static State *s = new State;
    return *s;
}

int64_t now_ms()
{
    return time_monotonic_ms() + g_clock_offset_ms.load(std::memory_order_relaxed);
}

} // namespace ircut

using namespace ircut;

int zel_ircut_init(void)
{
    const int ret = worker().start(ircut_main_pthread, [] {
        std::lock_guard<std::mutex> m(state().lock);
        state().running = kNoMode;
    });
    if (ret == 0)
        return 0;
    ZEL_LOGE(kTag, "%s %s():ircut task create fail\n", "[ZEL_IRCUT]", __func__);
    return -1;
}

int zel_ircut_exit(void)
{
    ZEL_LOGI(kTag, "%s %s()\n", "[ZEL_IRCUT]", __func__);
    State &s = state();
    const bool stopped = worker().stop([&] {
        std::lock_guard<std::mutex> m(s.lock);
        s.level = 0;
        ircut_light_set(0);
        s.night = 0;
    });
    if (!stopped) {
        ZEL_LOGI(kTag, "[%s] already exit\n", __func__);
        std::lock_guard<std::mutex> m(s.lock);
        s.night = 0;
    }
    ZEL_LOGI(kTag, "%s %s(): finished\n", "[ZEL_IRCUT]", __func__);
    return 0;
}

int ircut_mode_switch(int mode)
{
    if (mode < 0 || mode >= kModeCount) {
        ZEL_LOGE(kTag, "[%s] ircut_mode %d is not a mode, it stays %d \n", __func__, mode, state().requested.load());
        return -1;
    }
    State &s = state();
    std::lock_guard<std::mutex> g(s.lock);
    ZEL_LOGI(kTag, "[%s] ircut_mode :%d \n", __func__, mode);
    s.requested = mode;
    return 0;
}

int fullcolor_mode_config(int on)
{
    state().full_colour = on;
    return 0;
}

int fullcolor_mode_get(void)
{
    return state().full_colour;
}

int zel_app_event_trigger_ircut(const char *event, int)
{
    const int diff = event ? strncmp(event, "PeopleMotion", 12) : -1;
    if (diff != 0)
        return diff;
    state().people = 1;
    ZEL_LOGD(kTag, "[%s %d] event_flag.value=%d\n", __func__, __LINE__, 1);
    return 0;
}

int set_hack_light_mode(int light_mode)
{
    state().hack_light = light_mode;
    return 0;
}

void zel_ircut_test_advance_ms(int64_t ms)
{
    g_clock_offset_ms += ms;
}

bool zel_ircut_test_locked()
{
    return state().locked;
}

bool zel_ircut_test_people_flag()
{
    return state().people != 0;
}

int zel_ircut_test_night()
{
    return state().night;
}
