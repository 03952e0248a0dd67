// Test app objects, their creation record and the app tests' environment.
#include "app_test_apps.h"

#include "agent_server.h"
#include "zel_app_agent_client/agent_client.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace apptest {

namespace {

struct TestApp {
    app_object_t base;
};

std::mutex g_lock;
std::vector<int> g_created;
app_object_t *g_apps[APP_ID_COUNT];
int g_destroyed[APP_ID_COUNT];

int test_app_destroy(app_object_t *obj, int, int, int, int)
{
    if (!obj)
        return -1;
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (g_apps[obj->id] == obj)
            g_apps[obj->id] = nullptr;
        ++g_destroyed[obj->id];
    }
    delete reinterpret_cast<TestApp *>(obj);
    return 0;
}

int g_acked = 0;

int on_ack(int not_ok, void *, void *)
{
    g_acked = not_ok ? -1 : 1;
    return 0;
}

int ignore_message(int, const void *)
{
    return 0;
}

} // namespace

std::vector<int> created()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_created;
}

void note_created(int id)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_created.push_back(id);
}

int destroyed(int id)
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_destroyed[id];
}

app_object_t *test_app(int id)
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_apps[id];
}

app_object_t *make_test_app(int id)
{
    auto *app = new TestApp;
    EXPECT_EQ(app_object_init(&app->base, id), 0);
    app->base.on_destroy = test_app_destroy;
    note_created(id);
    std::lock_guard<std::mutex> g(g_lock);
    g_apps[id] = &app->base;
    return &app->base;
}

Env::Env()
{
    root.write_file("/mnt/data/operator/zel_log.ini", "[console]\n"
                                                      "type = stderr\n"
                                                      "color = false\n"
                                                      "level = debug\n"
                                                      "\n"
                                                      "[main]\n"
                                                      "appender = console\n"
                                                      "async = false\n"
                                                      "level = debug\n"
                                                      "format = level,tag\n"
                                                      "default = true\n");
    root.write_file("/proc/self/oom_score_adj", "");
    root.write_file("/proc/sys/vm/drop_caches", "");
    factory = std::make_unique<zeltest::FakeFactory>(root, zeltest::factory_image({{"model", "ZT-CAM1"}}));
    EXPECT_TRUE(factory->ok());
    setenv("ZELMAR_AGENT_SOCK", ("zeltest_app_" + std::to_string(getpid())).c_str(), 1);
    if (const char *old = getenv("TMPDIR")) {
        had_tmpdir_ = true;
        old_tmpdir_ = old;
    }
    const std::string children = root.dir() + "/children";
    EXPECT_EQ(mkdir(children.c_str(), 0755), 0);
    setenv("TMPDIR", children.c_str(), 1);
}

Env::~Env()
{
    if (had_tmpdir_)
        setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

std::unique_ptr<zeltest::ChildProcess> serve_factory(Env &env)
{
    env.factory.reset();
    unlink(env.root.path("/dev/mtdblock3").c_str());
    auto flash = std::make_unique<zeltest::ChildProcess>(
        zeltest::python_peer("factory_flash.py",
                             {env.root.path(""), "vendor=Halvorn", "model=ZT-CAM1", "mac=02:11:22:33:44:55",
                              "OOB=oob-0123456789", "qelt_i2c=/dev/i2c-1", "qelt_gpio=57", "hid=900202000001",
                              "did=424242"}),
        std::vector<std::string>{}, env.root.path("/tmp/flash.log"));
    const bool ready = zeltest::wait_until(
        [&] { return env.root.read_file("/tmp/flash.log").find("ready") == 0; }, std::chrono::seconds(10));
    EXPECT_TRUE(ready) << env.root.read_file("/tmp/flash.log");
    if (!ready)
        return nullptr;
    env.root.write_file("/etc/os-release", "NAME=\"Halvorn\"\nHALVORN_VERSION=2.4.1_0107\n");
    return flash;
}

bool send_dev_status(const std::string &value)
{
    const int fd = start_agent_client("apptest");
    if (fd < 0)
        return false;
    bool ok = false;
    for (int attempt = 0; attempt < 30 && !ok; ++attempt) {
        g_acked = 0;
        if (send_request_api(17, value.c_str(), on_ack, nullptr, 0, fd) != 0)
            break;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (g_acked == 0 && std::chrono::steady_clock::now() < until) {
            struct pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 50) > 0)
                message_recv_handler(fd, ignore_message);
        }
        ok = g_acked == 1;
        if (!ok) // nobody registered 17 yet (the manager may be in its 5 s reconnect wait)
            std::this_thread::sleep_until(until);
    }
    close(fd);
    return ok;
}

} // namespace apptest
