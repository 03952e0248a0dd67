// The app manager with the real agent server and our outside apps (wrapped to note their creation) and
// test apps for the modules later builds add: creation order by bind status, the algorithm app's
// re-creation on every path only when absent or abnormal, the missing-create report, and a receive
// loop that survives interrupted polls and a restarted agent server.
#include "agent_app.h"
#include "agent_server.h"
#include "agent_server_test.h"
#include "app_test_apps.h"
#include "network_setup_app.h"
#include "sdcard_app.h"
#include "zel_app_manager.h"
#include "zel_control/log/zel_log.h"
#include "zel_test_support.h"
#include "zelmar/zel_path.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;
using apptest::created;

bool g_leave_out_media = false;

app_object_t *wrap_network_setup(int arg)
{
    apptest::note_created(APP_ID_NETWORK_SETUP);
    return network_setup_app_create(arg);
}

app_object_t *wrap_sdcard(int arg)
{
    apptest::note_created(APP_ID_SDCARD);
    return sdcard_app_create(arg);
}

app_object_t *wrap_agent(int arg)
{
    apptest::note_created(APP_ID_EV_AGENT);
    return agent_app_create(arg);
}

app_object_t *test_client(int) { return apptest::make_test_app(APP_ID_CLIENT); }
app_object_t *test_media(int) { return apptest::make_test_app(APP_ID_MEDIA); }
app_object_t *test_status(int) { return apptest::make_test_app(APP_ID_STATUS); }
app_object_t *test_algo(int) { return apptest::make_test_app(APP_ID_ALGO); }

} // namespace

void app_config_set_create_funcs(void)
{
    app_config_table[APP_ID_NETWORK_SETUP].create = wrap_network_setup;
    app_config_table[APP_ID_SDCARD].create = wrap_sdcard;
    app_config_table[APP_ID_CLIENT].create = test_client;
    app_config_table[APP_ID_EV_AGENT].create = wrap_agent;
    app_config_table[APP_ID_MEDIA].create = g_leave_out_media ? nullptr : test_media;
    app_config_table[APP_ID_STATUS].create = test_status;
    app_config_table[APP_ID_ALGO].create = test_algo;
}

namespace {

class AppManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str()), 0);
        ASSERT_EQ(agent_server_init(), 0);
    }
    size_t count_of(int id)
    {
        size_t n = 0;
        for (int c : created())
            n += c == id;
        return n;
    }
    apptest::Env env;
};

TEST_F(AppManager, BoundCreatesAgentMediaStatusClientSdcardThenAlgo)
{
    ASSERT_NE(app_mgr_init("1"), nullptr);
    EXPECT_EQ(created(), (std::vector<int>{5, 6, 7, 4, 2, 8}));
    for (int id : {2, 4, 5, 6, 7, 8})
        EXPECT_NE(app_mgr->apps[id], nullptr) << id;
    EXPECT_EQ(app_mgr->apps[1], nullptr);
    EXPECT_EQ(g_event_dispatch_callback, app_mgr_dispatch);
    EXPECT_STREQ(app_config[8].name, "<app_algo>");
}

TEST_F(AppManager, UnboundCreatesNetworkSetupWhoseEndBringsAlgo)
{
    ASSERT_NE(app_mgr_init("0"), nullptr);
    EXPECT_EQ(created(), (std::vector<int>{5, 6, 7, 4, 2, 1}));
    ASSERT_NE(app_mgr->apps[1], nullptr);
    ASSERT_EQ(network_set_bind_ok(0, 0), 0);
    EXPECT_EQ(created(), (std::vector<int>{5, 6, 7, 4, 2, 1, 8}));
    EXPECT_EQ(app_mgr->apps[1], nullptr);
    EXPECT_NE(app_mgr->apps[8], nullptr);
    EXPECT_EQ(network_set_bind_ok(0, 0), -1) << "it ended already";
}

TEST_F(AppManager, CloudConnectedCreatesAlgoOnlyWhenAbsentOrAbnormal)
{
    ASSERT_NE(app_mgr_init("0"), nullptr);
    ASSERT_TRUE(apptest::send_dev_status("cloud_connected"));
    EXPECT_EQ(count_of(8), 1u);
    ASSERT_TRUE(apptest::send_dev_status("cloud_connected"));
    ASSERT_TRUE(apptest::send_dev_status("cloud_connected, again"));
    EXPECT_EQ(count_of(8), 1u) << "present and normal: not created again";

    app_object_t *algo = apptest::test_app(8);
    ASSERT_NE(algo, nullptr);
    algo->set_status(algo, 0x20000);
    EXPECT_EQ(is_app_abnormal(8), 1);
    ASSERT_TRUE(apptest::send_dev_status("cloud_connected"));
    EXPECT_EQ(count_of(8), 2u) << "abnormal: a new one replaces it";
    EXPECT_EQ(is_app_abnormal(8), 0);
    EXPECT_EQ(apptest::destroyed(8), 1) << "the abnormal one was destroyed first";

    ASSERT_TRUE(apptest::send_dev_status("start_ota"));
    ASSERT_TRUE(apptest::send_dev_status("something else"));
    EXPECT_EQ(count_of(8), 2u);
}

TEST_F(AppManager, NetworkSetupEndingAfterCloudConnectedLeavesOneAlgo)
{
    ASSERT_NE(app_mgr_init("0"), nullptr);
    ASSERT_TRUE(apptest::send_dev_status("cloud_connected"));
    ASSERT_EQ(count_of(8), 1u);
    ASSERT_EQ(network_set_bind_ok(0, 0), 0);
    EXPECT_EQ(app_mgr->apps[1], nullptr);
    EXPECT_EQ(count_of(8), 1u) << "the algorithm app never runs twice";
}

