// The simulated peripheral library: LED patterns and take-over, keys delivered on the library's
// thread, IR-cut and lights, and the pan-tilt head moving over time with its callbacks.
#include "zel_peripheral.h"
#include "zel_peripheral_test.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Completion {
    int event;
    zel_ptz_result_t result;
    int command;
    pthread_t thread;
};

std::mutex g_lock;
std::vector<Completion> g_done;
std::vector<int> g_status;

void on_done(int event, zel_ptz_result_t *result, void *value)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_done.push_back({event, *result, *static_cast<int *>(value), pthread_self()});
}

void on_status(int status)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_status.push_back(status);
}

size_t done_count()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_done.size();
}

class Peripheral : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(zel_api_peripheral_init(), 0);
        std::lock_guard<std::mutex> g(g_lock);
        g_done.clear();
        g_status.clear();
    }
    void set_speed(int32_t speed) { ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_SPEED, &speed, 4), 0); }
    void place(int32_t x, int32_t y)
    {
        zel_ptz_point_t p{x, y};
        ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_POSITION, &p, 8), 0);
    }
};

TEST_F(Peripheral, LedsFollowTheLastCallUnlessTakenOver)
{
    ASSERT_EQ(zel_api_led_on(1, 0), 0);
    EXPECT_TRUE(periph_test_led(1).lit);
    ASSERT_EQ(zel_api_led_blink(2, 100, 300, 0), 0);
    const periph_led_state blink = periph_test_led(2);
    EXPECT_EQ(blink.mode, PERIPH_LED_BLINK);
    EXPECT_TRUE(blink.lit) << "a blink starts in its on phase";
    EXPECT_TRUE(zeltest::wait_until([] { return !periph_test_led(2).lit; }, 1s)) << "and goes dark";
    EXPECT_TRUE(zeltest::wait_until([] { return periph_test_led(2).lit; }, 1s)) << "and lights again";

    ASSERT_EQ(zel_api_led_off(1, 1), 0); // the LED-off pattern takes the LED over
    ASSERT_EQ(zel_api_led_on(1, 0), 0);
    EXPECT_EQ(periph_test_led(1).mode, PERIPH_LED_OFF) << "status patterns wait for the priority release";
    ASSERT_EQ(zel_api_led_priority_set(0), 0);
    ASSERT_EQ(zel_api_led_on(1, 0), 0);
    EXPECT_EQ(periph_test_led(1).mode, PERIPH_LED_ON);
    EXPECT_EQ(zel_api_led_on(3, 0), -1);
}

std::atomic<int> g_key{-1}, g_key_event{-1};
std::atomic<pthread_t> g_key_thread{};

void on_key(int key, int event)
{
    g_key_thread = pthread_self();
    g_key_event = event;
    g_key = key;
}

TEST_F(Peripheral, PressedKeyCallsItsCallbackFromTheLibraryThread)
{
    ASSERT_EQ(zel_api_key_funcb_set(0, on_key), 0);
    periph_test_press_key(0, 2);
    ASSERT_TRUE(zeltest::wait_until([] { return g_key == 0; }, 2s));
    EXPECT_EQ(g_key_event, 2);
    EXPECT_FALSE(pthread_equal(g_key_thread.load(), pthread_self()));
}

TEST_F(Peripheral, CallsCarryTheirMonotonicTime)
{
    periph_test_clear_calls();
    ASSERT_EQ(zel_api_ircut_switch(1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(zel_api_ircut_switch(0), 0);
    const auto calls = periph_test_timed_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].text, periph_test_calls()[1]);
    EXPECT_GE(calls[1].mono_us - calls[0].mono_us, 10000);
}

TEST_F(Peripheral, IrCutAndLightsKeepTheirState)
{
    EXPECT_EQ(periph_test_ircut(), -1);
    ASSERT_EQ(zel_api_ircut_switch(0), 0);
    EXPECT_EQ(periph_test_ircut(), 0);
    ASSERT_EQ(zel_api_light_enable(1), 0);
    ASSERT_EQ(zel_api_light_brightness_set(1, 75), 0);
    EXPECT_TRUE(periph_test_light(1).enabled);
    EXPECT_EQ(periph_test_light(1).brightness, 75);
    EXPECT_EQ(zel_api_light_brightness_set(1, 101), -1);
    ASSERT_EQ(zel_api_light_disable(1), 0);
    EXPECT_FALSE(periph_test_light(1).enabled);
    periph_test_fail("zel_api_ircut_switch", -1);
    EXPECT_EQ(zel_api_ircut_switch(1), -1);
    EXPECT_EQ(periph_test_ircut(), 0);
}

