// The algorithm app object (app 8), its start and stop, and the power status. The app may be created
// again while the workers of an earlier start still run (the manager re-creates an absent or
// abnormal app): every worker, the detection library and the agent receive thread start only once.
#include "zel_algo.h"
#include "zel_algo_motion.h"
#include "zel_algo_state.h"
#include "zel_babycry.h"
#include "zel_ircut.h"

#include "zel_app_agent_loop.h"
#include "zel_app_assert.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_thread.h"
#include "zel_db/zel_db.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

app_object_t *g_zel_algo_mgr = nullptr;

namespace algo {

std::atomic<int> power_status{1};

namespace {

constexpr auto kDetectionDelay = std::chrono::seconds(10);

struct IrcutSyncRow {
    char key[128];
    zel_algo_text_setter_t setter;
};

const IrcutSyncRow ircut_sync_table[3] = {
    {"NVM.ALGO:full_color", sync_algo_fullcolor},
    {"NVM.ALGO:track_switch", sync_algo_track_switch},
    {"NVM.ALGO:night_mode", sync_algo_night_mode},
};

std::mutex g_power_lock; // one power change at a time, so the worker follows the last status stored
std::atomic<bool> g_detection_started{false};
std::atomic<bool> g_receiving{false};

void *zel_algo_thread_proc(void *)
{
    ZEL_LOGA(kTag, "timer invoke app destory");
    zel_algo_init();
    return nullptr;
}

void *receive_thread(void *arg)
{
    start_img_algo_recv_from_agent_thread(arg);
    g_receiving = false;
    return nullptr;
}

int zel_algo_destory(app_object_t *obj, int, int, int, int)
{
    ZEL_APP_ASSERT(g_zel_algo_mgr != NULL);
    ZEL_APP_ASSERT(obj != NULL);
    ZEL_LOGI(kTag, "destory");
    free(obj);
    if (g_zel_algo_mgr == obj)
        g_zel_algo_mgr = nullptr;
    return 0;
}

int zel_algo_user_event(app_object_t *obj, int, int, int, int)
{
    ZEL_LOGI(kTag, "destory");
    ZEL_APP_ASSERT(obj != NULL);
    return 0;
}

int ipc_zel_algo_init(app_object_t *obj)
{
    zel_thread_start_detached(zel_algo_thread_proc, nullptr);
    if (g_receiving.exchange(true))
        return 0; // the receive thread of an earlier creation serves on
    if (zel_thread_start_detached(receive_thread, nullptr) != 0) {
        g_receiving = false;
        ZEL_LOGE(kTag, "start_img_algo_recv_from_agent_thread err!");
        obj->invoke(obj, APP_CMD_DESTROY, 0, 0, 0);
        return -1;
    }
    return 0;
}

} // namespace

int power_state_exec_subfunc(int on)
{
    ZEL_LOGI(kTag, "exec %s ircut module\n", on ? "init" : "exit");
    int ret;
    if (on) {
        for (const IrcutSyncRow &row : ircut_sync_table) {
            if (!row.setter)
                continue;
            char value[128];
            memset(value, 0, sizeof value);
            zel_api_db_get_value(row.key, value, sizeof value);
            row.setter(value);
        }
        ret = zel_ircut_init();
    } else {
        ret = zel_ircut_exit();
    }
    ZEL_LOGD(kTag, "%s() ret:%d\n", __func__, ret);
    return ret;
}

} // namespace algo

using algo::kTag;

app_object_t *algo_app_create(int)
{
    app_object_t *obj = static_cast<app_object_t *>(calloc(1, sizeof(app_object_t)));
    ZEL_APP_ASSERT(obj != NULL);
    g_zel_algo_mgr = obj;
    if (app_object_init(obj, APP_ID_ALGO) != 0) {
        free(obj);
        g_zel_algo_mgr = nullptr;
        ZEL_LOGE(kTag, "app_object_init fail");
        ZEL_APP_ABORT();
    }
    obj->on_destroy = algo::zel_algo_destory;
    obj->user_event = algo::zel_algo_user_event;
    if (algo::ipc_zel_algo_init(obj) != 0)
        return nullptr;
    return obj;
}

int zel_algo_init(void)
{
    char power[128];
    memset(power, 0, sizeof power);
    zel_api_db_get_value("NVM.IPC:power", power, sizeof power);
    {
        std::lock_guard<std::mutex> g(algo::g_power_lock);
        if (strcmp(power, "1") != 0)
            algo::power_status = 0;
        else if (algo::power_state_exec_subfunc(1) != 0)
            return -1;
    }
    babycry_task_init();
    std::this_thread::sleep_for(algo::kDetectionDelay);
    ZEL_LOGI(kTag, "algo_kit init \n");
    motion_track_init();
    zel_algo_db_get_init();
    if (!algo::g_detection_started.exchange(true))
        zel_api_algo_init(zel_algo_trigger_event_send, motion_track_angle_config);
    return 0;
}

int zel_algo_finish(void)
{
    if (algo::g_detection_started.exchange(false))
        zel_api_algo_deinit();
    algo::power_state_exec_subfunc(0);
    motion_task_exit();
    babycry_task_deinit();
    return 0;
}

int get_power_status(void)
{
    return algo::power_status != 0 ? 1 : 0;
}

int set_zel_algo_power_status(int status)
{
    std::lock_guard<std::mutex> g(algo::g_power_lock);
    algo::power_status = status;
    if (status == 0)
        return algo::power_state_exec_subfunc(0);
    if (status == 1)
        return algo::power_state_exec_subfunc(1);
    return 0;
}

int zel_algo_set_motor_status(int status)
{
    const int32_t value = status;
    return zel_api_algo_set_param(ZEL_ALGO_PARAM_MOTOR_STATUS, &value, sizeof value);
}

int set_hack_light_info(int light_mode)
{
    return set_hack_light_mode(light_mode);
}
