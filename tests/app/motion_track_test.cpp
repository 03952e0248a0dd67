// Motion tracking on the simulated pan-tilt head, with angle reports scripted in the simulated
// detection library: which reports move the head and by how much, the 100 ms between steps, the way
// back to the saved position 5 s after the last step (the tracking clock moved forward instead of
// waiting), what keeps the head where it is, and the stop while the task thread waits.
#include "algo_test_env.h"
#include "media_test_env.h"

#include "zel_algo.h"
#include "zel_algo_motion.h"
#include "zel_db/zel_db.h"
#include "zel_detection_test.h"
#include "zel_motion_test.h"
#include "zel_peripheral.h"
#include "zel_peripheral_test.h"
#include "zel_test_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;
using mediatest::store;
using algotest::threads_named;

constexpr double kPanUnitsPerDegree = 100.0 / 355;
constexpr double kTiltUnitsPerDegree = 100.0 / 90;
// Real time for two checks of the way back; not stretched under an emulator, since the tracking
// clock runs on meanwhile and the checks that follow such a pause expect it well short of 5 s.
constexpr auto kTwoBackChecks = 1100ms;

void ignore_event(const zel_algo_event_t *) {}

std::vector<std::string> calls_starting(const std::string &prefix)
{
    std::vector<std::string> out;
    for (const std::string &c : periph_test_calls())
        if (c.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c);
    return out;
}

std::vector<std::string> steps()
{
    return calls_starting("zel_api_ptz_control(5,");
}

std::vector<std::string> gotos()
{
    return calls_starting("zel_api_ptz_control(3,");
}

bool head_still()
{
    return !periph_test_head().moving;
}

class MotionTrack : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_ = std::make_unique<mediatest::Env>();
        ASSERT_EQ(zel_api_peripheral_init(), 0);
        int32_t fast = 10; // the head's own pace, so that steps end quickly; tracking sets 2 itself
        ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_SPEED, &fast, sizeof fast), 0);
        ASSERT_EQ(motion_track_init(), 0);
        ASSERT_EQ(motion_track_mode_config(1), 0);
        ASSERT_EQ(zel_api_algo_init(ignore_event, motion_track_angle_config), 0);
        periph_test_clear_calls();
    }
    void TearDown() override
    {
        zel_api_algo_deinit();
        motion_task_exit();
    }
    // One angle report, well after the previous step for the tracking clock.
    static void report(int h, int v)
    {
        zel_motion_test_advance_ms(200);
        detection_test_script({{0, true, 0, h, v}});
    }
    // Waits for the n-th step and for the head to stand again.
    static void wait_step(size_t n)
    {
        ASSERT_TRUE(zeltest::wait_until([n] { return steps().size() >= n; }, 5s)) << "step " << n;
        ASSERT_TRUE(zeltest::wait_until(head_still, 5s));
    }
    std::unique_ptr<mediatest::Env> env_;
};

TEST_F(MotionTrack, AnglesTurnTheHeadOnOneAxisByFourFifths)
{
    report(9, 3); // inside the dead zone: the next report's step is the first
    report(10, 0);
    wait_step(1);
    EXPECT_EQ(steps(), std::vector<std::string>{"zel_api_ptz_control(5,0,4)"}) << "pan 8 degrees negative";
    EXPECT_EQ(calls_starting("zel_api_ptz_prop_set(1,4)").size(), 1u) << "the speed comes before the step";
    EXPECT_NEAR(periph_test_head().x, 50 - 8 * kPanUnitsPerDegree, 0.01); // 2.25 units
    EXPECT_EQ(periph_test_head().speed, 2);
    EXPECT_EQ(get_tracking_state(), 1);
    EXPECT_EQ(motion_track_degree[0], 10);
    EXPECT_EQ(motion_track_degree[1], 0);

    report(0, 5);
    wait_step(2);
    EXPECT_EQ(steps().back(), "zel_api_ptz_control(5,3,4)") << "tilt 4 degrees positive";
    EXPECT_NEAR(periph_test_head().y, 50 + 4 * kTiltUnitsPerDegree, 0.01);

    report(-20, 10);
    wait_step(3);
    EXPECT_EQ(steps().back(), "zel_api_ptz_control(5,1,4)") << "pan 16 degrees positive, no tilt";
    EXPECT_NEAR(periph_test_head().x, 50 + 8 * kPanUnitsPerDegree, 0.01);
    EXPECT_NEAR(periph_test_head().y, 50 + 4 * kTiltUnitsPerDegree, 0.01);

    report(0, -4);
    wait_step(4);
    EXPECT_EQ(steps().back(), "zel_api_ptz_control(5,2,4)") << "tilt 3 degrees negative";
    EXPECT_NEAR(periph_test_head().y, 50 + 1 * kTiltUnitsPerDegree, 0.01);
    EXPECT_EQ(steps().size(), 4u);
}

