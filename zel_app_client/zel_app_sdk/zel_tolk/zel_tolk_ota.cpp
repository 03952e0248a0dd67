// The app client's side of a firmware update: the SDK's OTA hooks, the start sequence, the idle
// test of automatic updates, and the install and reboot through the platform's OTA install library.
#include "zel_app_sdk/zel_tolk/zel_tolk_ota.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "app_sdk_porting/sdk_porting.h"
#include "app_sdk_porting/zel_tolk_clock.h"
#include "common/ko_porting_hooks.h"
#include "qv_ota.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_ota_test.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk_app";
constexpr int kMsgDevStatus = 17;
constexpr int kStageSize = 16 * 1024 * 1024;
constexpr int kStartValue = 300;
constexpr int kMaxPolls = 300;
constexpr uint64_t kIdleSeconds = 600;
constexpr const char *kPreOtaScript = "/mnt/data/bin/pre-ota.sh";

// What tests may change: the root certificate (empty: the product's) and the waits.
struct Seam {
    std::string root;
    int start_wait_ms = 12000;
    int poll_ms = 1000;
};

struct Update {
    std::atomic<void *> handle{nullptr};
    std::atomic<bool> pre_ota_done{false};
    std::atomic<bool> chunk_refused{false};
    std::atomic<bool> rebooted{false};
    // The install thread's end: 1 installed, -1 failed, 0 still running.
    std::atomic<int> install_result{0};

    std::mutex seam_lock;
    Seam seam;
};

Update &update()
{
    static Update u;
    return u;
}

void reboot(void *handle)
{
    update().rebooted.store(true);
    if (qv_ota_device_reboot(handle) == 0)
        ZEL_LOGE(TAG, "qv_ota_device_reboot ret:%d \n", 0);
}

Seam seam()
{
    Update &u = update();
    std::lock_guard<std::mutex> guard(u.seam_lock);
    return u.seam;
}

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Runs the pre-update script and waits for it.
void run_pre_ota()
{
    const std::string command = zel_path(kPreOtaScript);
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ZEL_LOGE(TAG, "popen error --- \n");
        return;
    }
    char sink[256];
    while (fread(sink, 1, sizeof sink, pipe) > 0) {
    }
    pclose(pipe);
}

void *install_thread(void *)
{
    Update &u = update();
    void *handle = u.handle.load();
    if (!handle) {
        ZEL_LOGE(TAG, "g_ota_info is null \n");
        u.install_result.store(-1);
        return nullptr;
    }
    char hid[17] = {};
    zel_api_db_get_value("ROM.hid", hid, 16);
    if (hid[0] == '\0') {
        // Without the factory id there is no image to choose: the device reboots as it is.
        ZEL_LOGE(TAG, "Device not have tac info, please write factory");
        u.install_result.store(-1);
        return nullptr;
    }
    const bool family = std::strncmp(hid, "900303", 6) == 0 || std::strncmp(hid, "900202", 6) == 0;
    const int rc = qv_ota_download_install(handle, family ? "900303" : hid);
    if (rc != 0)
        ZEL_LOGE(TAG, "qv_ota_download_install fail ret:%d", rc);
    u.install_result.store(rc == 0 ? 1 : -1);
    return nullptr;
}

// Polls the install once a poll interval until it ends, fails or times out: true when it completed.
bool follow_install()
{
    Update &u = update();
    for (int polls = 1;; ++polls) {
        sleep_ms(seam().poll_ms);
        int percent = 0;
        qv_ota_get_install_progress(&percent);
        if (percent > 50 && percent <= 100) {
            ZEL_LOGI(TAG, "zel_tolk ota progress is:%d \n", percent);
            _zel_ota_progress_report(percent);
        }
        if (percent == 100 && u.install_result.load() >= 0) {
            ZEL_LOGI(TAG, "zel_tolk ota progress is 100 \n");
            return true;
        }
        if (percent > 100 || u.install_result.load() < 0)
            return false;
        if (polls > kMaxPolls) {
            ZEL_LOGE(TAG, "zel_tolk ota timeout %d sec \n", polls);
            return false;
        }
    }
}

} // namespace

int zel_tolk_ota_operation_recent(uint64_t now, uint64_t last_op)
{
    return last_op > now || now - last_op < kIdleSeconds ? 1 : 0;
}

int zel_tolk_query_p2p_conn_info(void)
{
    ko_p2p_conn_info conn{};
    if (_zel_p2p_get_clients_conn_info(&conn) != 0) {
        ZEL_LOGE(TAG, "ko_p2p_get_clients_conn_info failed, could not excute auto ota \n");
        return -1;
    }
    if (conn.online > 0) {
        ZEL_LOGE(TAG, " current time have session online,online_clients:%d , could not excute auto ota \n",
                 conn.online);
        return -1;
    }
    const int64_t now = zel_tolk_wall_s();
    if (zel_tolk_ota_operation_recent(now > 0 ? static_cast<uint64_t>(now) : 0, conn.last_user_op)) {
        ZEL_LOGE(TAG, " current time could not excute auto ota, conn_client:%u,last_operation_ts:%lu\n",
                 static_cast<unsigned>(conn.online), static_cast<unsigned long>(conn.last_user_op));
        return -1;
    }
    cloud_buffer_info_t buffer{};
    if (_zel_cloud_query_buffer(&buffer) != 0) {
        ZEL_LOGE(TAG, " ko_cloud_query_buffer failed, could not excute auto ota\n");
        return -1;
    }
    if (buffer.count > 0) {
        ZEL_LOGE(TAG, "current time, cloud buffer , busy_files_cnt : %d , could not excute auto ota\n",
                 buffer.count);
        return -1;
    }
    ZEL_LOGI(TAG, " current time could excute auto ota, conn_client:%u,last_operation_ts:%lu,cloud_buffer:%d\n",
             static_cast<unsigned>(conn.online), static_cast<unsigned long>(conn.last_user_op), buffer.count);
    return 0;
}

