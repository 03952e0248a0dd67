// The line format: time stamp, the parts each format mask selects, the message cut to the line
// size, and the implicit context that writes to stdout in colour before any configuration.
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "zel_log_test_util.h"
#include "zel_test_support.h"

namespace {

class LogFormat : public ::testing::Test {
protected:
    void TearDown() override { zel_log_uninit(); }

    // A logger "fmt" with the given format text writing to the UDP listener.
    void configure(const std::string &format)
    {
        root.write_file("/mnt/data/operator/zel_log.ini",
                        "[net]\ntype = udp\nserver = 127.0.0.1\nport = " + std::to_string(udp.port()) +
                            "\n[fmt]\nappender = net\nasync = false\nformat = " + format + "\n");
        ASSERT_EQ(zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str()), 0);
    }

    // The line of one call at `line`, without its 24-character time stamp.
    std::string body(int level, const char *tag, long line, const char *message)
    {
        zel_log_queue_output(nullptr, level, tag, "src/cam.cpp", "start_cam", line, "%s", message);
        bool ok;
        const std::string got = udp.receive(5000, &ok);
        EXPECT_TRUE(ok);
        return got.size() >= 24 ? got.substr(24) : got;
    }

    std::string tid() const
    {
        char text[32];
        snprintf(text, sizeof text, "[%08ld]", zellogtest::thread_id());
        return text;
    }

    zeltest::TempRoot root;
    zellogtest::UdpListener udp;
};

TEST_F(LogFormat, DefaultMaskIsLevelTagAndThread)
{
    configure("level, tag, thread");
    EXPECT_EQ(body(ZEL_LOG_WARN, "cam", 7, "hello"), "[W][cam]" + tid() + " hello");
    EXPECT_EQ(body(ZEL_LOG_ASSERT, "cam", 7, "a"), "[A][cam]" + tid() + " a");
    EXPECT_EQ(body(ZEL_LOG_DEBUG, "cam", 7, "d"), "[D][cam]" + tid() + " d");
}

TEST_F(LogFormat, EveryPartInItsOrder)
{
    configure("line func file thread process logger tag level");
    char process[16];
    snprintf(process, sizeof process, "[p:%04d]", static_cast<int>(getpid()));
    EXPECT_EQ(body(ZEL_LOG_ERROR, "cam", 1234567, "m"),
              "[E][cam][fmt]" + std::string(process) + tid() + "[src/cam.cpp start_cam:1234567] m");
}

TEST_F(LogFormat, EachMaskGivesItsPartsAndOneSourceGroup)
{
    char process[16];
    snprintf(process, sizeof process, "[p:%04d]", static_cast<int>(getpid()));
    const std::pair<const char *, std::string> cases[] = {
        {"thread,line", tid() + "[:42] m"}, // mask 144
        {"file|line", "[src/cam.cpp:42] m"},
        {"file func", "[src/cam.cpp start_cam] m"},
        {"func line", "[start_cam:42] m"},
        {"func", "[start_cam] m"},
        {"file", "[src/cam.cpp] m"},
        {"process logger", "[fmt]" + std::string(process) + " m"},
        {"none of them", " m"}, // the time stamp alone
    };
    for (const auto &c : cases) {
        configure(c.first);
        EXPECT_EQ(body(ZEL_LOG_INFO, "cam", 42, "m"), c.second) << c.first;
    }
    configure("line");
    EXPECT_EQ(body(ZEL_LOG_INFO, "cam", 123456789, "m"), "[:1234567] m"); // seven digits kept
}

TEST_F(LogFormat, TimeStampIsTheClockWithTheHourOffset)
{
    configure("level");
    // -500000 hours reach back before 1970: the day and hour still come out as the calendar's.
    for (int offset : {0, 5, -3, -500000}) {
        zel_log_set_timezone(offset);
        const time_t before = zeltest::wall_seconds();
        zel_log_queue_output(nullptr, ZEL_LOG_INFO, "t", "f", "g", 1, "m");
        const time_t after = zeltest::wall_seconds();
        bool ok;
        const std::string line = udp.receive(5000, &ok);
        ASSERT_TRUE(ok);
        bool matched = false;
        for (time_t t = before; t <= after && !matched; t++) {
            const time_t shifted = t + offset * 3600;
            struct tm tm;
            gmtime_r(&shifted, &tm);
            char expect[32];
            strftime(expect, sizeof expect, "%Y-%m-%d %H:%M:%S.", &tm);
            matched = line.compare(0, 20, expect) == 0;
        }
        EXPECT_TRUE(matched) << line << " offset " << offset;
        EXPECT_EQ(line.substr(23, 5), " [I] ");
    }
}

TEST_F(LogFormat, NullTextsAndOddLevelsAreSafe)
{
    configure("level tag file func line");
    const char *none = nullptr;
    zel_log_queue_output(nullptr, ZEL_LOG_INFO, none, none, none, 5, none);
    bool ok;
    std::string got = udp.receive(5000, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(got.substr(24), "[I][][ :5] ");
    // A level below 0 passes every threshold and has no tag of its own.
    zel_log_queue_output(nullptr, -1, "t", "f", "g", 6, "%s", "odd");
    got = udp.receive(5000, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(got.substr(24), "[t][f g:6] odd");
}

TEST_F(LogFormat, LineSizeCutsTheMessage)
{
    configure("tag");
    EXPECT_EQ(body(ZEL_LOG_INFO, "t", 1, std::string(600, 'z').c_str()), "[t] " + std::string(510 - 28, 'z'));
    zel_log_set_line_size(64);
    EXPECT_EQ(body(ZEL_LOG_INFO, "t", 1, std::string(600, 'z').c_str()), "[t] " + std::string(62 - 28, 'z'));
    zel_log_set_line_size(512);
    EXPECT_EQ(body(ZEL_LOG_INFO, "t", 1, "short"), "[t] short");
}

TEST(LogImplicit, DefaultLoggerWritesToStdoutInColourWithoutConfiguration)
{
    zeltest::TempRoot root;
    {
        zellogtest::StdoutCapture out(root.path("/tmp/stdout.txt"));
        ZEL_LOGE("boot", "value %d", 5);
        ZEL_LOGD("boot", "debug too");
        const std::string text = out.text();
        const std::string first = text.substr(0, text.find("\x1b[m") + 3);
        EXPECT_EQ(first.substr(0, 10), "\x1b[0;32;31m");
        char tail[64];
        snprintf(tail, sizeof tail, "[E][boot][%08ld] value 5\n\x1b[m", zellogtest::thread_id());
        EXPECT_EQ(first.substr(10 + 24), tail) << text;
        const std::string second = text.substr(first.size());
        ASSERT_GE(second.size(), 27u);
        EXPECT_EQ(second.substr(0, 3), "\x1b[m");
        EXPECT_EQ(second.substr(27, 9), "[D][boot]");
        EXPECT_EQ(second.substr(second.size() - 13), "debug too\n\x1b[m");
    }
    zel_log_uninit();
}

} // namespace
