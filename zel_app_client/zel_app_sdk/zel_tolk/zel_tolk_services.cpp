// The services that need a correct clock, started once by the timer thread at the first valid server
// time: P2P, SD recording, cloud recording and upload, and log upload; and the callbacks those
// services call back with.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zelmar/zel_shell.h"
#include "zel_app_assert.h"
#include "zel_app_sdk/zel_tolk/zel_tolk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer_state.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_system.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk_timer";
constexpr const char *kMountPoint = "/mnt/sdcard";
// The recorder refuses a card smaller than this.
constexpr uint64_t kMinCardBytes = 1ull << KO_STORAGE_MIN_BYTES_SHIFT;
constexpr uint64_t kReservedBytes = 268435456;
constexpr int kVideoChannel = 0;
constexpr int kAudioChannel = 4;
constexpr uint32_t kCloudBufferBytes = 2097152;
enum { kStorageNotFormatted = 8, kStorageRemountReadOnly = 12 };

// The value of `key` in a cleared buffer: true when it could be read.
template <size_t N> bool read_key(const char *key, char (&value)[N])
{
    memset(value, 0, N);
    return zel_api_db_get_value(key, value, static_cast<int>(N)) == 0;
}

// "NVM.IPC:power" as a number, -1 when it cannot be read (logged when `message` is given).
int power_setting(const char *message)
{
    char value[8];
    if (!read_key("NVM.IPC:power", value)) {
        if (message)
            ZEL_LOGE(TAG, "%s", message);
        return -1;
    }
    return atoi(value);
}

bool device_file_exists(const char *path)
{
    return access(zel_path(path).c_str(), F_OK) == 0;
}

int zel_tolk_get_alarm_config(cloud_alarm_config_t *config)
{
    if (!config) {
        ZEL_LOGE(TAG, " param is null ");
        return -1;
    }
    *config = cloud_alarm_config_t{};
    return get_current_alarm_config(config);
}

} // namespace

int zel_tolk_sdk_start(void)
{
    ZEL_LOGI(TAG, " zel_tolk_sdk_start enter ");
    int ret = zel_tolk_p2p_init();
    if (ret != 0) {
        ZEL_LOGA(TAG, " zel_tolk_p2p_init fail ret:%d", ret);
        ZEL_APP_ABORT();
    }
    zel_tolk_init_storage();
    zel_tolk_init_cloud();
    ret = _zel_logfiles_upload_init(zel_tolk_logfiles_cb);
    if (ret != 0) {
        ZEL_LOGA(TAG, " _zel_logfiles_upload_init fail ret:%d", ret);
        ZEL_APP_ABORT();
    }
    ret = _zel_nas_init();
    if (ret != 0)
        ZEL_LOGE(TAG, " _zel_nas_init fail ret:%d", ret);
    ZEL_LOGI(TAG, " zel_tolk_sdk_start end ");
    return 0;
}

int zel_tolk_init_storage(void)
{
    zel_tolk_timer_state &m = zel_tolk_timer_module();
    std::lock_guard<std::mutex> guard(m.storage_lock);
    ZEL_LOGI(TAG, "tolk_storage init start ");
    if (!m.storage_started) {
        int ret = _zel_local_storage_init(kMountPoint, 1, kMinCardBytes, 0, kReservedBytes, 0, zel_tolk_storage_status_callback);
        if (ret >= 0)
            ret = _zel_local_storage_create(kVideoChannel, kAudioChannel);
        if (ret < 0)
            ZEL_LOGE(TAG, " ko_local_storage_init_v2 error! ");
        else
            m.storage_started = 1;
    }
    if (power_setting(" can't get KEY_NVM_IPC_POWER value ") != 1) {
        ZEL_LOGI(TAG, " power mode if off , no need to init_storage ");
        return 0;
    }
    char mode[16];
    const int value = read_key("NVM.SD:storage_mode", mode) ? atoi(mode) : 0;
    _zel_local_storage_set_mode(kVideoChannel, value);
    return 0;
}

void zel_tolk_storage_status_callback(int status)
{
    ZEL_LOGI(TAG, "storage status change to %d", status);
    if (status == kStorageNotFormatted) {
        ZEL_LOGI(TAG, "STORAGE_STATUS_NOT_FORMAT ");
        set_sdcard_cmd();
    } else if (status == kStorageRemountReadOnly) {
        const std::string command = "mount -o remount,ro " + zel_shell_path("/mnt/sdcard/");
        run_cmd(command.c_str(), nullptr, 0);
    }
}

int zel_tolk_init_cloud(void)
{
    cloud_init_param_t param{};
    snprintf(param.dir, sizeof param.dir, "%s", "/tmp/stream");
    param.check_people_motion = 1;
    param.check_face = 1;
    param.video_channel = kVideoChannel;
    param.audio_channel = kAudioChannel;
    param.buffer_size = kCloudBufferBytes;
    param.auto_switch = 1;
    if (_zel_cloud_init(&param) != 0) {
        ZEL_LOGE(TAG, " _zel_cloud_init error! ");
        return -1;
    }
    ZEL_LOGI(TAG, " _zel_cloud_init success! ");
    zel_tolk_init_alarm_config();
    const int power = power_setting(nullptr);
    if (power == 1) {
        _zel_cloud_set_upload_switch(1);
        ZEL_LOGI(TAG, " Current power is on,open cloud ");
    } else if (power == 0) {
        _zel_cloud_set_upload_switch(0);
        ZEL_LOGI(TAG, " Current power is of,close cloud ");
    }
    return 0;
}

int zel_tolk_init_alarm_config(void)
{
    cloud_alarm_config_t config{};
    zel_tolk_get_alarm_config(&config);
    ZEL_LOGI(TAG, "current params : [%d %d %d %02d:%02d:%02d %02d:%02d:%02d] ", static_cast<int>(config.schedule_on),
             config.interval, static_cast<int>(config.record_seconds), config.start_hour, config.start_minute,
             config.start_second, config.end_hour, config.end_minute, config.end_second);
    if (_zel_cloud_alarm_config_set(&config) != 0) {
        ZEL_LOGE(TAG, " _zel_cloud_alarm_config_set error! ");
        return -1;
    }
    ZEL_LOGI(TAG, "ko_alarm_config_set success! ");
    return 0;
}

int zel_tolk_logfiles_cb(char *list, unsigned max_files, unsigned force)
{
    ZEL_LOGI(TAG, " callback_logfiles ,file_max_num=%d ,force=%d ", static_cast<int>(max_files),
             static_cast<int>(force));
    if (!list)
        return 0;
    unsigned count = 0;
    auto add = [&](const char *path) {
        if (count >= max_files || !device_file_exists(path))
            return false;
        snprintf(list + static_cast<size_t>(count) * KO_LOGFILES_ENTRY_SIZE, KO_LOGFILES_ENTRY_SIZE, "%s", path);
        ++count;
        return true;
    };
    if (force) {
        add("/tmp/messages.0");
        add("/tmp/tolk_log.txt");
    } else {
        if (!add("/tmp/tolk_log_ready.txt"))
            add("/tmp/tolk_log_backup.txt");
        add("/tmp/messages.0");
    }
    return static_cast<int>(count);
}
