// The business layer's start-up, run once on the thread that creates app 4: the state record with the
// alarm settings, the SDK with its logger, the property engine, the stream channels and the OTA module.
// Whatever cannot be had ends the process; there is no degraded start.
#include "zel_app_sdk/zel_tolk/zel_tolk.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "zel_app_agent_client/json_verify.h"
#include "zel_app_assert.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_ota.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_smart_care.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_timer.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk";
// Minutes of the alarm interval whose milliseconds still fit an s32.
constexpr long kMaxIntervalMinutes = 35791;

zel_tolk_info_t *g_zel_tolk_info = nullptr;

// The value of `key` in a cleared 256-byte buffer; false (with `message` logged when given) on failure.
bool read_key(const char *key, char (&value)[256], const char *message)
{
    memset(value, 0, sizeof value);
    if (zel_api_db_get_value(key, value, sizeof value) == 0)
        return true;
    if (message)
        ZEL_LOGE(TAG, "%s", message);
    return false;
}

void read_switch(const char *key, uint32_t *field, const char *message)
{
    char value[256];
    if (read_key(key, value, message))
        *field = value[0] == '1' ? 1 : 0;
}

// The phone stores the detection switches as objects {"switch":1,"start_time":...}; a plain value
// counts by its first character like every other switch.
void read_detection_switch(const char *key, uint32_t *field, const char *message)
{
    char value[256];
    if (!read_key(key, value, message))
        return;
    if (value[0] != '{') {
        *field = value[0] == '1' ? 1 : 0;
        return;
    }
    int on = 0;
    if (json_verify_get_int(value, "switch", &on) != 0)
        ZEL_LOGE(TAG, "%s holds no switch, taken as off", key);
    *field = on == 1 ? 1 : 0;
}

void read_time_text(const char *key, char (&field)[16])
{
    char value[256];
    if (read_key(key, value, nullptr))
        memcpy(field, value, sizeof field - 1);
}

void read_interval(zel_tolk_info_t *info)
{
    char value[256];
    if (!read_key("NVM.CLOUD:interval", value, " Get nvram cloud interval is null "))
        return;
    char *end = nullptr;
    const long minutes = strtol(value, &end, 10);
    // Past 35791 minutes (and below 0) the milliseconds wrap and would open the cloud gate at once.
    if (end == value || minutes < 0 || minutes > kMaxIntervalMinutes) {
        ZEL_LOGE(TAG, "NVM.CLOUD:interval \"%s\" is outside 0..%ld minutes, keeping %d ms", value,
                 kMaxIntervalMinutes, info->alarm_interval_ms);
        return;
    }
    info->alarm_interval_ms = static_cast<int32_t>(static_cast<int64_t>(minutes) * 60000);
}

} // namespace

zel_tolk_info_t *get_zel_tolk_info_pointer(void)
{
    return __atomic_load_n(&g_zel_tolk_info, __ATOMIC_ACQUIRE);
}

int get_device_alarm_configration(zel_tolk_info_t *info)
{
    if (!info) {
        ZEL_LOGE(TAG, " input param error  ");
        return -1;
    }
    uint32_t power = info->power;
    read_switch("NVM.IPC:power", &power, " Get nvram power is null ");
    __atomic_store_n(&info->power, power, __ATOMIC_RELEASE);
    read_switch("NVM.CLOUD:detect_swtich", &info->cloud_detect_switch, " Get nvram algo switch is null ");
    read_interval(info);
    read_detection_switch("NVM.ALGO:motion_detection", &info->motion_switch, " Get nvram md switch is null ");
    read_detection_switch("NVM.ALGO:human_detection", &info->people_switch, " Get nvram people switch is null ");
    read_switch("NVM.ALGO:loud_detection_enable", &info->loud_switch, " Get nvram loud switch is null ");
    read_switch("NVM.ALGO:pet_switch", &info->pet_switch, " Get nvram pet switch is null ");
    read_time_text("NVM.CLOUD:md_start_time", info->motion_start_time);
    read_time_text("NVM.CLOUD:md_end_time", info->motion_end_time);
    read_time_text("NVM.CLOUD:human_start_time", info->people_start_time);
    read_time_text("NVM.CLOUD:human_end_time", info->people_end_time);
    read_time_text("NVM.CLOUD:loud_start_time", info->loud_start_time);
    read_time_text("NVM.CLOUD:loud_end_time", info->loud_end_time);
    read_time_text("NVM.CLOUD:pet_start_time", info->pet_start_time);
    read_time_text("NVM.CLOUD:pet_end_time", info->pet_end_time);
    read_switch("NVM.ALARM:smart_care_switch", &info->smart_care_switch, " Get nvram smart care switch ");
    char mode[256];
    if (!read_key("NVM.ALARM:smart_care_mode", mode, " Get nvram smart care mode is null "))
        return 0;
    info->smart_care_mode = atoi(mode);
    return 0;
}

