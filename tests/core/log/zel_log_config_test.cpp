// Logging configured from an INI file: file rotation, UDP datagrams and stdout lines in the line
// format, and how the loader reads its values.
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "zel_log_test_util.h"
#include "zel_test_support.h"

namespace {

const std::regex kDefaultLine(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[[AEWID]\]\[[^\]]*\]\[\d{8,}\] .*$)");
const char kConfig[] = "/mnt/data/operator/zel_log.ini";

// What follows the time stamp in line i of the rotation test.
std::string expected_body(int i)
{
    char text[96];
    snprintf(text, sizeof text, "[I][cfg][%08ld] line %03d of the rotation test", zellogtest::thread_id(), i);
    return text;
}

class LogConfig : public ::testing::Test {
protected:
    void TearDown() override { zel_log_uninit(); }

    int init(const std::string &ini)
    {
        root.write_file(kConfig, ini);
        return zel_log_init(zel_path(kConfig).c_str());
    }

    std::string udp_section(const std::string &name, int port)
    {
        return "[" + name + "]\ntype = udp\nserver = 127.0.0.1\nport = " + std::to_string(port) + "\n";
    }

    zeltest::TempRoot root;
};

TEST_F(LogConfig, FileUdpAndStdoutAppendersCarryEveryLineInTheFormat)
{
    zellogtest::UdpListener udp;
    zellogtest::StdoutCapture out(root.path("/tmp/stdout.txt"));
    ASSERT_EQ(init("[rotating]\ntype = file\nfile = /tmp/zel.log\nlimit = 3\nsize = 1024\n\n" +
                   udp_section("net", udp.port()) +
                   "\n[console]\ntype = stdout\ncolor = false\n\n"
                   "[main]\nappender = rotating, net ,console\nasync = false\ndefault = true\n"),
              0);
    const int count = 120;
    for (int i = 0; i < count; i++)
        ZEL_LOGI("cfg", "line %03d of the rotation test", i);
    ZEL_LOGE("cfg", "%s", std::string(1000, 'x').c_str());

    std::vector<std::string> datagrams;
    for (bool ok = true; ok;) {
        std::string d = udp.receive(datagrams.size() < count + 1 ? 5000 : 200, &ok);
        if (ok)
            datagrams.push_back(d);
    }
    ASSERT_EQ(datagrams.size(), count + 1u);
    for (int i = 0; i < count; i++) {
        EXPECT_TRUE(std::regex_match(datagrams[i], kDefaultLine)) << datagrams[i];
        EXPECT_EQ(datagrams[i].find('\n'), std::string::npos);
        EXPECT_NE(datagrams[i].find(expected_body(i)), std::string::npos) << datagrams[i];
    }
    // The long message is cut so that the whole line keeps 510 characters.
    EXPECT_EQ(datagrams.back().size(), 510u);
    EXPECT_TRUE(std::regex_match(datagrams.back(), kDefaultLine));

    // stdout got the same lines, each with a newline.
    const std::string text = out.text();
    std::vector<std::string> stdout_lines;
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        stdout_lines.push_back(text.substr(pos, end - pos));
    EXPECT_EQ(stdout_lines, datagrams);

    // Rotation keeps FILE, FILE.1 and FILE.2; read oldest first they hold the newest lines in order.
    EXPECT_TRUE(root.exists("/tmp/zel.log"));
    EXPECT_TRUE(root.exists("/tmp/zel.log.1"));
    EXPECT_TRUE(root.exists("/tmp/zel.log.2"));
    EXPECT_FALSE(root.exists("/tmp/zel.log.3"));
    EXPECT_FALSE(root.exists("/tmp/zel.log.0"));
    std::vector<std::string> kept;
    for (const char *name : {"/tmp/zel.log.2", "/tmp/zel.log.1", "/tmp/zel.log"}) {
        struct stat st;
        ASSERT_EQ(stat(root.path(name).c_str(), &st), 0);
        EXPECT_LE(st.st_size, 1024 + 511) << name;
        for (auto &line : zellogtest::read_lines(root.path(name))) {
            EXPECT_TRUE(std::regex_match(line, kDefaultLine)) << line;
            EXPECT_LE(line.size(), 510u);
            kept.push_back(line);
        }
    }
    ASSERT_FALSE(kept.empty());
    ASSERT_LT(kept.size(), datagrams.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), datagrams.end() - static_cast<long>(kept.size())));
}