TEST_F(MotionTrack, TwoReports50msApartMoveTheHeadOnce)
{
    detection_test_script({{0, true, 0, 30, 0}, {50, true, 0, 30, 0}});
    wait_step(1);
    std::this_thread::sleep_for(zeltest::scaled(500ms));
    EXPECT_EQ(steps().size(), 1u);
    EXPECT_NEAR(periph_test_head().x, 50 - 24 * kPanUnitsPerDegree, 0.01);
}

TEST_F(MotionTrack, TheHeadGoesBackToItsSavedPosition5sAfterTheLastStep)
{
    store("NVM.IPC:motor", "[40,60]");
    report(20, 0);
    wait_step(1);
    zel_motion_test_advance_ms(2500);
    std::this_thread::sleep_for(kTwoBackChecks);
    EXPECT_TRUE(gotos().empty()) << "not before 5 s";

    report(-20, 0); // a further step starts the 5 s again
    wait_step(2);
    zel_motion_test_advance_ms(2500);
    std::this_thread::sleep_for(kTwoBackChecks);
    EXPECT_TRUE(gotos().empty());

    zel_motion_test_advance_ms(2500);
    ASSERT_TRUE(zeltest::wait_until([] { return !gotos().empty(); }, 3s));
    EXPECT_EQ(gotos(), std::vector<std::string>{"zel_api_ptz_control(3,-1,8,[40,60])"});
    ASSERT_TRUE(zeltest::wait_until([] { return head_still() && std::lround(periph_test_head().y) == 60; }, 5s));
    EXPECT_EQ(std::lround(periph_test_head().x), 40);
    EXPECT_EQ(get_tracking_state(), 0);
    zel_motion_test_advance_ms(10000);
    std::this_thread::sleep_for(zeltest::scaled(1200ms));
    EXPECT_EQ(gotos().size(), 1u) << "once back, it stays";
}

TEST_F(MotionTrack, AStepOfTheWallClockDoesNotSendTheHeadBack)
{
    zeltest::TestWallClock wall(1700000000LL * 1000000);
    report(20, 0);
    wait_step(1);
    wall.step(3600LL * 1000000);
    std::this_thread::sleep_for(kTwoBackChecks);
    EXPECT_TRUE(gotos().empty()) << "an hour ahead";
    wall.step(-7200LL * 1000000);
    report(-20, 0);
    wait_step(2);
    EXPECT_EQ(steps().size(), 2u) << "an hour back: the next step is not held up";
}

TEST_F(MotionTrack, PowerOffKeepsTheHeadWhereTrackingLeftIt)
{
    store("NVM.IPC:power", "0");
    report(20, 0);
    wait_step(1);
    zel_motion_test_advance_ms(5100);
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    EXPECT_TRUE(gotos().empty());
    EXPECT_EQ(get_tracking_state(), 1);
    store("NVM.IPC:power", "1");
    zel_motion_test_advance_ms(10000);
    std::this_thread::sleep_for(zeltest::scaled(1200ms));
    EXPECT_TRUE(gotos().empty()) << "the wait ended with the power off";
}

