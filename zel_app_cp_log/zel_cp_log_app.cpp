// The log-copy app object (app 9) and its agent-bus module "ZEL_LOG". The app may be created again:
// the copy thread and the receive thread start only once.
#include "zel_cp_log.h"
#include "zel_cp_log_state.h"

#include "zel_app_agent_loop.h"
#include "zel_app_assert.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_thread.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

app_object_t *g_cp_log_mgr = nullptr;

using cplog::kTag;

namespace {

enum {
    kKeySdcardStatus = 15,
    kKeySdcardFormat = 16,
    kKeyDevStatus = 17,
    kKeySdcardUnmount = 39,
};

constexpr auto kOtaPeriod = std::chrono::seconds(3);

const int kKeys[] = {kKeySdcardStatus, kKeySdcardFormat, kKeyDevStatus, kKeySdcardUnmount};
app_agent_module_t g_module = {kTag, "cp_log", kKeys, 4, handle_cp_log_message, nullptr, -1, nullptr};

std::atomic<bool> g_receiving{false};

void *cp_log_thread_proc(void *)
{
    ZEL_LOGA(kTag, "timer invoke app destory");
    cp_log_init();
    return nullptr;
}

void *receive_thread(void *arg)
{
    start_cp_log_recv_from_agent_thread(arg);
    g_receiving = false;
    return nullptr;
}

int cp_log_destory(app_object_t *obj, int, int, int, int)
{
    ZEL_APP_ASSERT(g_cp_log_mgr != NULL);
    ZEL_APP_ASSERT(obj != NULL);
    ZEL_LOGI(kTag, "destory");
    free(obj);
    if (g_cp_log_mgr == obj)
        g_cp_log_mgr = nullptr;
    return 0;
}

int cp_log_user_event(app_object_t *obj, int, int, int, int)
{
    ZEL_LOGI(kTag, "destory");
    ZEL_APP_ASSERT(obj != NULL);
    return 0;
}

int ipc_cp_log_init(app_object_t *obj)
{
    zel_thread_start_detached(cp_log_thread_proc, nullptr);
    if (g_receiving.exchange(true))
        return 0; // the receive thread of an earlier creation serves on
    if (zel_thread_start_detached(receive_thread, nullptr) != 0) {
        g_receiving = false;
        ZEL_LOGE(kTag, "start_cp_log_recv_from_agent_thread err!");
        obj->invoke(obj, APP_CMD_DESTROY, 0, 0, 0);
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

app_object_t *cp_log_app_create(int)
{
    app_object_t *obj = static_cast<app_object_t *>(calloc(1, sizeof(app_object_t)));
    g_cp_log_mgr = obj;
    ZEL_APP_ASSERT(g_cp_log_mgr != NULL);
    if (app_object_init(obj, APP_ID_CP_LOG) != 0) {
        free(obj);
        g_cp_log_mgr = nullptr;
        ZEL_LOGE(kTag, "app_object_init fail");
        ZEL_APP_ABORT();
    }
    obj->on_destroy = cp_log_destory;
    obj->user_event = cp_log_user_event;
    if (ipc_cp_log_init(obj) != 0)
        return nullptr;
    return obj;
}

int handle_cp_log_message(int cmd, const void *param)
{
    ZEL_LOGI(kTag, "cp_log app,recv cmd=%d", cmd);
    switch (cmd) {
    case kKeySdcardStatus:
        if (param && *static_cast<const int32_t *>(param) == 0)
            cplog::set_formatting(false);
        break;
    case kKeySdcardFormat:
    case kKeySdcardUnmount:
        cplog::set_formatting(true);
        break;
    case kKeyDevStatus:
        if (param && strncmp(static_cast<const char *>(param), "start_ota", 9) == 0)
            cplog::set_period(kOtaPeriod);
        break;
    default:
        break;
    }
    return 0;
}

void *start_cp_log_recv_from_agent_thread(void *)
{
    pthread_setname_np(pthread_self(), kTag);
    ZEL_LOGI(kTag, "start_cp_log_recv_from_agent_thread start");
    app_agent_recv_loop(&g_module);
    return nullptr;
}

} // extern "C"
