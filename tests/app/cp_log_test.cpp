// The log-copy app with the agent hub and messages from the Python agent peer: rotated logs copied
// byte for byte once per change, no copies while the card is formatted, a failed copy that leaves
// nothing and is tried again, and a copy killed half-way that leaves no file under the final name.
#include "media_test_env.h"

#include "agent_server_test.h"
#include "zel_cp_log.h"
#include "zel_cp_log_test.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;

constexpr auto kPeriod = 100ms;

std::string random_text(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

void set_mtime(const std::string &path, time_t when)
{
    const struct timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

// The names in a directory, "." and ".." left out.
std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class CpLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_ = std::make_unique<mediatest::Env>();
        cp_log_test_set_period(kPeriod);
        app_ = cp_log_app_create(0);
        ASSERT_NE(app_, nullptr);
        ASSERT_TRUE(zeltest::wait_until([] { return agent_server_subscribers("sdcard_format") > 0; }, 10s));
        mkdir(root().path("/tmp/zel_log").c_str(), 0755);
    }
    void TearDown() override
    {
        if (app_)
            app_->invoke(app_, APP_CMD_DESTROY, 0, 0, 0);
    }
    const zeltest::TempRoot &root() const { return env_->root(); }
    std::string card(const std::string &name) const { return root().path("/mnt/sdcard/log/" + name); }
    // Puts the rotated log `device_path` in place with `content` and modification time `mtime` at
    // once, as the logger's rotation does.
    void write_log(const std::string &device_path, const std::string &content, time_t mtime) const
    {
        root().write_file(device_path + ".new", content);
        set_mtime(root().path(device_path + ".new"), mtime);
        ASSERT_EQ(rename(root().path(device_path + ".new").c_str(), root().path(device_path).c_str()), 0);
    }
    void wait_checks(int n) const { std::this_thread::sleep_for(zeltest::scaled(n * kPeriod)); }

    std::unique_ptr<mediatest::Env> env_;
    app_object_t *app_ = nullptr;
};

