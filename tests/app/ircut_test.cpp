// The IR-cut day/night machine on the simulated board, peripheral and day/night libraries, read from
// their time-stamped call records: the switch order of each mode, the smart mode's colour phase and
// light steps, the lock against quick flips, refused modes, and start and stop from two threads at
// once (one worker at most, the IR light off while asleep).
#include "algo_test_env.h"
#include "media_test_env.h"

#include "boardav_test.h"
#include "sdk_porting_double.h"
#include "zel_algo.h"
#include "zel_daynight_test.h"
#include "zel_ircut.h"
#include "zel_ircut_test.h"
#include "zel_media.h"
#include "zel_peripheral_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;

constexpr int kDayEvent = 7;
constexpr int kNightEvent = 8;

std::vector<int> events()
{
    return portdouble::events();
}

// The monotonic time of the first call of either record that begins with `prefix`, at or after
// `from_us`, or -1.
int64_t periph_time(const std::string &prefix, int64_t from_us = 0)
{
    for (const sim::TimedCall &c : periph_test_timed_calls())
        if (c.mono_us >= from_us && c.text.compare(0, prefix.size(), prefix) == 0)
            return c.mono_us;
    return -1;
}

size_t periph_count(const std::string &text)
{
    const auto calls = periph_test_calls();
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), text));
}

// The IR light's brightness settings, in order.
std::vector<int> brightness_steps()
{
    std::vector<int> out;
    const std::string prefix = "zel_api_light_brightness_set(1,";
    for (const std::string &c : periph_test_calls())
        if (c.compare(0, prefix.size(), prefix) == 0)
            out.push_back(std::stoi(c.substr(prefix.size())));
    return out;
}

// Waits until the worker has made `n` more turns (each asks the day/night library once).
void wait_turns(size_t n)
{
    auto turns = [] {
        size_t count = 0;
        for (const std::string &c : daynight_test_calls())
            count += c.compare(0, 11, "zel_api_rea") == 0;
        return count;
    };
    const size_t from = turns();
    ASSERT_TRUE(zeltest::wait_until([&] { return turns() >= from + n; }, 10s));
}

// Threads named `name` that stay a moment: a thread that has just been joined may still be listed
// for an instant (under an emulator), a second worker would run on for seconds.
int lasting_threads(const std::string &name)
{
    const int first = algotest::threads_named(name);
    if (first < 2)
        return first;
    std::this_thread::sleep_for(20ms);
    return std::min(first, algotest::threads_named(name));
}

class Ircut : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_ = std::make_unique<mediatest::Env>();
        ASSERT_EQ(zel_media_init(), 0);
        daynight_test_set_level(100);
        daynight_test_set_holds(1, 1);
        portdouble::clear();
        periph_test_clear_calls();
        board_test_clear_calls();
    }
    void TearDown() override
    {
        zel_ircut_exit();
        zel_media_deinit();
    }
    // Starts the worker and waits for its first day switch.
    void start_by_day()
    {
        ASSERT_EQ(zel_ircut_init(), 0);
        ASSERT_TRUE(zeltest::wait_until([] { return periph_count("zel_api_ircut_switch(1)") == 1; }, 5s));
    }
    bool wait_events(size_t n, std::chrono::milliseconds limit = 10s)
    {
        return zeltest::wait_until([&] { return events().size() >= n; }, limit);
    }
    // Darkens the scene and waits for the night event.
    void fall_night(int level = 0)
    {
        const size_t before = events().size();
        daynight_test_set_level(level);
        ASSERT_TRUE(wait_events(before + 1)) << "no night switch";
        EXPECT_EQ(events().back(), kNightEvent);
    }
    std::unique_ptr<mediatest::Env> env_;
};

TEST_F(Ircut, FirstStartByDayPutsTheFilterInWithoutAnEvent)
{
    start_by_day();
    ASSERT_TRUE(zeltest::wait_until([] { return board_test_image_state().dnmode == 0 && mediatest::call_count("set_isp_dnmode(0)") == 1; }, 5s));
    EXPECT_EQ(periph_test_ircut(), 1);
    EXPECT_FALSE(periph_test_light(1).enabled);
    // The next turn asks the day/night library about the night.
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            const auto calls = daynight_test_calls();
            return std::count(calls.begin(), calls.end(), "zel_api_reach_night(0,1)") >= 2;
        },
        5s));
    EXPECT_TRUE(events().empty());
}