TEST_F(AppManager, BindStatusOtherThanZeroOrOneAborts)
{
    EXPECT_DEATH(app_mgr_init("2"), "invalid parameter");
    EXPECT_DEATH(app_mgr_init("10000000"), "invalid parameter");
}

TEST_F(AppManager, MissingCreateFunctionIsNamedBeforeTheAbort)
{
    g_leave_out_media = true;
    EXPECT_DEATH(app_mgr_init("1"), "app_create function null.*\n.*app 6 <app_media>: its create function is not part of this build");
}

TEST_F(AppManager, CreateReportsAndSlots)
{
    ASSERT_NE(app_mgr_init("1"), nullptr);
    EXPECT_EQ(is_app_abnormal(0), -1);
    EXPECT_EQ(is_app_abnormal(10), -1);
    EXPECT_EQ(is_app_abnormal(1), 1) << "absent";
    EXPECT_EQ(is_app_abnormal(6), 0);
    app_object_t *media = apptest::test_app(6);
    ASSERT_NE(media, nullptr);
    EXPECT_EQ(media->destroy(media), 0);
    EXPECT_EQ(app_mgr->apps[6], nullptr) << "0x500 clears the slot";
    // A create request through any app object's invoke goes to the manager.
    app_object_t asker;
    ASSERT_EQ(app_object_init(&asker, 6), 0);
    ASSERT_EQ(asker.invoke(&asker, APP_CMD_CREATE, 0, 0, 0), 0);
    EXPECT_EQ(count_of(6), 2u);
    EXPECT_NE(app_mgr->apps[6], nullptr);
    EXPECT_EQ(manager_on_invoke(nullptr, APP_CMD_CREATE, 6, 0, 0), -1);
    EXPECT_EQ(manager_on_invoke(&app_mgr->base, APP_CMD_DESTROY, 6, 0, 0), -1);
    EXPECT_DEATH(create_app_object(10, 0), "Invalid parameter");
}

// The manager's receive thread, found by its name.
pid_t mgr_thread()
{
    for (const auto &t : zeltest::tasks())
        if (t.second == "mgr_app")
            return atoi(t.first.c_str());
    return -1;
}

int socket_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    for (dirent *e; d && (e = readdir(d));) {
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind("socket:", 0) == 0)
            ++n;
    }
    if (d)
        closedir(d);
    return n;
}

void on_usr2(int) {}

TEST_F(AppManager, ReceiveLoopSurvivesInterruptedPollsAndReconnects)
{
    struct sigaction sa = {};
    sa.sa_handler = on_usr2; // no SA_RESTART: poll fails with EINTR
    sigaction(SIGUSR2, &sa, nullptr);
    ASSERT_NE(app_mgr_init("0"), nullptr);
    ASSERT_TRUE(apptest::send_dev_status("nothing"));
    const pid_t tid = mgr_thread();
    ASSERT_GT(tid, 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(syscall(SYS_tgkill, getpid(), tid, SIGUSR2), 0);
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(apptest::send_dev_status("cloud_connected")) << "still receiving after EINTR";
    EXPECT_EQ(count_of(8), 1u);

    const int sockets = socket_count();
    agent_server_stop();
    ASSERT_EQ(agent_server_init(), 0);
    app_object_t *algo = apptest::test_app(8);
    algo->set_status(algo, 0);
    ASSERT_TRUE(apptest::send_dev_status("cloud_connected")) << "reconnected after the server restart";
    EXPECT_EQ(count_of(8), 2u);
    // Every module reconnects within 5 s; the hub's ends of closed connections go soon after.
    EXPECT_TRUE(zeltest::wait_until([&] { return socket_count() <= sockets; }, 10s))
        << "dropped connections are closed: " << socket_count() << " sockets, " << sockets << " before";
}

TEST(AppObject, DefaultOperations)
{
    app_object_t obj;
    testing::internal::CaptureStdout();
    EXPECT_EQ(app_object_init(&obj, 10), -1);
    EXPECT_EQ(app_object_init(&obj, -1), -1);
    EXPECT_EQ(app_object_init(nullptr, 3), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "app_object_init fail:10\napp_object_init fail:-1\napp_object_init fail:3\n");
    ASSERT_EQ(app_object_init(&obj, 3), 0);
    EXPECT_EQ(obj.get_id(&obj), 3);
    EXPECT_EQ(obj.get_id(nullptr), -1);
    EXPECT_EQ(obj.get_status(&obj), 0x10000u);
    EXPECT_EQ(obj.is_abnormal(&obj), 0);
    EXPECT_EQ(obj.set_status(&obj, 0x12345), 0);
    EXPECT_EQ(obj.get_status(&obj), 0x10000u) << "only the bits of 0xf0000 are stored";
    EXPECT_EQ(obj.set_status(&obj, 0x20000), 0);
    EXPECT_EQ(obj.is_abnormal(&obj), 1);
    EXPECT_EQ(obj.is_abnormal(nullptr), 1);
    EXPECT_EQ(obj.get_status(nullptr), 0xf0000u);
    EXPECT_EQ(obj.invoke(&obj, APP_CMD_HANDLE, 0, 0, 0), -1);
    EXPECT_EQ(obj.invoke(&obj, 0x123, 0, 0, 0), -1);
    EXPECT_EQ(obj.invoke(&obj, -5, 0, 0, 0), -1) << "default user event";
    EXPECT_EQ(obj.invoke(nullptr, APP_CMD_CREATE, 0, 0, 0), -1);
    EXPECT_EQ(obj.destroy(nullptr), -1);
    EXPECT_EQ(obj.destroy(&obj), 0) << "no hook registered yet: the report is dropped";
}

} // namespace
