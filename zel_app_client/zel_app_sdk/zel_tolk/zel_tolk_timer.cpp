// The timer thread "zel_tolk_timer_schedule_thread": a libev loop of its own with one 5-second timer
// and a stop watcher, and the steps of each tick.
#include "zel_app_sdk/zel_tolk/zel_tolk_timer.h"

#include <ev.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>
#include <thread>

#include "app_sdk_porting/sdk_porting.h"
#include "app_sdk_porting/zel_tolk_clock.h"
#include "zel_app_assert.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_smart_care.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer_state.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer_test.h"
#include "zel_control/log/zel_log.h"
#include "zel_sysclock.h"

namespace {

constexpr const char *TAG = "zel_tolk_timer";
constexpr int kMsgCloudStatus = 17;
// The server time counts from here on; the local clock is valid once past the end of 2018 (UTC+8).
constexpr uint32_t kLastInvalidServerTime = 1546272000;
constexpr int64_t kLastInvalidClockS = 1546271999;
constexpr uint32_t kSyncEveryTicks = 360;     // 30 minutes while bound
constexpr uint32_t kSdReportEveryTicks = 120000;
constexpr uint32_t kPeriodTaskEveryTicks = 6; // 30 s
constexpr const char *kLogBackup = "/tmp/tolk_log_backup.txt";

std::atomic<bool> g_thread_enabled{true};
std::atomic<int64_t> g_period_ms{5000};
std::atomic<int> g_running{0};

// Guards the published loop and stop watcher against the thread tearing them down.
pthread_mutex_t g_loop_lock = PTHREAD_MUTEX_INITIALIZER;

struct Watchers {
    ev_timer timer;
    ev_async async;
};

void publish(zel_tolk_info_t *info, struct ev_loop *loop, Watchers *w)
{
    pthread_mutex_lock(&g_loop_lock);
    info->loop = loop;
    info->status_async = w ? &w->async : nullptr;
    info->net_status_timer = w ? &w->timer : nullptr;
    pthread_mutex_unlock(&g_loop_lock);
}

void zel_tolk_media_async_cb(struct ev_loop *loop, ev_async *, int)
{
    ZEL_LOGD(TAG, " enter  ");
    ev_break(loop, EVBREAK_ALL);
}

void run_loop(zel_tolk_info_t *info)
{
    struct ev_loop *loop = ev_loop_new(0);
    if (!loop) {
        ZEL_LOGE(TAG, " ev loop fail ");
        return;
    }
    auto w = std::make_unique<Watchers>();
    const double period = static_cast<double>(g_period_ms.load()) / 1000.0;
    ev_timer_init(&w->timer, zel_tolk_net_status_timer_cb, period, period);
    ev_timer_start(loop, &w->timer);
    ev_async_init(&w->async, zel_tolk_media_async_cb);
    ev_async_start(loop, &w->async);
    publish(info, loop, w.get());
    ev_run(loop, 0);
    publish(info, nullptr, nullptr);
    if (ev_is_active(&w->timer))
        ev_timer_stop(loop, &w->timer);
    else
        ZEL_LOGI(TAG, "net_status_timer is not active");
    if (ev_is_active(&w->async))
        ev_async_stop(loop, &w->async);
    else
        ZEL_LOGI(TAG, "status_async is not active");
    ev_loop_destroy(loop);
}

void *zel_tolk_timer_schedule_thread(void *)
{
    prctl(PR_SET_NAME, "zel_tolk_timer_schedule_thread");
    ZEL_LOGD(TAG, "zel_tolk_timer_schedule_thread start");
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!info) {
        ZEL_LOGE(TAG, " zel_tolk_info is NULL ");
        return nullptr;
    }
    ++g_running;
    run_loop(info);
    --g_running;
    ZEL_LOGI(TAG, "zel tolk  timer thread exit ....");
    return nullptr;
}

void set_system_clock(uint32_t server)
{
    ZEL_LOGI(TAG, " get server timestamp=%lu ", static_cast<unsigned long>(server));
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(server);
    tv.tv_usec = 500000;
    if (zel_sysclock_set(&tv) != 0) {
        ZEL_LOGE(TAG, "set system time failed: %s", strerror(errno));
        return;
    }
    const time_t now = tv.tv_sec;
    struct tm local {};
    char text[32] = {};
    localtime_r(&now, &local);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    ZEL_LOGI(TAG, "get server timestamp : %s ", text);
}

void zel_tolk_sync_server_time(int bound)
{
    zel_tolk_timer_state &m = zel_tolk_timer_module();
    const uint32_t ticks = ++m.sync_ticks;
    uint32_t server = 0;
    if (_zel_sdk_get_server_time(&server) != 0 || server <= kLastInvalidServerTime)
        return;
    if (!bound || ticks % kSyncEveryTicks == 0 || zel_tolk_wall_s() <= kLastInvalidClockS)
        set_system_clock(server);
    if (m.services_pending.exchange(0) != 0) {
        const int ret = zel_tolk_sdk_start();
        if (ret != 0) {
            ZEL_LOGA(TAG, " zel_tolk_sdk_start fail ret:%d", ret);
            ZEL_APP_ABORT();
        }
    }
}

