#include "zel_control/utils/zel_system.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <future>
#include <string>

#include "zel_control/utils/zel_progress.h"
#include "zel_test_support.h"

TEST(ZelRunCmd, CollectsOutputAndReportsStatus)
{
    char out[64];
    int status = run_cmd("printf 'hello\\nworld\\n'; exit 3", out, sizeof out);
    EXPECT_STREQ(out, "hello\nworld\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(run_cmd("true", nullptr, 0), 0);
    EXPECT_EQ(run_cmd(nullptr, out, sizeof out), -2);
}

TEST(ZelRunCmd, SmallBufferKeepsWhatFitsAndLogs)
{
    char out[8];
    testing::internal::CaptureStdout();
    run_cmd("printf 'abcde\\nfghij\\n'", out, sizeof out);
    const std::string logged = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(out, "abcde\nf");
    EXPECT_NE(logged.find("outsize (8) too small"), std::string::npos) << logged;
}

TEST(ZelRunCmd, OutNullStillRunsTheCommand)
{
    zeltest::TempRoot root;
    const std::string mark = root.path("/tmp/mark");
    EXPECT_EQ(run_cmd(("seq 1 100000; touch " + mark).c_str(), nullptr, 0), 0);
    EXPECT_TRUE(root.exists("/tmp/mark"));
}

TEST(ZelRunCmd, CommandCutShortEndsEvenWithAnotherChildRunning)
{
    // A process started while the command runs must not hold the read end of its pipe: then a
    // command still writing after run_cmd stopped reading would block, and run_cmd with it.
    zeltest::TempRoot root;
    const std::string started = root.path("/tmp/started");
    const std::string go = root.path("/tmp/go");
    const std::string command =
        "echo hi; touch '" + started + "'; while [ ! -e '" + go + "' ]; do sleep 0.05; done; exec yes";
    auto result = std::async(std::launch::async, [&command] {
        char out[8];
        run_cmd(command.c_str(), out, sizeof out);
        return std::string(out);
    });
    ASSERT_TRUE(zeltest::wait_until([&] { return root.exists("/tmp/started"); }, std::chrono::seconds(20)));
    zeltest::ChildProcess other({"/bin/sleep", "120"});
    root.write_file("/tmp/go", "");
    const bool ended = result.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    other.stop(SIGKILL);
    EXPECT_TRUE(ended);
    EXPECT_EQ(result.get(), "hi\ny\ny\n");
}

TEST(ZelExec, ReadsWithoutTerminator)
{
    char buffer[8];
    memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(exec("printf 0123456789", buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer, 8), "0123456Z");
}

TEST(ZelProcWrites, OomScoreAndDropCachesGoUnderThePathRoot)
{
    zeltest::TempRoot root;
    root.write_file("/proc/self/oom_score_adj", "-1000\n");
    root.write_file("/proc/sys/vm/drop_caches", "0\n");
    EXPECT_EQ(zel_api_change_oom_score("0"), 0);
    EXPECT_EQ(zel_api_change_drop_caches("3"), 0);
    EXPECT_EQ(root.read_file("/proc/self/oom_score_adj"), "0");
    EXPECT_EQ(root.read_file("/proc/sys/vm/drop_caches"), "3");
    EXPECT_EQ(zel_api_change_oom_score(nullptr), -1);
}

TEST(ZelProcWrites, MissingOrUnwritableFileFails)
{
    zeltest::TempRoot root;
    EXPECT_EQ(zel_api_change_drop_caches("3"), -1);
    EXPECT_FALSE(root.exists("/proc/sys/vm/drop_caches"));
    // /dev/full accepts the open and refuses every write.
    ASSERT_EQ(symlink("/dev/full", root.path("/proc/self/oom_score_adj").c_str()), 0);
    EXPECT_EQ(zel_api_change_oom_score("0"), -1);
}

TEST(ZelFileSize, SizeOrMinusOne)
{
    zeltest::TempRoot root;
    root.write_file("/tmp/f", "12345");
    EXPECT_EQ(zel_get_file_size(root.path("/tmp/f").c_str()), 5);
    EXPECT_EQ(zel_get_file_size(root.path("/tmp/none").c_str()), -1);
}

TEST(ZelArgs, LookupsAfterTheName)
{
    char a0[] = "prog", a1[] = "-n", a2[] = "12", a3[] = "-r", a4[] = "2.5", a5[] = "-last";
    char *argv[] = {a0, a1, a2, a3, a4, a5};
    EXPECT_EQ(get_args_int(6, argv, "-n", 0), 12);
    EXPECT_EQ(get_args_long(6, argv, "-n", 0), 12);
    EXPECT_DOUBLE_EQ(get_args_double(6, argv, "-r", 0), 2.5);
    EXPECT_STREQ(get_args_string(6, argv, "-r", "d"), "2.5");
    EXPECT_STREQ(get_args_string(6, argv, "-last", "d"), "d");  // nothing follows it
    EXPECT_EQ(is_args_exist(6, argv, "-last"), 1);
    EXPECT_EQ(is_args_exist(6, argv, "-x"), 0);
}

TEST(ZelMisc, TableSizesAndRandomRanges)
{
    EXPECT_EQ(calc_table_size(17), 32);
    EXPECT_EQ(calc_table_size(32), 32);
    EXPECT_EQ(calc_table_size(0), 1);
    EXPECT_EQ(calc_table_size(-5), 1);
    EXPECT_EQ(calc_table_size(0x40000001), 0x7fffffff);
    for (int i = 0; i < 1000; ++i) {
        const int v = zel_rand_range(-3, 4);
        ASSERT_GE(v, -3);
        ASSERT_LT(v, 4);
    }
    EXPECT_EQ(zel_rand_range(5, 5), 5);
    zel_random_sleep(1, 3);
}

TEST(ZelProgress, MinimumStepAndEdges)
{
    std::vector<float> got;
    zel_progress *p = zel_progress_create([](void *user, float v) { static_cast<std::vector<float> *>(user)->push_back(v); },
                                          &got, 0.1f);
    zel_progress_report(p, 0.05f);
    zel_progress_report(p, 0.15f);
    zel_progress_report(p, 0.2f);
    zel_progress_report(p, 1.0f);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FLOAT_EQ(got[0], 0.15f);
    EXPECT_FLOAT_EQ(got[1], 1.0f);

    // A sub-range [0.5, 1] of the whole maps 0.5 to 0.75.
    zel_progress_range whole;
    zel_progress_get_ctx(p, &whole);
    EXPECT_FLOAT_EQ(whole.base, 0.0f);
    EXPECT_FLOAT_EQ(whole.scale, 1.0f);
    zel_progress_set_ctx(p, &whole, 0.5f, 1.0f);
    got.clear();
    zel_progress_report(p, 0.5f);
    zel_progress_report(p, 1.0f);
    EXPECT_EQ(got.size(), 1u);  // 0.75 is below the last value 1.0; 1.0 always passes
    EXPECT_FLOAT_EQ(got.back(), 1.0f);
    zel_progress_release(p);
}