TEST_F(MotionTrack, ASavedPositionThatIsNotOneIsNeverSentToTheMotor)
{
    for (const char *bad : {"[120,35]", "[40,x]", "40,60"}) {
        SCOPED_TRACE(bad);
        store("NVM.IPC:motor", bad);
        periph_test_clear_calls();
        report(20, 0);
        wait_step(1);
        zel_motion_test_advance_ms(5100);
        std::this_thread::sleep_for(zeltest::scaled(1200ms));
        EXPECT_TRUE(gotos().empty());
        EXPECT_EQ(get_tracking_state(), 1);
    }
}

TEST_F(MotionTrack, NoStepWhileTrackingIsOffOrTheCameraSleeps)
{
    motion_track_mode_config(0);
    report(30, 0);
    std::this_thread::sleep_for(zeltest::scaled(500ms));
    EXPECT_TRUE(steps().empty());

    motion_track_mode_config(1);
    set_zel_algo_power_status(0);
    report(30, 0);
    std::this_thread::sleep_for(zeltest::scaled(500ms));
    EXPECT_TRUE(steps().empty());

    store("NVM.ALGO:track_switch", "1"); // waking applies the stored switch
    set_zel_algo_power_status(1);
    report(30, 0);
    wait_step(1);
    EXPECT_EQ(steps().size(), 1u);
}

TEST_F(MotionTrack, TheStopEndsBothThreadsWhileTheTaskWaitsAndAStartRunsOnce)
{
    // The thread names, cut to 15 characters as the system does.
    ASSERT_TRUE(zeltest::wait_until([] { return threads_named("motion_track_ta") == 1; }, 5s));
    ASSERT_TRUE(zeltest::wait_until([] { return threads_named("motion_track_ba") == 1; }, 5s));
    EXPECT_EQ(motion_track_init(), 0);
    std::this_thread::sleep_for(zeltest::scaled(200ms));
    EXPECT_EQ(threads_named("motion_track_ta"), 1) << "a second start while it runs does nothing";
    EXPECT_EQ(threads_named("motion_track_ba"), 1);

    EXPECT_EQ(motion_task_exit(), 0);
    // (A joined thread may stay listed for an instant under an emulator.)
    EXPECT_TRUE(zeltest::wait_until([] { return threads_named("motion_track_ta") == 0; }, 100ms));
    EXPECT_TRUE(zeltest::wait_until([] { return threads_named("motion_track_ba") == 0; }, 100ms));
    report(30, 0); // the callback after the stop finds no semaphore to post
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_TRUE(steps().empty());

    ASSERT_EQ(motion_track_init(), 0);
    report(30, 0);
    wait_step(1);
}

TEST(MotionTrackAngles, RectangleCentreToDegrees)
{
    int h = 99, v = 99;
    EXPECT_EQ(cal_h_v_degree(&h, &v, 150, 86, 170, 106), 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(cal_h_v_degree(&h, &v, 0, 0, 20, 20), 0);
    EXPECT_EQ(h, -41);
    EXPECT_EQ(v, -20) << "0.5 added, then cut towards zero";
    EXPECT_EQ(cal_h_v_degree(&h, &v, 0, 172, 20, 192), 0);
    EXPECT_EQ(v, 21);
    EXPECT_EQ(cal_h_v_degree(nullptr, &v, 0, 0, 1, 1), -1);

    EXPECT_EQ(motion_track_coordinate_config(300, 0, 20, 192), 0);
    EXPECT_EQ(motion_rect_config[2], 320);
    EXPECT_EQ(motion_rect_config[3], 192);
    EXPECT_EQ(motion_track_calcu_rotate_angle(&h, &v), 0);
    EXPECT_EQ(h, 42);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(motion_track_coordinate_config(150, 172, 20, 20), 0);
    EXPECT_EQ(motion_track_calcu_rotate_angle(&h, &v), 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(v, 21) << "kept when there is no horizontal angle";
}

} // namespace