TEST_F(Peripheral, GotoMovesOverTimeAndReportsArrivalFromItsThread)
{
    ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_STATUS_CB, reinterpret_cast<void *>(on_status), 1), 0);
    set_speed(5); // 100 units a second
    place(0, 50);
    zel_ptz_point_t target{60, 50};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &target, 8, on_done), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return periph_test_head().x > 10; }, 2s));
    EXPECT_LT(periph_test_head().x, 60) << "the head is on its way, not there at once";
    ASSERT_TRUE(zeltest::wait_until([] { return done_count() == 1; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 550ms) << "60 units at 100 units/s";
    ASSERT_TRUE(zeltest::wait_until([] { std::lock_guard<std::mutex> g(g_lock); return g_status.size() == 2; }, 2s));
    std::lock_guard<std::mutex> g(g_lock);
    EXPECT_EQ(g_done[0].event, ZEL_PTZ_EVENT_ARRIVED);
    EXPECT_EQ(g_done[0].command, ZEL_PTZ_CMD_GOTO);
    EXPECT_EQ(g_done[0].result.x, 60);
    EXPECT_EQ(g_done[0].result.y, 50);
    EXPECT_FALSE(pthread_equal(g_done[0].thread, pthread_self()));
    EXPECT_EQ(g_status, (std::vector<int>{ZEL_PTZ_STATUS_RUNNING, ZEL_PTZ_STATUS_STOPPED}));
}

TEST_F(Peripheral, TurnRunsUntilStoppedOrToTheEndStop)
{
    set_speed(10);
    place(50, 50);
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_TURN, ZEL_PTZ_PAN_POS, nullptr, 0, on_done), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return done_count() == 1; }, 3s));
    {
        std::lock_guard<std::mutex> g(g_lock);
        EXPECT_EQ(g_done[0].event, ZEL_PTZ_EVENT_LIMIT);
        EXPECT_EQ(g_done[0].result.x, 100);
    }
    set_speed(1);
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_TURN, ZEL_PTZ_TILT_NEG, nullptr, 0, on_done), 0);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_STOP, -1, nullptr, 4, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return done_count() == 2; }, 3s));
    std::lock_guard<std::mutex> g(g_lock);
    EXPECT_EQ(g_done[1].event, ZEL_PTZ_EVENT_STOPPED);
    EXPECT_LT(g_done[1].result.y, 50);
    EXPECT_GT(g_done[1].result.y, 30) << "stopped on the way";
    EXPECT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_TURN, 7, nullptr, 0, on_done), -1);
}

TEST_F(Peripheral, StepsMoveByDegreesAndFlipReversesThem)
{
    set_speed(10);
    place(50, 50);
    int32_t degrees = 71; // 20 pan units
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_STEP, ZEL_PTZ_PAN_POS, &degrees, 4, on_done), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return done_count() == 1; }, 3s));
    EXPECT_NEAR(periph_test_head().x, 70, 0.01);
    int32_t flip = 1;
    ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_FLIP, &flip, 4), 0);
    degrees = 18; // 20 tilt units
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_STEP, ZEL_PTZ_TILT_POS, &degrees, 4, on_done), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return done_count() == 2; }, 3s));
    EXPECT_NEAR(periph_test_head().y, 30, 0.01) << "flipped image: up is down";
}

TEST_F(Peripheral, CalibrationVisitsTheEndStopsThenTheTarget)
{
    set_speed(10);
    place(80, 80);
    zel_ptz_point_t target{30, 40};
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_CALIBRATE, -1, &target, 8, on_done), 0);
    bool reached_origin = false;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            const periph_head_state h = periph_test_head();
            reached_origin = reached_origin || (h.x < 1 && h.y < 1);
            return done_count() == 1;
        },
        5s));
    EXPECT_TRUE(reached_origin);
    std::lock_guard<std::mutex> g(g_lock);
    EXPECT_EQ(g_done[0].event, ZEL_PTZ_EVENT_ARRIVED);
    EXPECT_EQ(g_done[0].result.x, 30);
    EXPECT_EQ(g_done[0].result.y, 40);
}

TEST_F(Peripheral, NewCommandEndsTheRunningOneAndBadInputIsRefused)
{
    set_speed(1);
    place(0, 0);
    zel_ptz_point_t far{100, 100}, near{10, 0};
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &far, 8, on_done), 0);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &near, 8, on_done), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return done_count() == 2; }, 5s));
    {
        std::lock_guard<std::mutex> g(g_lock);
        EXPECT_EQ(g_done[0].event, ZEL_PTZ_EVENT_STOPPED);
        EXPECT_EQ(g_done[1].event, ZEL_PTZ_EVENT_ARRIVED);
        EXPECT_EQ(g_done[1].result.x, 10);
    }
    periph_test_fail_next_move();
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &far, 8, on_done), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return done_count() == 3; }, 5s));
    {
        std::lock_guard<std::mutex> g(g_lock);
        EXPECT_EQ(g_done[2].event, ZEL_PTZ_EVENT_FAILED);
        EXPECT_EQ(g_done[2].result.ret, -1);
    }
    zel_ptz_point_t outside{101, 0};
    EXPECT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &outside, 8, on_done), -1);
    EXPECT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &near, 4, on_done), -1);
    int32_t speed = 11;
    EXPECT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_SPEED, &speed, 4), -1);
    EXPECT_EQ(zel_api_ptz_control(9, -1, nullptr, 0, on_done), -1);
}

} // namespace