TEST_F(CpLog, EachRotatedLogIsCopiedByteForByteOncePerChange)
{
    const std::string rolling = random_text(300000, 1), messages = random_text(5000, 2);
    write_log("/tmp/zel_log/rolling.log.1", rolling, 1700000000);
    chmod(root().path("/tmp/zel_log/rolling.log.1").c_str(), 0640);
    write_log("/tmp/messages.0", messages, 1700000050);
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            return root().exists("/mnt/sdcard/log/log_rolling_1-1700000000") &&
                   root().exists("/mnt/sdcard/log/log_message_0-1700000050");
        },
        5s));
    EXPECT_EQ(names_in(root().path("/mnt/sdcard/log")),
              (std::vector<std::string>{"log_message_0-1700000050", "log_rolling_1-1700000000"}));
    EXPECT_EQ(root().read_file("/mnt/sdcard/log/log_rolling_1-1700000000"), rolling);
    EXPECT_EQ(root().read_file("/mnt/sdcard/log/log_message_0-1700000050"), messages);
    struct stat st;
    ASSERT_EQ(stat(card("log_rolling_1-1700000000").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the source's mode";

    unlink(card("log_rolling_1-1700000000").c_str());
    wait_checks(5);
    EXPECT_FALSE(root().exists("/mnt/sdcard/log/log_rolling_1-1700000000")) << "unchanged: not copied again";

    const std::string next = random_text(1000, 3);
    write_log("/tmp/zel_log/rolling.log.1", next, 1700000100);
    ASSERT_TRUE(zeltest::wait_until([&] { return root().exists("/mnt/sdcard/log/log_rolling_1-1700000100"); }, 5s));
    EXPECT_EQ(root().read_file("/mnt/sdcard/log/log_rolling_1-1700000100"), next);
    EXPECT_EQ(names_in(root().path("/mnt/sdcard/log")).size(), 2u) << "no partial copy left beside";
}

TEST_F(CpLog, NothingIsCopiedWhileTheCardIsFormattedOrUnmounted)
{
    mediatest::agent_send({"sdcard_format=start"});
    ASSERT_TRUE(zeltest::wait_until([] { return cp_log_test_formatting(); }, 5s));
    write_log("/tmp/zel_log/rolling.log.1", "one", 1700000400);
    wait_checks(5);
    EXPECT_TRUE(names_in(root().path("/mnt/sdcard/log")).empty());

    mediatest::agent_send({"sdcard_status=1"});
    wait_checks(5);
    EXPECT_TRUE(names_in(root().path("/mnt/sdcard/log")).empty()) << "only status 0 ends the formatting";
    mediatest::agent_send({"sdcard_status=0"});
    ASSERT_TRUE(zeltest::wait_until([&] { return root().exists("/mnt/sdcard/log/log_rolling_1-1700000400"); }, 5s));

    mediatest::agent_send({"set_sdcard_unmount_cmd=1"});
    ASSERT_TRUE(zeltest::wait_until([] { return cp_log_test_formatting(); }, 5s));
    write_log("/tmp/zel_log/rolling.log.1", "two", 1700000500);
    wait_checks(5);
    EXPECT_FALSE(root().exists("/mnt/sdcard/log/log_rolling_1-1700000500"));
    mediatest::agent_send({"sdcard_status=0"}); // the copy thread serves the next case of this process
    EXPECT_TRUE(zeltest::wait_until([] { return !cp_log_test_formatting(); }, 5s));
}

TEST_F(CpLog, AnUpgradeShortensThePauseToThreeSeconds)
{
    cp_log_test_set_period(60s);
    write_log("/tmp/zel_log/rolling.log.1", "before the upgrade", 1700000550);
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_FALSE(root().exists("/mnt/sdcard/log/log_rolling_1-1700000550"));
    mediatest::agent_send({"set_dev_status=start_ota"});
    ASSERT_TRUE(zeltest::wait_until([&] { return root().exists("/mnt/sdcard/log/log_rolling_1-1700000550"); }, 5s));
    write_log("/tmp/zel_log/rolling.log.1", "during the upgrade", 1700000560);
    EXPECT_TRUE(zeltest::wait_until([&] { return root().exists("/mnt/sdcard/log/log_rolling_1-1700000560"); }, 5s));
    cp_log_test_set_period(kPeriod);
}

TEST_F(CpLog, ASourceThatCannotBeCopiedLeavesNothingAndIsTriedAgain)
{
    const std::string source = root().path("/tmp/zel_log/rolling.log.1");
    ASSERT_EQ(mkdir(source.c_str(), 0755), 0); // opens, but does not read
    set_mtime(source, 1700000600);
    wait_checks(5);
    // Each failing try has a partial copy for an instant: look once the copy thread keeps still.
    cp_log_test_set_period(60s);
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_TRUE(names_in(root().path("/mnt/sdcard/log")).empty());

    cp_log_test_set_period(kPeriod);
    ASSERT_EQ(rmdir(source.c_str()), 0);
    write_log("/tmp/zel_log/rolling.log.1", "readable now", 1700000600); // the same time as the failed one
    ASSERT_TRUE(zeltest::wait_until([&] { return root().exists("/mnt/sdcard/log/log_rolling_1-1700000600"); }, 5s));
    EXPECT_EQ(root().read_file("/mnt/sdcard/log/log_rolling_1-1700000600"), "readable now");
}

TEST_F(CpLog, NoLogFolderAndNoWayToMakeItMeansNoCopy)
{
    cp_log_test_set_period(60s); // the copy thread keeps still while the folder is replaced
    std::this_thread::sleep_for(zeltest::scaled(kPeriod * 3));
    rmdir(root().path("/mnt/sdcard/log").c_str());
    root().write_file("/mnt/sdcard/log", "not a folder");
    write_log("/tmp/zel_log/rolling.log.1", "one", 1700000700);
    cp_log_test_set_period(kPeriod);
    wait_checks(5);
    EXPECT_EQ(root().read_file("/mnt/sdcard/log"), "not a folder");
    unlink(root().path("/mnt/sdcard/log").c_str());
    ASSERT_TRUE(zeltest::wait_until([&] { return root().exists("/mnt/sdcard/log/log_rolling_1-1700000700"); }, 5s));
}

TEST(CopyFile, KilledHalfWayItLeavesNoFileUnderTheFinalName)
{
    zeltest::TempRoot root;
    const std::string source = root.path("/tmp/big.log"), target = root.path("/mnt/sdcard/big.log");
    {
        const int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 100 << 20), 0);
        ASSERT_EQ(pwrite(fd, "end", 3, (100 << 20) - 3), 3);
        close(fd);
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(copy_file(source.c_str(), target.c_str()) == 0 ? 0 : 1);
    struct stat st {};
    const bool copying = zeltest::wait_until(
        [&] { return stat((target + ".part").c_str(), &st) == 0 && st.st_size > (1 << 20); }, 10s);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(copying) << "the copy was not seen under way";
    ASSERT_TRUE(WIFSIGNALED(status)) << "the copy ended before the kill";
    EXPECT_FALSE(root.exists("/mnt/sdcard/big.log"));

    ASSERT_EQ(copy_file(source.c_str(), target.c_str()), 0) << "the leftover part is overwritten";
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100 << 20);
    EXPECT_FALSE(root.exists("/mnt/sdcard/big.log.part"));
    char end[4] = {};
    const int fd = open(target.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, end, 3, (100 << 20) - 3), 3);
    close(fd);
    EXPECT_STREQ(end, "end");
}

TEST(CopyFile, AMissingOrUnreadableSourceFails)
{
    zeltest::TempRoot root;
    const std::string target = root.path("/mnt/sdcard/x");
    EXPECT_EQ(copy_file(root.path("/tmp/none").c_str(), target.c_str()), -1);
    EXPECT_EQ(copy_file(root.path("/tmp").c_str(), target.c_str()), -1);
    EXPECT_EQ(copy_file(root.path("/tmp").c_str(), root.path("/mnt/none/x").c_str()), -1);
    EXPECT_FALSE(root.exists("/mnt/sdcard/x"));
    EXPECT_FALSE(root.exists("/mnt/sdcard/x.part"));
}

} // namespace