int check_cloud_file(void)
{
    const std::string dir = zel_path("/tmp/stream");
    DIR *d = opendir(dir.c_str());
    if (!d) {
        ZEL_LOGI(TAG, " opendir fail ...");
        return -1;
    }
    while (const dirent *entry = readdir(d)) {
        if (entry->d_name[0] == '.')
            continue;
        ZEL_LOGI(TAG, " remove d_name:%s", entry->d_name);
        const std::string path = dir + "/" + entry->d_name;
        if (remove(path.c_str()) != 0)
            ZEL_LOGE(TAG, "remove %s failed", path.c_str());
    }
    closedir(d);
    return 0;
}

zel_tolk_info_t *zel_tolk_sdk_init(void)
{
    auto *info = static_cast<zel_tolk_info_t *>(calloc(1, sizeof(zel_tolk_info_t)));
    if (!info) {
        ZEL_LOGE(TAG, "zel_tolk_info malloc fail");
        return nullptr;
    }
    info->alarm_interval_ms = 10000;
    info->power = 1;
    info->ignore_secs = 5;
    pthread_mutex_init(&info->mutex, nullptr);
    char bind[8];
    memset(bind, 0, sizeof bind);
    zel_api_db_get_value("NVM.IPC:bind_status", bind, 5);
    ZEL_LOGI(TAG, "bind_status:%s", bind);
    info->bind_ok = bind[0] == '1' ? 1 : 0;
    set_smart_care_clock_init();
    get_device_alarm_configration(info);
    // The media threads run already: they find the record complete or not at all.
    __atomic_store_n(&g_zel_tolk_info, info, __ATOMIC_RELEASE);
    int ret = zel_sdk_init();
    if (ret != 0) {
        ZEL_LOGE(TAG, "zel_sdk_init fail ret:%d", ret);
        return nullptr;
    }
    ret = zel_rpc_init();
    if (ret != 0) {
        ZEL_LOGE(TAG, "zel_rpc_init fail ret:%d", ret);
        return nullptr;
    }
    zel_tolk_create_timer_proc();
    ret = zel_tolk_stream_init();
    if (ret != 0) {
        ZEL_LOGE(TAG, "zel_tolk_stream_init fail ret:%d", ret);
        return nullptr;
    }
    ret = _zel_ota_init(0);
    if (ret != 0) {
        ZEL_LOGE(TAG, "_zel_ota_init fail ret:%d", ret);
        return nullptr;
    }
    return info;
}

zel_tolk_info_t *zel_tolk_init(void)
{
    ZEL_LOGI(TAG, " Start zel_tolk ...");
    check_cloud_file();
    zel_tolk_info_t *info = zel_tolk_sdk_init();
    if (!info) {
        ZEL_LOGA(TAG, "zel_tolk_sdk_init fail");
        ZEL_APP_ABORT();
    }
    ZEL_LOGI(TAG, " zel_tolk succ");
    return info;
}

int zel_tolk_deinit(void *)
{
    ZEL_LOGW(TAG, "zel_tolk exit.");
    return 0;
}
