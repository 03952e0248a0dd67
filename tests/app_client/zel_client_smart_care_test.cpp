// Smart-care schedules of the started business layer on a wall clock the test sets (time zone UTC):
// the status of windows within a day, across midnight and one-shot, the switch-off in the stored
// JSON, the "nobody seen" report of mode 1 at the daemon simulator, and phone texts that do not fit
// the table.
#include "zel_client_clocks.h"

#include <atomic>
#include <ctime>
#include <fstream>
#include <thread>

#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_smart_care.h"

namespace clienttest {
namespace {

// 2023-11-12 00:00 UTC, a Sunday.
constexpr uint64_t kSunday = 1699747200;
enum { kSun = 0, kMon = 1, kTue = 2, kWed = 3 };

class SmartCare : public ClientTest {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        ClientTest::SetUp();
        info_ = start_business();
        ASSERT_NE(info_, nullptr);
        g_tick_us = (vexa_time_tick_ms() / 1000 + 10) * 1000000;
        at(kSun, 0, 0);
        ko_time_set_tick_source(test_tick);
        ko_time_set_wall_source(test_wall);
    }
    void TearDown() override
    {
        ko_time_set_tick_source(nullptr);
        ko_time_set_wall_source(nullptr);
        ClientTest::TearDown();
        unsetenv("TZ");
        tzset();
    }

