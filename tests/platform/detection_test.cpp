// The simulated detection library: its parameter checks (kept before the start too), callbacks only
// between start and stop with the stop waiting for a running one, a start while it runs, motion
// ignored while the head moves, and the script file of a program run outside a test, read at the
// start and followed while the library runs.
#include "zel_detection.h"
#include "zel_detection_test.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::mutex g_lock;
std::vector<int> g_codes;
std::vector<std::pair<int, int>> g_angles;
std::atomic<int> g_in_callback{0};
std::atomic<int> g_callback_ms{0};

void on_event(const zel_algo_event_t *event)
{
    ++g_in_callback;
    std::this_thread::sleep_for(std::chrono::milliseconds(g_callback_ms.load()));
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_codes.push_back(event->code);
    }
    --g_in_callback;
}

void on_angle(const zel_algo_angle_t *angle)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_angles.emplace_back(angle->h, angle->v);
}

std::vector<int> codes()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_codes;
}

TEST(Detection, ParametersAreCheckedAndKeptBeforeTheStart)
{
    const int32_t four = 4;
    const float area[4] = {1, 2, 3, 4};
    const char region[] = "[[1,2]]";
    EXPECT_EQ(zel_api_algo_set_param(7, &four, 4), 0);
    EXPECT_EQ(zel_api_algo_set_param(12, area, 16), 0);
    EXPECT_EQ(zel_api_algo_set_param(11, region, 7), 0);
    EXPECT_EQ(detection_test_param(7), (std::vector<uint8_t>{4, 0, 0, 0}));
    EXPECT_EQ(detection_test_param(11), (std::vector<uint8_t>(region, region + 7)));

    EXPECT_EQ(zel_api_algo_set_param(7, &four, 2), -1);
    EXPECT_EQ(zel_api_algo_set_param(12, area, 12), -1);
    EXPECT_EQ(zel_api_algo_set_param(11, region, 9), -1) << "a region text longer than its string";
    EXPECT_EQ(zel_api_algo_set_param(10, region, 0), -1);
    EXPECT_EQ(zel_api_algo_set_param(13, nullptr, 4), -1);
    for (int id : {0, 5, 8, 9, 14, -1})
        EXPECT_EQ(zel_api_algo_set_param(id, &four, 4), -1) << id;
    EXPECT_EQ(detection_test_param(7), (std::vector<uint8_t>{4, 0, 0, 0})) << "a refused value changes nothing";
    EXPECT_TRUE(detection_test_param(5).empty());
}

TEST(Detection, CallbacksRunOnlyBetweenStartAndStop)
{
    detection_test_script({{0, false, 5}, {50, false, 2}, {20, true, 0, 12, -4}});
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(codes().empty()) << "nothing before the start";
    ASSERT_EQ(zel_api_algo_init(on_event, on_angle), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return codes().size() == 2; }, 5s));
    EXPECT_EQ(codes(), (std::vector<int>{5, 2}));
    {
        std::lock_guard<std::mutex> g(g_lock);
        EXPECT_EQ(g_angles, (std::vector<std::pair<int, int>>{{12, -4}}));
    }

    EXPECT_EQ(zel_api_algo_init(on_event, nullptr), 0) << "a start while it runs changes nothing";
    EXPECT_EQ(detection_test_starts(), 1);

    // The stop waits for a callback that runs.
    g_callback_ms = 300;
    detection_test_script({{0, false, 1}, {2000, false, 6}});
    ASSERT_TRUE(zeltest::wait_until([] { return g_in_callback.load() == 1; }, 5s));
    EXPECT_EQ(zel_api_algo_deinit(), 0);
    EXPECT_EQ(g_in_callback.load(), 0);
    EXPECT_EQ(codes(), (std::vector<int>{5, 2, 1}));
    std::this_thread::sleep_for(zeltest::scaled(2500ms));
    EXPECT_EQ(codes(), (std::vector<int>{5, 2, 1})) << "nothing after the stop";
    EXPECT_FALSE(detection_test_running());
    EXPECT_EQ(zel_api_algo_init(nullptr, nullptr), -1);
}

TEST(Detection, MotionIsNotReportedWhileTheHeadMoves)
{
    ASSERT_EQ(zel_api_algo_init(on_event, nullptr), 0);
    const int32_t running = 1, stopped = 0;
    ASSERT_EQ(zel_api_algo_set_param(13, &running, 4), 0);
    detection_test_script({{0, false, 2}, {0, false, 5}});
    ASSERT_TRUE(zeltest::wait_until([] { return codes().size() == 1; }, 5s));
    ASSERT_EQ(zel_api_algo_set_param(13, &stopped, 4), 0);
    detection_test_script({{0, false, 2}});
    ASSERT_TRUE(zeltest::wait_until([] { return codes().size() == 2; }, 5s));
    EXPECT_EQ(codes(), (std::vector<int>{5, 2}));
    zel_api_algo_deinit();
}

TEST(Detection, AScriptFileIsReadAtTheStart)
{
    zeltest::TempRoot root;
    root.write_file("/script", "30 2 10 20 110 120\n\n10 5\n20 angle 7 8\n");
    setenv("ZELMAR_DETECTION_SCRIPT", root.path("/script").c_str(), 1);
    ASSERT_EQ(zel_api_algo_init(on_event, on_angle), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return codes().size() == 2; }, 5s));
    EXPECT_EQ(codes(), (std::vector<int>{5, 2}));
    zel_api_algo_deinit();
    unsetenv("ZELMAR_DETECTION_SCRIPT");

    std::vector<detection_report> parsed;
    EXPECT_TRUE(detection_test_parse("5 14 1 2 3 4\n", &parsed));
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].code, 14);
    EXPECT_EQ(parsed[0].y2, 4);
    for (const char *bad : {"x 5\n", "5\n", "5 angle 1\n", "5 2 1 2\n", "-1 5\n", "5 5x\n"})
        EXPECT_FALSE(detection_test_parse(bad, &parsed)) << bad;
}

// A user of the running camera appends a line to stage an event: a report already due runs at once;
// a line without its end yet waits for it.
TEST(Detection, LinesAppendedToTheScriptFileRunWhileTheLibraryRuns)
{
    zeltest::TempRoot root;
    root.write_file("/script", "0 5\n");
    setenv("ZELMAR_DETECTION_SCRIPT", root.path("/script").c_str(), 1);
    ASSERT_EQ(zel_api_algo_init(on_event, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return codes().size() == 1; }, 5s));
    root.write_file("/script", "0 5\n0 2\n0 1");
    ASSERT_TRUE(zeltest::wait_until([] { return codes().size() == 2; }, zeltest::scaled(5s)));
    std::this_thread::sleep_for(zeltest::scaled(1200ms));
    EXPECT_EQ(codes(), (std::vector<int>{5, 2})) << "the unended line is not taken";
    root.write_file("/script", "0 5\n0 2\n0 1\n");
    ASSERT_TRUE(zeltest::wait_until([] { return codes().size() == 3; }, zeltest::scaled(5s)));
    EXPECT_EQ(codes(), (std::vector<int>{5, 2, 1}));
    zel_api_algo_deinit();
    unsetenv("ZELMAR_DETECTION_SCRIPT");
}

} // namespace