TEST_F(Ircut, AutomaticNightGoesInfraredAndDayComesBack)
{
    start_by_day();
    const int64_t dark_us = mediatest::now_us();
    fall_night();
    const int64_t isp_us = mediatest::call_time("set_isp_dnmode(1)", dark_us);
    const int64_t filter_us = periph_time("zel_api_ircut_switch(0)", dark_us);
    const int64_t light_us = periph_time("zel_api_light_brightness_set(1,100)", dark_us);
    ASSERT_GT(isp_us, 0);
    ASSERT_GT(filter_us, 0);
    ASSERT_GT(light_us, 0);
    EXPECT_GE(filter_us - isp_us, 100000) << "the filter leaves only once the ISP shows night";
    EXPECT_GE(light_us, filter_us);
    EXPECT_EQ(zel_ircut_test_night(), 1);
    EXPECT_TRUE(periph_test_light(1).enabled);
    EXPECT_EQ(periph_test_light(1).brightness, 100);

    daynight_test_set_level(100);
    ASSERT_TRUE(wait_events(2));
    EXPECT_EQ(events(), (std::vector<int>{kNightEvent, kDayEvent}));
    EXPECT_EQ(periph_test_ircut(), 1);
    EXPECT_FALSE(periph_test_light(1).enabled);
    ASSERT_TRUE(zeltest::wait_until([] { return board_test_image_state().dnmode == 0; }, 5s));
}

TEST_F(Ircut, FullColourNightKeepsTheFilterInAndTheLightOff)
{
    ASSERT_EQ(ircut_mode_switch(4), 0);
    start_by_day();
    fall_night();
    EXPECT_EQ(periph_test_ircut(), 1);
    EXPECT_EQ(periph_count("zel_api_ircut_switch(0)"), 0u);
    EXPECT_EQ(periph_count("zel_api_light_enable(1)"), 0u);
    EXPECT_EQ(mediatest::call_count("set_isp_dnmode(1)"), 0u);
}

TEST_F(Ircut, FullColourChosenAtNightGivesColourAtOnce)
{
    ASSERT_EQ(ircut_mode_switch(0), 0);
    start_by_day();
    fall_night();
    ASSERT_EQ(ircut_mode_switch(4), 0);
    ASSERT_TRUE(zeltest::wait_until(
        [] { return periph_test_ircut() == 1 && !periph_test_light(1).enabled && board_test_image_state().dnmode == 0; },
        5s));
    EXPECT_EQ(events(), std::vector<int>{kNightEvent}) << "the mode change itself reports nothing";
}

TEST_F(Ircut, AFailedSwitchToNightIsNotReportedAndTriedAgainAfterAPause)
{
    start_by_day();
    periph_test_fail("zel_api_light_brightness_set", -1);
    daynight_test_set_level(0);
    ASSERT_TRUE(zeltest::wait_until([] { return periph_count("zel_api_ircut_switch(0)") == 1; }, 5s));
    wait_turns(3);
    EXPECT_TRUE(events().empty()) << "no night event (and no motion-ignore window) for a switch that failed";
    EXPECT_EQ(zel_ircut_test_night(), 0);
    EXPECT_EQ(periph_count("zel_api_ircut_switch(0)"), 1u) << "not tried again every second";
    zel_ircut_test_advance_ms(61000);
    ASSERT_TRUE(wait_events(1));
    EXPECT_EQ(events(), std::vector<int>{kNightEvent});
    EXPECT_TRUE(zeltest::wait_until([] { return zel_ircut_test_night() == 1; }, 5s));
}

TEST_F(Ircut, SmartNightShowsAPersonInColourUntil30sAfterTheLast)
{
    ASSERT_EQ(ircut_mode_switch(5), 0);
    start_by_day();
    fall_night(10); // dark, not too dark: no light steps
    EXPECT_EQ(brightness_steps(), std::vector<int>{30});
    EXPECT_EQ(periph_test_ircut(), 0);
    // The worker reports the night before it clears the people flag and takes the night state: a
    // person sent in between would be forgotten.
    ASSERT_TRUE(zeltest::wait_until([] { return zel_ircut_test_night() == 1; }, 5s));

    zel_algo_event_t person{};
    person.code = 5;
    zel_algo_trigger_event_send(&person); // people event, and the colour phase armed
    EXPECT_EQ(events().back(), 1);
    ASSERT_TRUE(zeltest::wait_until([] { return periph_test_ircut() == 1 && !periph_test_light(1).enabled; }, 5s));
    ASSERT_TRUE(zeltest::wait_until([] { return board_test_image_state().dnmode == 0; }, 5s));

    // The machine's clock runs on besides the test's steps: the steps leave room for a slow host.
    zel_ircut_test_advance_ms(20000);
    ASSERT_EQ(zel_app_event_trigger_ircut("PeopleMotion", 12), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return !zel_ircut_test_people_flag(); }, 5s));
    zel_ircut_test_advance_ms(20000); // 40 s after the first person, 20 s after the last
    wait_turns(2);
    EXPECT_EQ(periph_test_ircut(), 1) << "colour ends 30 s after the last person, not the first";

    const int64_t before_us = mediatest::now_us();
    zel_ircut_test_advance_ms(11000);
    ASSERT_TRUE(zeltest::wait_until([] { return periph_test_ircut() == 0; }, 5s));
    const int64_t isp_us = mediatest::call_time("set_isp_dnmode(1)", before_us);
    const int64_t light_us = periph_time("zel_api_light_brightness_set(1,30)", before_us);
    const int64_t filter_us = periph_time("zel_api_ircut_switch(0)", before_us);
    ASSERT_GT(isp_us, 0);
    ASSERT_GT(light_us, 0);
    EXPECT_LT(isp_us, light_us);
    EXPECT_LT(light_us, filter_us);
    EXPECT_EQ(periph_test_light(1).brightness, 30) << "back to infrared at the level before the colour phase";
    EXPECT_EQ(events(), (std::vector<int>{kNightEvent, 1})) << "the colour phase reports nothing";
}

