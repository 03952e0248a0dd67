// The test helpers that every cross-built test relies on: built programs start through the build's
// emulator (and only they), death tests re-run the test program through it, and the calendar
// reference holds dates past 2038.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "zel_test_support.h"

using namespace std::chrono_literals;

TEST(TestSupport, BuiltProgramRunsAsAChildWithItsArgumentsAndEnvironment)
{
    zeltest::TempRoot root;
    const std::string out = root.path("/tmp/helper.out");
    zeltest::ChildProcess child({ZEL_TEST_EXIT_HELPER, out, "one", "two"}, {"ZELTEST_MARK=marked"});
    const int status = child.wait_exit(20s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(root.read_file("/tmp/helper.out"), "marked one two");
}

TEST(TestSupport, OnlyBuiltProgramsGoThroughTheEmulator)
{
    std::vector<std::string> env{"LD_PRELOAD=/nowhere/x.so", "A=b"};
    const std::vector<std::string> tool{"/bin/sh", "-c", "true"};
    EXPECT_EQ(zeltest::exec_command(tool, env), tool) << "host tools run as they are";
    EXPECT_EQ(env.size(), 2u);

    const std::vector<std::string> built{ZEL_TEST_EXIT_HELPER, "x"};
    const std::vector<std::string> command = zeltest::exec_command(built, env);
    if (zeltest::emulator().empty()) {
        EXPECT_EQ(command, built);
        EXPECT_EQ(env.size(), 2u);
        return;
    }
    ASSERT_EQ(command.size(), zeltest::emulator().size() + 2 + built.size());
    EXPECT_EQ(command[0][0], '/') << "exec needs the emulator's full path";
    EXPECT_EQ(access(command[0].c_str(), X_OK), 0) << command[0];
    const size_t at = zeltest::emulator().size();
    EXPECT_EQ(command[at], "-E");
    EXPECT_EQ(command[at + 1], "LD_PRELOAD=/nowhere/x.so") << "the loader setting is the emulated program's";
    EXPECT_EQ(command[at + 2], built[0]);
    EXPECT_EQ(env, std::vector<std::string>{"A=b"});
}

TEST(TestSupport, ThreadsafeDeathTestRunsTheProgramAgain)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::fprintf(stderr, "leaving now\n");
            _exit(3);
        },
        ::testing::ExitedWithCode(3), "leaving now");
}

TEST(TestSupport, CalendarReferenceHoldsDatesPast2038)
{
    struct tm t {};
    ASSERT_TRUE(zeltest::utc_calendar(4102444799, &t)); // the last second of 2099
    EXPECT_EQ(t.tm_year, 199);
    EXPECT_EQ(t.tm_mon, 11);
    EXPECT_EQ(t.tm_mday, 31);
    EXPECT_EQ(t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec, 86399);
    EXPECT_EQ(zeltest::utc_seconds(t), 4102444799);
}