    static void at(int day, int hour, int minute)
    {
        g_wall_us = (kSunday + day * 86400ull + hour * 3600ull + minute * 60ull) * 1000000;
    }
    static int status_at(int mode, int day, int hour, int minute)
    {
        at(day, hour, minute);
        return zel_tolk_smart_care_need_work(mode);
    }
    static int set(int index, const std::string &json)
    {
        return smart_care_config_set(index, json.c_str(), static_cast<unsigned>(json.size()));
    }
    static smart_care_clock_t slot(int index, int i)
    {
        pthread_mutex_lock(g_smart_care_config.lock);
        const smart_care_clock_t clock = g_smart_care_config.clock[index][i];
        pthread_mutex_unlock(g_smart_care_config.lock);
        return clock;
    }
    static std::string clock(const char *start, const char *end, int repeat, int idx, bool enable = true)
    {
        return std::string(R"({"start":")") + start + R"(","end":")" + end + R"(","repeat":)" +
               std::to_string(repeat) + R"(,"enable":)" + (enable ? "true" : "false") + R"(,"clock_idx":)" +
               std::to_string(idx) + "}";
    }
    // The "nobody seen" events (13.3) the simulator received from `since`.
    int no_human_reports(int since, int wait_ms = 1500) { return device_events_since(*sim_, since, wait_ms, 13, 3); }

    zel_tolk_info_t *info_ = nullptr;
};

TEST_F(SmartCare, WindowsWithinADayAndAcrossMidnight)
{
    ASSERT_EQ(set(0, R"({"clock":[)" + clock("08:00", "09:00", 0x7f, 3) + "]}"), 0);
    EXPECT_EQ(status_at(0, kTue, 8, 0), 0) << "the start minute is outside";
    EXPECT_EQ(status_at(0, kTue, 8, 1), 1);
    EXPECT_EQ(status_at(0, kTue, 8, 59), 1);
    EXPECT_EQ(status_at(0, kTue, 9, 0), 0) << "the end minute is outside";
    EXPECT_EQ(status_at(0, kTue, 9, 1), 3) << "a repeating window has just ended";
    EXPECT_EQ(status_at(0, kTue, 9, 2), 0);

    ASSERT_EQ(set(0, R"({"clock":[)" + clock("22:00", "06:00", 1 << kMon, 4) + "]}"), 0);
    EXPECT_EQ(status_at(0, kMon, 23, 0), 1);
    EXPECT_EQ(status_at(0, kTue, 5, 0), 1) << "the night ends on the next day";
    EXPECT_EQ(status_at(0, kMon, 5, 0), 0) << "Sunday night is not in the pattern";
    EXPECT_EQ(status_at(0, kTue, 23, 0), 0);

    // Not zero-padded: compared as text "8:00" sorts after "20:00", as minutes it comes first.
    ASSERT_EQ(set(0, R"({"clock":[)" + clock("8:00", "20:00", 1 << kMon, 5) + "]}"), 0);
    EXPECT_EQ(status_at(0, kMon, 9, 0), 1);
    EXPECT_EQ(status_at(0, kTue, 9, 0), 0);

    ASSERT_EQ(set(0, R"({"clock":[)" + clock("08:00", "09:00", 0x7f, 6, false) + "]}"), 0);
    EXPECT_EQ(status_at(0, kTue, 8, 30), 0) << "a disabled clock counts for nothing";
    at(kSun, 0, 0);
    g_wall_us = 1546271999ull * 1000000;
    EXPECT_EQ(zel_tolk_smart_care_need_work(0), -1) << "before 2019";
}

TEST_F(SmartCare, OneShotSwitchesItselfOffInTheTableAndTheStoredText)
{
    // Longer than 1023 characters: the stored text is read whole.
    const std::string padding(1100, 'x');
    const std::string text = R"({"clock":[)" + clock("10:00", "10:30", 0x7f, 7) + "," +
                             clock("12:00", "13:00", 0, 9) + "," + clock("10:00", "11:00", 0, 8) +
                             R"(],"note":")" + padding + R"("})";
    ASSERT_EQ(zel_api_db_set_value("NVM.ALARM:smart_care_config0", text.c_str(), static_cast<int>(text.size()), 0),
              0);
    ASSERT_EQ(set_smart_care_clock_init(), 0);
    EXPECT_EQ(slot(0, 2).clock_idx, 8) << "loaded at start-up";
    EXPECT_EQ(status_at(0, kTue, 10, 40), 1);
    EXPECT_EQ(status_at(0, kTue, 11, 1), 4) << "the one-shot window has just ended";
    EXPECT_EQ(slot(0, 2).clock_idx, -1) << "the one-shot slot is free";
    EXPECT_EQ(status_at(0, kTue, 11, 1), 0) << "once: the last clock is now the 12:00 one";
    EXPECT_EQ(slot(0, 1).clock_idx, 9);
    EXPECT_EQ(slot(0, 0).clock_idx, 7);

    const std::string path = root().path("/tmp/smart_care.json");
    std::vector<char> stored(2048, 0);
    ASSERT_EQ(zel_api_db_get_value("NVM.ALARM:smart_care_config0", stored.data(), static_cast<int>(stored.size())), 0);
    std::ofstream(path) << stored.data();
    std::string out;
    ASSERT_EQ(zeltest::run_command("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                                   "print(\" \".join(\"%d:%s\" % (c[\"clock_idx\"], c[\"enable\"]) for c in d[\"clock\"]), "
                                   "len(d[\"note\"]))' " + path,
                                   &out),
              0);
    EXPECT_EQ(out, "7:True 9:True 8:False 1100\n");
}

TEST_F(SmartCare, ModeOneReportsNobodySeenOncePerMinute)
{
    ASSERT_EQ(set(1, R"({"clock":[)" + clock("10:00", "11:00", 0x7f, 1) + "," + clock("10:00", "11:01", 0x7f, 2) +
                         "," + clock("12:00", "12:30", 0x7f, 3) + "]}"),
              0);
    __atomic_store_n(&info_->bind_ok, 1u, __ATOMIC_RELAXED);
    __atomic_store_n(&info_->smart_care_switch, 1u, __ATOMIC_RELAXED);
    __atomic_store_n(&info_->smart_care_mode, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&info_->key_area_status, 0u, __ATOMIC_RELAXED);
    const int since = sim_->received_count("rpc");
    at(kTue, 11, 1);
    ASSERT_EQ(_check_device_period_task(), 0);
    g_tick_us += 30000000ull;
    at(kTue, 11, 2);
    ASSERT_EQ(_check_device_period_task(), 0);
    EXPECT_EQ(no_human_reports(since), 1) << "the second end within 60 s sends nothing";

    // A key-area event seen in the window: its end is no "nobody seen", and the mark is taken.
    advance_tick_ms(100000); // past the 60 s gap
    __atomic_store_n(&info_->key_area_status, 1u, __ATOMIC_RELAXED);
    at(kTue, 12, 31);
    ASSERT_EQ(_check_device_period_task(), 0);
    EXPECT_EQ(__atomic_load_n(&info_->key_area_status, __ATOMIC_RELAXED), 0u);
    const int mark = sim_->received_count("rpc");
    g_tick_us += 30000000ull;
    g_wall_us += 30000000ull;
    ASSERT_EQ(_check_device_period_task(), 0);
    EXPECT_EQ(no_human_reports(mark, 700), 0) << "the next pass in the same minute takes the end again";

    // A key-area event between two windows does not count for the next one.
    __atomic_store_n(&info_->key_area_status, 1u, __ATOMIC_RELAXED);
    g_tick_us += 30000000ull;
    at(kWed, 12, 0);
    ASSERT_EQ(_check_device_period_task(), 0);
    const int next = sim_->received_count("rpc");
    g_tick_us += 30000000ull;
    at(kWed, 12, 31);
    ASSERT_EQ(_check_device_period_task(), 0);
    EXPECT_EQ(no_human_reports(next), 1);
}

TEST_F(SmartCare, ModeZeroOpensTheKeyAreaWindow)
{
    ASSERT_EQ(set(0, R"({"clock":[)" + clock("08:00", "09:00", 0x7f, 1) + "," + clock("18:00", "22:00", 0x7f, 2) +
                         "]}"),
              0);
    __atomic_store_n(&info_->bind_ok, 1u, __ATOMIC_RELAXED);
    __atomic_store_n(&info_->smart_care_switch, 1u, __ATOMIC_RELAXED);
    __atomic_store_n(&info_->smart_care_mode, 0, __ATOMIC_RELAXED);
    at(kTue, 8, 30);
    ASSERT_EQ(_check_device_period_task(), 0);
    EXPECT_EQ(info_->smart_care_in_window, 1) << "the morning clock holds, the evening one does not";
    at(kTue, 10, 0);
    ASSERT_EQ(_check_device_period_task(), 0);
    EXPECT_EQ(info_->smart_care_in_window, 0);
    __atomic_store_n(&info_->bind_ok, 0u, __ATOMIC_RELAXED);
    at(kTue, 8, 30);
    ASSERT_EQ(_check_device_period_task(), 0);
    EXPECT_EQ(info_->smart_care_in_window, 0) << "an unbound camera evaluates nothing";
}

TEST_F(SmartCare, PhoneTextsThatDoNotFitTheTable)
{
    std::string twelve = R"({"clock":[)";
    for (int i = 0; i < 12; ++i)
        twelve += (i ? "," : "") + clock("08:00", "09:00", 0xFFFF, 100 + i);
    twelve += "]}";
    const int other = slot(0, 0).clock_idx;
    ASSERT_EQ(set(1, twelve), 0);
    for (int i = 0; i < SMART_CARE_CLOCKS; ++i)
        EXPECT_EQ(slot(1, i).clock_idx, 100 + i);
    const smart_care_clock_t all = slot(1, 0);
    for (int day = 0; day < SMART_CARE_DAYS; ++day)
        EXPECT_EQ(all.start_repeat[day], 1);
    EXPECT_EQ(all.start_hour, 8) << "bits past Saturday name no day and write nothing";
    EXPECT_EQ(all.end_min, 0);
    EXPECT_EQ(slot(0, 0).clock_idx, other) << "the other schedule is untouched";

    ASSERT_EQ(set(1, R"({"clock":[]})"), 0);
    for (int i = 0; i < SMART_CARE_CLOCKS; ++i)
        EXPECT_EQ(slot(1, i).clock_idx, -1);

    ASSERT_EQ(set(1, R"({"clock":[{"end":"09:00","clock_idx":4},)" + clock("08:00", "09:00", 0, 5) + "]}"), 0);
    EXPECT_EQ(slot(1, 0).enable, 0) << "a clock without its start stays cleared";
    EXPECT_EQ(slot(1, 1).clock_idx, 5);

    EXPECT_EQ(set(2, R"({"clock":[]})"), -1);
    EXPECT_EQ(set(0, "{\"clock\":"), -1);
    EXPECT_EQ(set(0, R"({"clock":{}})"), -1);
    const std::string text = R"({"clock":[]})";
    EXPECT_EQ(smart_care_config_set(0, text.c_str(), 3), -1) << "a length shorter than the text";
    int32_t days[7];
    EXPECT_EQ(_zel_tolk_set_repeat_cnt(1, 1, days, nullptr), -1);
}

TEST_F(SmartCare, AlarmTextWindow)
{
    at(kTue, 8, 30);
    char now[16];
    ASSERT_EQ(format_current_clock(now, sizeof now), 0);
    EXPECT_STREQ(now, "08:30:00");
    EXPECT_EQ(format_current_clock(nullptr, 8), -1);
    EXPECT_EQ(check_alarm_event_need_work("08:00:00", "09:00:00"), 1);
    EXPECT_EQ(check_alarm_event_need_work("22:00:00", "09:00:00"), 1);
    EXPECT_EQ(check_alarm_event_need_work("09:00:00", "22:00:00"), 0);
    EXPECT_EQ(check_alarm_event_need_work("08:30:00", "09:00:00"), 0);
}

} // namespace
} // namespace clienttest