int zel_tolk_ota_start(int automatic)
{
    Update &u = update();
    if (u.handle.load()) {
        ZEL_LOGE(TAG, "ota already init \n");
        return -1;
    }
    // The camera application releases its media and algorithm resources meanwhile.
    sdk_porting_report_message(kMsgDevStatus, automatic ? "start_auto_ota" : "start_ota", nullptr, nullptr);
    sleep_ms(seam().start_wait_ms);
    // From here on the application has let its media go for the update and knows no way back: a
    // start that fails reboots the device, as a failed download does.
    void *handle = qv_ota_init(kStageSize);
    if (!handle) {
        ZEL_LOGE(TAG, "qv_ota_init fail \n");
        reboot(nullptr);
        return -1;
    }
    u.handle.store(handle);
    ZEL_LOGI(TAG, "ota_init succ \n");
    _zel_logfiles_upload_deinit();
    _zel_local_storage_destroy(0);
    _zel_local_storage_deinit();
    _zel_cloud_deinit();
    _zel_p2p_deinit();
    const std::string test_root = seam().root;
    const std::string root = test_root.empty() ? std::string(lumo_dorvi_root_cert) : test_root;
    const ko_ota_start_param param{root.c_str(), static_cast<int>(root.size()), kStartValue};
    const int ret = _zel_ota_start(&param);
    if (ret != 0) {
        ZEL_LOGE(TAG, "ko_ota_start fail ret:%d \n", ret);
        reboot(handle);
    }
    return ret;
}

int _zel_ota_init(int arg)
{
    return ko_ota_init(arg);
}

extern "C" int ko_ota_onstat(unsigned status)
{
    ZEL_LOGI(TAG, " recv ota status %d\n", static_cast<int>(status));
    int ret = 0;
    switch (status) {
    case 1:
        ret = zel_tolk_ota_start(0);
        break;
    case 2:
    case 3:
        if (zel_tolk_query_p2p_conn_info() != 0) {
            ZEL_LOGE(TAG, "#########  abort auto ota\n");
            _zel_ota_abort();
            return 0;
        }
        ret = zel_tolk_ota_start(1);
        break;
    case 4:
        ZEL_LOGI(TAG, " ota status is download \n");
        return 0;
    case 5:
        ZEL_LOGI(TAG, " ota status is install \n");
        return 0;
    case 6:
        if (void *handle = update().handle.load()) {
            // The install already ended in a reboot when it got that far.
            if (!update().rebooted.load())
                reboot(handle);
        } else {
            ZEL_LOGE(TAG, "g_ota_info is null \n");
        }
        return 0;
    default:
        ZEL_LOGE(TAG, "unknown status %d\n", static_cast<int>(status));
        return 0;
    }
    if (ret != 0) {
        // The service would otherwise ask again every second and refuse every later request as busy.
        ZEL_LOGE(TAG, " zel_tolk_ota_start ret:%d \n", ret);
        _zel_ota_abort();
    }
    return 0;
}

extern "C" int ko_ota_ondata(const void *data, int len)
{
    Update &u = update();
    void *handle = u.handle.load();
    if (!handle || !data || len <= 0) {
        ZEL_LOGE(TAG, "ota image data is null \n");
        return -1;
    }
    if (!u.pre_ota_done.exchange(true)) {
        run_pre_ota();
        ZEL_LOGI(TAG, "device ota start download update pack ...");
    }
    const int ret = qv_ota_download_ing(handle, data, len);
    if (ret == 0) {
        // A missing chunk leaves an incomplete image: it must never be installed.
        ZEL_LOGE(TAG, "qv_ota_download_ing fail ret:%d \n", ret);
        u.chunk_refused.store(true);
        return -1;
    }
    return 0;
}

extern "C" int ko_ota_write_image(int, int, int)
{
    Update &u = update();
    void *handle = u.handle.load();
    if (!handle) {
        ZEL_LOGE(TAG, "g_ota_info is null \n");
        return -1;
    }
    if (u.chunk_refused.load()) {
        ZEL_LOGE(TAG, "ota image incomplete, not installed \n");
        return -1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    u.install_result.store(0);
    const int created = pthread_create(&thread, &attr, install_thread, nullptr);
    pthread_attr_destroy(&attr);
    if (created != 0) {
        ZEL_LOGE(TAG, "Create zel_tolk ota thread fail.");
        reboot(handle);
        return -1;
    }
    pthread_setname_np(thread, "zel_tolk_ota_thread");
    ZEL_LOGI(TAG, " ko_ota_write_image start \n");
    const bool installed = follow_install();
    update().rebooted.store(true);
    if (qv_ota_device_reboot(handle) == 0) {
        ZEL_LOGE(TAG, "qv_ota_device_reboot ret:%d \n", 0);
        return -1;
    }
    return installed ? 0 : -1;
}

void zel_tolk_ota_test_set(const std::string &root, int start_wait_ms, int poll_ms)
{
    Update &u = update();
    std::lock_guard<std::mutex> guard(u.seam_lock);
    u.seam = Seam{};
    u.seam.root = root;
    if (start_wait_ms > 0)
        u.seam.start_wait_ms = start_wait_ms;
    if (poll_ms > 0)
        u.seam.poll_ms = poll_ms;
}

void zel_tolk_ota_test_reset()
{
    Update &u = update();
    u.handle.store(nullptr);
    u.pre_ota_done.store(false);
    u.chunk_refused.store(false);
    u.rebooted.store(false);
    u.install_result.store(0);
}