int _check_device_network_status(void)
{
    device_sdk_info_t *device = get_device_info_pointer();
    if (!device) {
        ZEL_LOGE(TAG, "struct dev info is NULL ");
        return -1;
    }
    int bound = 0;
    const int ret = _get_bind_status(&bound);
    if (ret != 0) {
        ZEL_LOGE(TAG, "_get_bind_status fail ret:%d", ret);
        return -1;
    }
    zel_tolk_sync_server_time(bound);
    if (zel_tolk_wall_s() <= kLastInvalidClockS) {
        ZEL_LOGW(TAG, " time is err, wait for correct time");
        return 0;
    }
    zel_tolk_timer_state &m = zel_tolk_timer_module();
    if (__atomic_load_n(&device->cloud_connected, __ATOMIC_ACQUIRE) == 0) {
        ZEL_LOGI(TAG, " server_status is offline ");
        sdk_porting_push_cloud_connecting();
        m.online_reported = 0;
        return 0;
    }
    if (m.online_reported)
        return 0;
    ZEL_LOGI(TAG, " server_status is online ");
    const int sent = sdk_porting_report_message(kMsgCloudStatus, "cloud_connected", nullptr, nullptr);
    if (!bound) {
        sdk_porting_push_bind_ok(0, 0);
        _set_bind_status_ok();
    }
    // The status app marks a camera being paired bound on this message: unsent, it goes again.
    if (sent != 0) {
        ZEL_LOGE(TAG, " cloud_connected not sent, ret:%d, again at the next tick ", sent);
        return 0;
    }
    m.online_reported = 1;
    return 0;
}

int zel_tolk_get_log_status(void)
{
    if (ko_log_file_status_get() == 1) {
        const int ret = ko_log_file_safety_backup(kLogBackup);
        if (ret != 0)
            ZEL_LOGE(TAG, "ko_log_file_safety_backup fail, ret = %d", ret);
    }
    return 0;
}

void _check_report_sdcard_status(void)
{
    if (zel_tolk_timer_module().sdcard_ticks++ % kSdReportEveryTicks != 0)
        return;
    if (zel_tolk_wall_s() <= kLastInvalidClockS) {
        ZEL_LOGW(TAG, " time is err, wait for correct time");
        return;
    }
    int status = get_device_sdcard_status();
    if (status == -1)
        status = 1;
    char text[12];
    const int n = snprintf(text, sizeof text, "%d", status);
    set_rpc_properties_change("sdcard_status", text, n);
}

} // namespace

void zel_tolk_net_status_timer_cb(struct ev_loop *, struct ev_timer *, int)
{
    _check_device_network_status();
    zel_tolk_get_log_status();
    if (++zel_tolk_timer_module().period_ticks % kPeriodTaskEveryTicks == 0)
        _check_device_period_task();
    _check_report_sdcard_status();
}

int zel_tolk_create_timer_proc(void)
{
    if (!g_thread_enabled.load())
        return 0;
    try {
        std::thread(zel_tolk_timer_schedule_thread, nullptr).detach();
    } catch (const std::system_error &) {
        ZEL_LOGE(TAG, "Create zel_tolk_timer_schedule_thread fail.");
        return -1;
    }
    return 0;
}

void zel_tolk_media_evloop_stop(void)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!info)
        return;
    pthread_mutex_lock(&g_loop_lock);
    if (info->loop && info->status_async)
        ev_async_send(static_cast<struct ev_loop *>(info->loop), static_cast<ev_async *>(info->status_async));
    pthread_mutex_unlock(&g_loop_lock);
}

void send_exit_signal(void)
{
    zel_tolk_media_evloop_stop();
}

zel_tolk_timer_state &zel_tolk_timer_module(void)
{
    static zel_tolk_timer_state state;
    return state;
}

void zel_tolk_timer_test_enable_thread(int enabled)
{
    g_thread_enabled = enabled != 0;
}

void zel_tolk_timer_test_set_period(double seconds)
{
    g_period_ms = static_cast<int64_t>(seconds * 1000.0);
}

void zel_tolk_timer_test_reset(void)
{
    zel_tolk_timer_state &m = zel_tolk_timer_module();
    m.services_pending = 1;
    m.sync_ticks = 0;
    m.sdcard_ticks = 0;
    m.period_ticks = 0;
    m.online_reported = 0;
    std::lock_guard<std::mutex> guard(m.storage_lock);
    m.storage_started = 0;
}

int zel_tolk_timer_test_running(void)
{
    return g_running.load();
}
