#include "zel_control/evtimer/zel_base64.h"
#include "zel_control/evtimer/zel_evtimer.h"
#include "zel_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

// ThreadSanitizer cannot follow the threads that glibc starts for SIGEV_THREAD timers; those cases run in the other builds.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "not supported under ThreadSanitizer"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

namespace {

std::atomic<int> g_fired_id{-1};
std::atomic<int> g_fired{0};

void on_expiry(union sigval value)
{
    g_fired_id = value.sival_int;
    ++g_fired;
}

struct TimerList {
    event_timer_node_t *head = timer_init();
    ~TimerList()
    {
        delete_all_timer(head);
        std::free(head);
    }
};

std::string encode(const std::string &in)
{
    char buf[64];
    const int n = base64_encode(reinterpret_cast<const unsigned char *>(in.data()), in.size(), buf, sizeof buf);
    return n < 0 ? "<fail>" : std::string(buf) + "/" + std::to_string(n);
}

std::string decode(const std::string &in, size_t size = 64)
{
    unsigned char buf[64];
    const int n = base64_decode(in.data(), in.size(), buf, size);
    return n < 0 ? "<fail>" : std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
}

} // namespace

TEST(ZelEvTimer, OneShotFiresOnceAndThenReportsExpired)
{
    SKIP_UNDER_TSAN();
    TimerList list;
    ASSERT_NE(list.head, nullptr);
    g_fired = 0;
    ASSERT_EQ(create_event_timer(list.head, 7, EVENT_TIMER_ONESHOT, 1, on_expiry), 0);
    EXPECT_EQ(check_timer_status(list.head, 7), 0);
    EXPECT_EQ(create_event_timer(list.head, 7, EVENT_TIMER_PERIODIC, 5, on_expiry), -1);
    ASSERT_TRUE(zeltest::wait_until([] { return g_fired.load() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(g_fired_id.load(), 7);
    ASSERT_TRUE(zeltest::wait_until([&] { return check_timer_status(list.head, 7) == -2; }, std::chrono::seconds(2)));
    EXPECT_EQ(check_timer_status(list.head, 8), -1);
    EXPECT_EQ(check_timer_status(nullptr, 7), -1);
}

TEST(ZelEvTimer, RefreshMakesPeriodicAndDeleteUnlinks)
{
    SKIP_UNDER_TSAN();
    TimerList list;
    g_fired = 0;
    ASSERT_EQ(create_event_timer(list.head, 1, EVENT_TIMER_ONESHOT, 100, on_expiry), 0);
    ASSERT_EQ(create_event_timer(list.head, 2, EVENT_TIMER_PERIODIC, 100, on_expiry), 0);
    ASSERT_EQ(refresh_event_timer(list.head, 1, 1), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return g_fired.load() >= 2; }, std::chrono::seconds(6)));
    EXPECT_EQ(check_timer_status(list.head, 1), 0);  // still armed: now periodic
    EXPECT_EQ(refresh_event_timer(list.head, 9, 1), -1);
    EXPECT_EQ(delete_designation_timer(list.head, 1), 0);
    EXPECT_EQ(delete_designation_timer(list.head, 1), -1);
    EXPECT_EQ(check_timer_status(list.head, 2), 0);
    EXPECT_EQ(delete_all_timer(list.head), 0);
    EXPECT_EQ(list.head->next, nullptr);
    EXPECT_EQ(delete_all_timer(nullptr), -1);
}

TEST(ZelBase64, EncodesWithPaddingAndSizeLimit)
{
    EXPECT_EQ(encode("abc"), "YWJj/5");
    EXPECT_EQ(encode(""), "/1");
    EXPECT_EQ(encode("ab"), "YWI=/5");
    EXPECT_EQ(encode("a"), "YQ==/5");
    char small[4];
    EXPECT_EQ(base64_encode(reinterpret_cast<const unsigned char *>("abc"), 3, small, sizeof small), -1);
}

TEST(ZelBase64, DecodePassesOverEverythingOutsideTheAlphabet)
{
    EXPECT_EQ(decode("SGVsbG8sIHdvcmxkIQ=="), "Hello, world!");
    EXPECT_EQ(decode("SGVs\nbG8s\r\nIHdv cmxk\tIQ"), "Hello, world!");
    EXPECT_EQ(decode("YWI"), "ab");
    EXPECT_EQ(decode("YWJj", 2), "<fail>");
    std::string all;
    for (int i = 0; i < 48; ++i)
        all.push_back(static_cast<char>(i * 5));
    char text[80];
    ASSERT_GT(base64_encode(reinterpret_cast<const unsigned char *>(all.data()), all.size(), text, sizeof text), 0);
    EXPECT_EQ(decode(text), all);
}
