// The status app object (app 7), the status record's life, the state words and the state thread that
// runs the current state's enter function every 500 ms.
#include "zel_status_internal.h"
#include "zel_status_test.h"

#include "zel_app_assert.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_peripheral.h"

#include <sys/prctl.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

namespace status {

std::mutex g_life;
ipc_status_info *g_info = nullptr;
std::mutex g_init_lock;
int g_cloud_connected = 0;

namespace {

constexpr auto kStatePoll = std::chrono::milliseconds(500);

app_object_t *g_status_mgr = nullptr;
std::atomic<double> g_time_scale{1.0};
std::atomic<bool> g_hold_states{false};

// The state thread: joined by zel_status_deinit; the stop flag wakes it from its pause at once.
struct StateThread {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};
StateThread g_state_thread;

void status_handler_thread()
{
    ZEL_LOGI(kTag, "[%s][%d]Enter status_handler_thread", __func__, __LINE__);
    // The kernel keeps the first 15 characters of a thread name.
    if (prctl(PR_SET_NAME, "status_handler_thread") != 0)
        fprintf(stderr, "prctl setname failed\n");
    std::unique_lock<std::mutex> hold(g_state_thread.lock);
    while (!g_state_thread.stop) {
        hold.unlock();
        // The state thread is joined before the record is freed: it reads the record without g_life.
        const int state = g_info->current.load();
        const enter_fn enter = state_enter(state);
        if (enter && !g_hold_states)
            enter();
        hold.lock();
        g_state_thread.wake.wait_for(hold, kStatePoll, [] { return g_state_thread.stop; });
    }
}

int zel_start_status_handler()
{
    {
        std::lock_guard<std::mutex> hold(g_state_thread.lock);
        g_state_thread.stop = false;
    }
    try {
        g_state_thread.thread = std::thread(status_handler_thread);
    } catch (const std::system_error &e) {
        ZEL_LOGE(kTag, "%s %s(),pthread_create error: %d\n", kName, __func__, e.code().value());
        return -1;
    }
    start_agent();
    return 0;
}

bool power_on()
{
    char power[8];
    memset(power, 0, sizeof power);
    zel_api_db_get_value("NVM.IPC:power", power, sizeof power);
    return atoi(power) != 0;
}

int status_user_event(app_object_t *app_object, int, int, int, int)
{
    ZEL_LOGI(kTag, "destory");
    ZEL_APP_ASSERT(app_object != NULL);
    return 0;
}

int status_destory(app_object_t *app_object, int, int, int, int)
{
    ZEL_APP_ASSERT(g_status_mgr != NULL);
    ZEL_APP_ASSERT(app_object != NULL);
    ZEL_LOGI(kTag, "destory");
    free(app_object);
    g_status_mgr = nullptr;
    return 0;
}

} // namespace

double time_scale()
{
    return g_time_scale;
}

std::chrono::milliseconds scaled(double seconds)
{
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000 * g_time_scale));
}

void return_to_state(int state)
{
    std::lock_guard<std::mutex> life(g_life);
    if (!g_info)
        return;
    std::lock_guard<std::mutex> hold(g_info->lock);
    ZEL_LOGI(kTag, "%s cur state %d return to %d", kName, g_info->current.load(), state);
    g_info->previous = g_info->current.load();
    g_info->current = state;
}

bool if_already_bind()
{
    char bind_status[128];
    memset(bind_status, 0, sizeof bind_status);
    zel_api_db_get_value("NVM.IPC:bind_status", bind_status, sizeof bind_status);
    ZEL_LOGI(kTag, "%s cur bind state: %s", kName, bind_status);
    return strcmp(bind_status, "1") == 0;
}

} // namespace status

using namespace status;

app_object_t *status_app_create(int)
{
    g_status_mgr = static_cast<app_object_t *>(calloc(1, sizeof(app_object_t)));
    ZEL_APP_ASSERT(g_status_mgr != NULL);
    if (app_object_init(g_status_mgr, APP_ID_STATUS) != 0) {
        free(g_status_mgr);
        g_status_mgr = nullptr;
        ZEL_LOGE(kTag, "app_object_init fail");
        ZEL_APP_ABORT();
    }
    g_status_mgr->on_destroy = status_destory;
    g_status_mgr->user_event = status_user_event;
    zel_status_init();
    return g_status_mgr;
}

int zel_status_init(void)
{
    std::lock_guard<std::mutex> init(g_init_lock);
    {
        std::lock_guard<std::mutex> life(g_life);
        if (g_info) {
            ZEL_LOGE(kTag, "%s status runs already", kName);
            return -1;
        }
        g_info = new (std::nothrow) ipc_status_info;
        if (!g_info) {
            ZEL_LOGE(kTag, "Can't alloc ipc_status info.\n");
            return -1;
        }
        memset(g_info->timers, 0, sizeof g_info->timers);
    }
    zel_start_status_handler();
    zel_api_key_funcb_set(0, key_event_reset_cb);
    int first = STATUS_INIT;
    if (if_already_bind()) {
        if (power_on())
            first = g_cloud_connected == 1 ? STATUS_CLOUD_CONNECTED : STATUS_CLOUD_CONNECTING;
        else
            first = STATUS_SLEEP;
    }
    zel_ipc_state_set(first);
    return 0;
}

int zel_status_deinit(void)
{
    ZEL_LOGD(kTag, "%s enter %s()\n", kName, __func__);
    {
        std::lock_guard<std::mutex> hold(g_state_thread.lock);
        g_state_thread.stop = true;
    }
    g_state_thread.wake.notify_all();
    if (g_state_thread.thread.joinable())
        g_state_thread.thread.join();
    {
        std::lock_guard<std::mutex> life(g_life);
        if (!g_info)
            return 0;
        g_info->closing = true;
    }
    stop_all_timers();
    ipc_status_info *info;
    {
        std::lock_guard<std::mutex> life(g_life);
        info = g_info;
        g_info = nullptr;
    }
    delete info;
    ZEL_LOGD(kTag, "%s exit %s()\n", kName, __func__);
    return 0;
}

int zel_ipc_state_set(int state)
{
    std::lock_guard<std::mutex> life(g_life);
    if (!g_info)
        return 0;
    std::lock_guard<std::mutex> hold(g_info->lock);
    const int current = g_info->current;
    if (current == STATUS_RESETTING || current == STATUS_RESTARTING || current == STATUS_OTA) {
        ZEL_LOGI(kTag, "%s cur state %d ,high priority, and do not change to %d", kName, current, state);
        return 0;
    }
    if (current == state)
        return 0;
    ZEL_LOGI(kTag, "%s cur state %d change to %d", kName, current, state);
    g_info->previous = current;
    g_info->current = state;
    return 1;
}

int zel_ipc_state_get(void)
{
    std::lock_guard<std::mutex> life(g_life);
    return g_info ? g_info->current.load() : -1;
}

void key_event_reset_cb(int, int)
{
    ZEL_LOGW(kTag, "reset key down =================== ");
    zel_ipc_state_set(STATUS_RESETTING);
}

void zel_status_test_set_time_scale(double factor)
{
    g_time_scale = factor > 0 ? factor : 1.0;
}

void zel_status_test_hold_states(bool hold)
{
    g_hold_states = hold;
}

void zel_status_test_set_state(int state)
{
    return_to_state(state);
}
