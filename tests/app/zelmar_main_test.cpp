// The main program's start-up with test app objects in place of the client, media, status and
// algorithm apps: the start order by bind status with the NAS loop running, the assertion lines for an
// empty bind status and a missing logging configuration, and the signal thread's exit status; the real
// zelmar_app binary for the empty bind status, and for a full start with every app its own, ended by
// SIGTERM or SIGINT.
#include "app_test_apps.h"
#include "zel_app_manager.h"
#include "zel_db/zel_db.h"
#include "zel_test_support.h"
#include "zelmar_main.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern "C" {
app_object_t *client_app_create(int) { return apptest::make_test_app(APP_ID_CLIENT); }
app_object_t *media_app_create(int) { return apptest::make_test_app(APP_ID_MEDIA); }
app_object_t *status_app_create(int) { return apptest::make_test_app(APP_ID_STATUS); }
app_object_t *algo_app_create(int) { return apptest::make_test_app(APP_ID_ALGO); }
}

namespace {

using namespace std::chrono_literals;

bool has_thread(const std::string &want)
{
    for (const auto &t : zeltest::tasks())
        if (t.second == want)
            return true;
    return false;
}

class ZelmarMain : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    // The settings server's thread must be stopped before the test process exits.
    void TearDown() override
    {
        if (started_)
            zel_api_db_deinit();
    }
    void start()
    {
        zelmar_app_start();
        started_ = true;
    }
    bool started_ = false;
    // Stores the bind status in the settings files before the start-up loads them.
    void store_bind_status(const char *value)
    {
        ASSERT_EQ(zel_api_db_init(), 0);
        ASSERT_EQ(zel_api_db_set_value("NVM.IPC:bind_status", value, 8, 1), 0);
        ASSERT_EQ(zel_api_db_deinit(), 0);
    }
    apptest::Env env;
};

TEST_F(ZelmarMain, BoundStartCreatesTheAppsAndRunsTheNasLoop)
{
    store_bind_status("1");
    start();
    EXPECT_EQ(apptest::created(), (std::vector<int>{6, 7, 4, 8})) << "test apps in their place in 5 6 7 4 2 8";
    for (int id : {2, 4, 5, 6, 7, 8})
        EXPECT_NE(app_mgr->apps[id], nullptr) << id;
    EXPECT_EQ(app_mgr->apps[1], nullptr);
    EXPECT_TRUE(zeltest::wait_until([] { return has_thread("nas_ev"); }, 2s));
    EXPECT_EQ(gs_zelmar_app_running, 1);
}

TEST_F(ZelmarMain, UnboundStartCreatesNetworkSetup)
{
    start(); // the default bind status is "0"
    EXPECT_EQ(apptest::created(), (std::vector<int>{6, 7, 4}));
    EXPECT_NE(app_mgr->apps[1], nullptr);
    EXPECT_EQ(app_mgr->apps[8], nullptr);
}

TEST_F(ZelmarMain, EmptyBindStatusAbortsBeforeAnyApp)
{
    store_bind_status("");
    EXPECT_DEATH(
        {
            zelmar_app_start();
            fprintf(stderr, "%zu apps made\n", apptest::created().size());
        },
        "abort \\([^:]*zelmar_start.cpp:main:[0-9]+\\) \\(strlen\\(bind_status\\) != 0\\) failed!\n");
}

TEST_F(ZelmarMain, MissingLogConfigurationAborts)
{
    ASSERT_EQ(unlink(env.root.path("/mnt/data/operator/zel_log.ini").c_str()), 0);
    EXPECT_DEATH(zelmar_app_start(), "abort \\([^:]*zelmar_start.cpp:main:[0-9]+\\) \\(ret == 0\\) failed!\n");
}

TEST_F(ZelmarMain, SigtermEndsTheProcessWithStatus255)
{
    EXPECT_EXIT(
        {
            zelmar_app_start();
            raise(SIGTERM);
            for (;;)
                pause();
        },
        ::testing::ExitedWithCode(255), "Recv signal 15 ");
}

TEST_F(ZelmarMain, SigpipeIsLoggedAndTheProcessGoesOn)
{
    EXPECT_EXIT(
        {
            zelmar_app_start();
            raise(SIGPIPE);
            std::this_thread::sleep_for(300ms);
            fprintf(stderr, "still running\n");
            raise(SIGINT);
            for (;;)
                pause();
        },
        ::testing::ExitedWithCode(255), "Recv signal SIGPIPE .*still running.*Recv signal 2 ");
}

TEST_F(ZelmarMain, ProgramWithEmptyBindStatusAbortsWithTheAssertionLine)
{
    store_bind_status("");
    const std::string log = env.root.path("/tmp/zelmar_app.log");
    zeltest::ChildProcess app({ZELMAR_APP_PATH}, {}, log);
    const int status = app.wait_exit(20s);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    const std::string out = env.root.read_file("/tmp/zelmar_app.log");
    EXPECT_NE(out.find("(strlen(bind_status) != 0) failed!"), std::string::npos) << out;
    EXPECT_NE(out.find("bind_status:"), std::string::npos);
}

// The real program, every app its own, with a camera's factory partition and no device daemon to
// reach: it creates the apps in their order (5 6 7 4 2, then 8 when bound), parks, and ends with status
// 255 on SIGTERM and on SIGINT (Ctrl-C signals the whole process group).
TEST_F(ZelmarMain, ProgramCreatesEveryAppAndEndsOnSignal)
{
    store_bind_status("1");
    const auto flash = apptest::serve_factory(env);
    ASSERT_TRUE(flash);
    for (const int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::string name = "/tmp/zelmar_app_" + std::to_string(sig) + ".log";
        zeltest::ChildProcess app({ZELMAR_APP_PATH}, {"ZELMAR_DAEMON_PORT=" + std::to_string(zeltest::free_tcp_port())},
                                  env.root.path(name));
        const auto out = [&] { return env.root.read_file(name); };
        ASSERT_TRUE(zeltest::wait_until([&] { return out().find("ko_nas_init start") != std::string::npos; }, 30s))
            << out();
        EXPECT_TRUE(zeltest::wait_until(
            [&] {
                return out().find(
                           "app_list:<app_sdcard> <app_client> <app_agent> <app_media> <app_status> <app_algo> ") !=
                       std::string::npos;
            },
            10s))
            << out();
        const std::string text = out();
        size_t at = 0;
        for (const int id : {5, 6, 7, 4, 2, 8}) {
            at = text.find("app_create app_id:" + std::to_string(id), at);
            EXPECT_NE(at, std::string::npos) << "app " << id << " in its place in 5 6 7 4 2 8\n" << text;
        }
        EXPECT_EQ(text.find("create function is not part of this build"), std::string::npos) << text;
        ASSERT_TRUE(app.running()) << out();
        const int status = app.stop(sig);
        ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << out();
        EXPECT_EQ(WEXITSTATUS(status), 255);
        EXPECT_NE(out().find("Recv signal " + std::to_string(sig) + " "), std::string::npos) << out();
    }
}

} // namespace