TEST_F(LogConfig, FileLimitZeroKeepsFileZeroAndSizeBelow1024Counts1024)
{
    testing::internal::CaptureStderr();
    ASSERT_EQ(init("[f]\ntype = file\nfile = /tmp/small.log\nlimit = 0\nsize = 10\n"
                   "[l]\nappender = f\nasync = false\n"),
              0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "zellog: limit 0 of [f] below 1, 1 taken\nzellog: size 10 of [f] below 1024, 1024 taken\n");
    ZEL_LOGI("t", "first");
    // Far more than 10 bytes, less than 1024: no rotation yet.
    EXPECT_FALSE(root.exists("/tmp/small.log.0"));
    for (int i = 0; i < 40; i++)
        ZEL_LOGI("t", "%s", std::string(60, 'a' + i % 26).c_str());
    EXPECT_TRUE(root.exists("/tmp/small.log.0"));
    EXPECT_FALSE(root.exists("/tmp/small.log.1"));
}

TEST_F(LogConfig, HugeFileLimitIsCappedSoRotationDoesNotStall)
{
    testing::internal::CaptureStderr();
    ASSERT_EQ(init("[f]\ntype = file\nfile = /tmp/big.log\nlimit = 2000000000\nsize = 1024\n"
                   "[l]\nappender = f\nasync = false\n"),
              0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("above 1024, 1024 taken"), std::string::npos);
    // Without the cap each of these rotations would walk two thousand million names.
    for (int i = 0; i < 60; i++)
        ZEL_LOGI("t", "%s", std::string(100, 'a' + i % 26).c_str());
    EXPECT_TRUE(root.exists("/tmp/big.log.1"));
    EXPECT_TRUE(root.exists("/tmp/big.log.4"));
}

// File sizes beyond what a 32-bit long holds (the camera's): an old log of 3 GiB is counted and
// rotated away, and a count passing 2 GiB still rotates. The files are sparse.
TEST_F(LogConfig, FileSizesPast2GiBAreCountedAndRotated)
{
    struct Case {
        const char *name;
        off_t existing;
        int64_t size_limit;
    };
    for (const Case &c :
         {Case{"/tmp/huge.log", off_t(3) << 30, 1024}, Case{"/tmp/edge.log", (off_t(1) << 31) - 100, INT32_MAX}}) {
        SCOPED_TRACE(c.name);
        root.write_file(c.name, "");
        ASSERT_EQ(truncate(root.path(c.name).c_str(), c.existing), 0);
        ASSERT_EQ(init(std::string("[f]\ntype = file\nfile = ") + c.name +
                       "\nlimit = 2\nsize = " + std::to_string(c.size_limit) + "\n[l]\nappender = f\nasync = false\n"),
                  0);
        ZEL_LOGI("t", "%s", std::string(200, 'x').c_str());
        struct stat rotated {};
        ASSERT_EQ(stat(root.path(std::string(c.name) + ".1").c_str(), &rotated), 0) << "the old file was rotated";
        EXPECT_GT(rotated.st_size, c.existing);
        struct stat fresh {};
        ASSERT_EQ(stat(root.path(c.name).c_str(), &fresh), 0);
        EXPECT_LT(fresh.st_size, 4096);
        zel_log_uninit();
        unlink(root.path(std::string(c.name) + ".1").c_str());
    }
}

TEST_F(LogConfig, FileAppenderAppendsToWhatIsThereAndCountsIt)
{
    root.write_file("/tmp/old.log", std::string(1000, 'o') + "\n");
    ASSERT_EQ(init("[f]\ntype = file\nfile = /tmp/old.log\nlimit = 2\nsize = 1024\n[l]\nappender = f\nasync = false\n"),
              0);
    ZEL_LOGI("t", "pushes the total over the limit");
    // The old 1001 bytes count, so this first line rotates the file.
    EXPECT_TRUE(root.exists("/tmp/old.log.1"));
    const auto rotated = zellogtest::read_lines(root.path("/tmp/old.log.1"));
    ASSERT_EQ(rotated.size(), 2u);
    EXPECT_NE(rotated[1].find("pushes the total"), std::string::npos);
}