TEST_F(Ircut, SmartTooDarkStepsTheLightUpToFull)
{
    ASSERT_EQ(ircut_mode_switch(5), 0);
    start_by_day();
    fall_night(1);
    ASSERT_TRUE(zeltest::wait_until([] { return brightness_steps().size() >= 4; }, 10s));
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    EXPECT_EQ(brightness_steps(), (std::vector<int>{30, 50, 75, 100}));
}

TEST_F(Ircut, ManualNightFromSmartAtNightReportsNothing)
{
    ASSERT_EQ(ircut_mode_switch(5), 0);
    start_by_day();
    fall_night(10);
    periph_test_clear_calls();
    ASSERT_EQ(ircut_mode_switch(2), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return periph_test_light(1).brightness == 100; }, 5s));
    EXPECT_EQ(periph_test_ircut(), 0);
    EXPECT_TRUE(periph_test_light(1).enabled);
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    EXPECT_EQ(events(), std::vector<int>{kNightEvent});
}

class IrcutLock : public Ircut {
protected:
    // Five day/night flips, each waited for; the machine is then locked at night.
    void flip_five_times()
    {
        start_by_day();
        for (int flip = 1; flip <= 5; ++flip) {
            const size_t before = events().size();
            daynight_test_set_level(flip % 2 ? 0 : 100);
            ASSERT_TRUE(wait_events(before + 1)) << "flip " << flip;
        }
        ASSERT_TRUE(zeltest::wait_until([] { return zel_ircut_test_locked(); }, 3s));
        EXPECT_EQ(zel_ircut_test_night(), 1);
        daynight_test_set_level(100);
        std::this_thread::sleep_for(zeltest::scaled(3s));
        EXPECT_EQ(events().size(), 5u) << "locked: day does not switch";
    }
};

TEST_F(IrcutLock, AModeChangeUnlocks)
{
    flip_five_times();
    ASSERT_EQ(ircut_mode_switch(4), 0);
    ASSERT_TRUE(wait_events(6));
    EXPECT_EQ(events().back(), kDayEvent);
    EXPECT_FALSE(zel_ircut_test_locked());
}

TEST_F(IrcutLock, The1800sLockEnds)
{
    flip_five_times();
    zel_ircut_test_advance_ms(1700 * 1000);
    std::this_thread::sleep_for(zeltest::scaled(2s));
    EXPECT_TRUE(zel_ircut_test_locked());
    zel_ircut_test_advance_ms(101 * 1000);
    ASSERT_TRUE(wait_events(6));
    EXPECT_EQ(events().back(), kDayEvent);
}

TEST_F(Ircut, ModesOutside0To5AreRefused)
{
    ASSERT_EQ(ircut_mode_switch(2), 0);
    for (const char *text : {"9", ":", "/", "\x7f"})
        EXPECT_EQ(sync_algo_night_mode(text), -1) << text;
    EXPECT_EQ(ircut_mode_switch(6), -1);
    EXPECT_EQ(ircut_mode_switch(-1), -1);
    ASSERT_EQ(zel_ircut_init(), 0);
    ASSERT_TRUE(wait_events(1)) << "mode 2 stays requested";
    EXPECT_EQ(events(), std::vector<int>{kNightEvent});
    EXPECT_EQ(periph_test_light(1).brightness, 100);
}

TEST_F(Ircut, SleepAndWakeFromTwoThreadsKeepOneWorkerAndTheLightOffAsleep)
{
    daynight_test_set_holds(0, 0);
    daynight_test_set_level(0); // every start turns to night and switches the IR light on
    std::atomic<bool> done{false};
    std::atomic<int> most{0};
    std::thread watch([&] {
        while (!done) {
            most = std::max(most.load(), lasting_threads("soc_ircut_ctrl"));
            std::this_thread::sleep_for(1ms);
        }
    });
    auto alternate = [](int first) {
        for (int i = 0; i < 100; ++i)
            set_zel_algo_power_status((i + first) % 2);
    };
    std::thread a(alternate, 0);
    std::thread b(alternate, 1);
    a.join();
    b.join();
    set_zel_algo_power_status(0);
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    done = true;
    watch.join();
    EXPECT_LE(most.load(), 1);
    EXPECT_EQ(algotest::threads_named("soc_ircut_ctrl"), 0);
    EXPECT_FALSE(periph_test_light(1).enabled) << "asleep, the IR light is off";
    EXPECT_GT(periph_count("zel_api_light_enable(1)"), 0u) << "the workers did switch it on";
    EXPECT_EQ(get_power_status(), 0);
}

} // namespace
