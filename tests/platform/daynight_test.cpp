// The simulated day/night library: night and day count only after their hold times, the IR light is
// asked to step up while the scene is too dark, and get-params reports the holds.
#include "zel_daynight.h"
#include "zel_daynight_test.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(DayNight, DecisionsWaitForTheirHolds)
{
    daynight_test_set_holds(1, 2);
    zel_day_night_params_t params{};
    ASSERT_EQ(zel_api_day_night_switch_get_params(&params), 0);
    EXPECT_EQ(params.night_to_day_hold_s, 1);
    EXPECT_EQ(params.day_to_night_hold_s, 2);
    EXPECT_EQ(zel_api_day_night_switch_get_params(nullptr), -1);

    EXPECT_EQ(zel_api_reach_night(0, 1), 0);
    daynight_test_set_level(10);
    EXPECT_EQ(zel_api_reach_night(0, 1), 0) << "dark for less than the hold";
    daynight_test_set_level(12); // still dark: the hold goes on
    std::this_thread::sleep_for(2100ms);
    EXPECT_NE(zel_api_reach_night(0, 1), 0);
    EXPECT_EQ(zel_api_reach_day(0, nullptr, 0), 0);

    daynight_test_set_level(30); // neither dark nor bright
    EXPECT_EQ(zel_api_reach_night(0, 1), 0);
    daynight_test_set_level(90);
    EXPECT_EQ(zel_api_reach_day(0, nullptr, 0), 0);
    std::this_thread::sleep_for(1100ms);
    EXPECT_NE(zel_api_reach_day(0, nullptr, 0), 0);

    const auto calls = daynight_test_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "zel_api_reach_day(0,null,0)");
}

TEST(DayNight, TooDarkAsksForMoreLight)
{
    daynight_test_set_holds(0, 0);
    daynight_test_set_level(3);
    int step = 0;
    EXPECT_EQ(zel_api_reach_day(5, &step, 1), 0);
    EXPECT_EQ(step, 1);
    daynight_test_set_level(10);
    EXPECT_EQ(zel_api_reach_day(5, &step, 0), 0);
    EXPECT_EQ(step, 0);
    EXPECT_EQ(daynight_test_calls().back(), "zel_api_reach_day(5,step,0)");
}

} // namespace