TEST_F(LogConfig, FileLinesSurviveAnAbruptExit)
{
    ASSERT_EQ(init("[f]\ntype = file\nfile = /tmp/crash.log\n[l]\nappender = f\nasync = false\n"), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ZEL_LOGE("t", "last words");
        _exit(3); // no stdio clean-up
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    const auto lines = zellogtest::read_lines(root.path("/tmp/crash.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[E][t]"), std::string::npos);
    EXPECT_NE(lines[0].find("last words"), std::string::npos);
}

TEST_F(LogConfig, MissingConfigFailsAndLeavesLoggingSilent)
{
    zellogtest::StdoutCapture out(root.path("/tmp/stdout.txt"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(zel_log_init(zel_path("/mnt/data/operator/absent.ini").c_str()), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "zellog: failed to load cfg " + zel_path("/mnt/data/operator/absent.ini") + "\n");
    ZEL_LOGE("t", "goes nowhere");
    EXPECT_EQ(out.text(), "");
}

TEST_F(LogConfig, ReadOnlyConfigIsRead)
{
    zellogtest::UdpListener udp;
    root.write_file(kConfig, udp_section("net", udp.port()) + "[l]\nappender = net\nasync = false\n");
    ASSERT_EQ(chmod(root.path(kConfig).c_str(), 0444), 0);
    // Root writes through any mode bits: the reading then happens in a child without privileges.
    const bool as_root = geteuid() == 0;
    ASSERT_EQ(chmod(root.dir().c_str(), 0755), 0);
    const pid_t child = as_root ? fork() : 0;
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (as_root && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        const int rc = zel_log_init(zel_path(kConfig).c_str());
        ZEL_LOGI("t", "read only");
        if (as_root)
            _exit(rc == 0 ? 0 : 1);
        ASSERT_EQ(rc, 0);
    } else {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0);
    }
    bool ok;
    EXPECT_NE(udp.receive(5000, &ok).find("read only"), std::string::npos);
}

TEST_F(LogConfig, LevelWordsThresholdsAndInvalidSections)
{
    zellogtest::UdpListener warn_only, all;
    testing::internal::CaptureStderr();
    ASSERT_EQ(init(udp_section("w", warn_only.port()) + "level = warning\n" + udp_section("a", all.port()) +
                   "level = 5\n"
                   "[nofile]\ntype = file\n[noserver]\ntype = udp\nport = 9\n[noport]\ntype = udp\nserver = 127.0.0.1\n"
                   "[odd]\ntype = pipe\n"
                   "[l]\nappender = w, a, nofile, noserver, noport, odd\nasync = false\nlevel = all\n"),
              0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("zellog: invalid filename\n"), std::string::npos);
    EXPECT_NE(err.find("zellog: no svr addr in udp appender\n"), std::string::npos);
    EXPECT_NE(err.find("zellog: no svr port in udp appender\n"), std::string::npos);
    EXPECT_NE(err.find("zellog: level \"5\" of [a] not understood, debug taken\n"), std::string::npos);

    ZEL_LOGD("t", "debug line");
    ZEL_LOGI("t", "info line");
    ZEL_LOGW("t", "warn line");
    bool ok;
    // "warning" holds "warn": threshold 2. "5" is no level word nor 0 to 4: the default 4.
    EXPECT_NE(warn_only.receive(5000, &ok).find("[W][t]"), std::string::npos);
    warn_only.receive(200, &ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(all.receive(5000, &ok).find("debug line"), std::string::npos);
    EXPECT_NE(all.receive(5000, &ok).find("info line"), std::string::npos);
    EXPECT_NE(all.receive(5000, &ok).find("warn line"), std::string::npos);
}

TEST_F(LogConfig, CapitalAllNamesAnAppenderAndLowerAllTakesEvery)
{
    zellogtest::UdpListener named, other;
    ASSERT_EQ(init(udp_section("ALL", named.port()) + udp_section("other", other.port()) +
                   "[caps]\nappender = ALL\nasync = false\ndefault = true\n"
                   "[every]\nappender = all\nasync = false\n"),
              0);
    bool ok;
    ZEL_LOGI("t", "to the one named ALL");
    EXPECT_NE(named.receive(5000, &ok).find("to the one named ALL"), std::string::npos);
    other.receive(200, &ok);
    EXPECT_FALSE(ok);

    zel_log_queue_output(zel_log_get_logger("every"), ZEL_LOG_INFO, "t", __FILE__, __func__, __LINE__, "to both");
    EXPECT_NE(named.receive(5000, &ok).find("to both"), std::string::npos);
    EXPECT_NE(other.receive(5000, &ok).find("to both"), std::string::npos);
}

TEST_F(LogConfig, LoggerWithoutAppendersUsesDefaultAppenderIgnoringItsSettings)
{
    zellogtest::UdpListener udp;
    ASSERT_EQ(init(udp_section("fallback", udp.port()) + "enable = false\nlevel = assert\ndefault = true\n"
                                                         "[orphan]\nappender = nosuch\nasync = false\n"),
              0);
    // The only logger becomes the default one; with no appender of its own the default appender
    // gets everything, disabled or not.
    ZEL_LOGD("t", "reaches the default appender");
    bool ok;
    EXPECT_NE(udp.receive(5000, &ok).find("reaches the default appender"), std::string::npos);
}

TEST_F(LogConfig, NonBooleanValuesTakeTheDefault)
{
    zellogtest::StdoutCapture out(root.path("/tmp/stdout.txt"));
    // "color = 1" is not a boolean: colour stays on. "enable = 0" likewise leaves the logger on.
    ASSERT_EQ(init("[c]\ntype = stdout\ncolor = 1\n[l]\nappender = c\nasync = false\nenable = 0\n"), 0);
    ZEL_LOGE("t", "coloured");
    const std::string text = out.text();
    EXPECT_EQ(text.rfind("\x1b[0;32;31m", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "\n\x1b[m");
}

} // namespace
