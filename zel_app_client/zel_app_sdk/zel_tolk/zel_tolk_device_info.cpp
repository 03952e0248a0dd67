// The device information: the SDK's start parameters from the factory keys, its logger parameters,
// the firmware version, and the SDK's status and Wi-Fi result as the business layer keeps them.
#include "zel_app_sdk/zel_tolk/zel_tolk.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "zel_app_assert.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk";

device_sdk_info_t *g_device_info = nullptr;

// A factory key into its start-parameter field; the process ends without it.
template <size_t N> void factory_key(const char *key, char (&field)[N], const char *message)
{
    memset(field, 0, N);
    if (zel_api_db_get_value(key, field, static_cast<int>(N)) != 0) {
        ZEL_LOGA(TAG, "%s", message);
        ZEL_APP_ABORT();
    }
}

template <size_t N> void copy_text(char (&field)[N], const char *text)
{
    strncpy(field, text, N - 1);
    field[N - 1] = '\0';
}

void fill_sdk_param(ko_ipc_sdk_param *p)
{
    p->chip_type = 0;
    factory_key("ROM.qelt_i2c", p->qelt_i2c, " zel_db get KEY_ROM_QELT_I2C_PORT fail");
    factory_key("ROM.qelt_gpio", p->qelt_gpio, " zel_db get KEY_ROM_QELT_GPIO fail");
    factory_key("ROM.OOB", p->oob, " zel_db get KEY_ROM_OOB fail");
    factory_key("ROM.vendor", p->vendor, " zel_db get KEY_ROM_VENDOR fail");
    factory_key("ROM.model", p->model, " zel_db get KEY_ROM_MODEL fail");
    if (get_firmware_version(p->fw_ver, sizeof p->fw_ver) != 0) {
        ZEL_LOGA(TAG, " get_firmware_version fail");
        ZEL_APP_ABORT();
    }
    memset(p->country, 0, sizeof p->country);
    factory_key("ROM.mac", p->mac, " zel_db get KEY_ROM_WIFI_MAC fail");
    p->ko_snapshot_func = zel_tolk_media_get_snap_cb;
    p->status_callback = [](const char *status) { zel_tolk_status_change_cb(status); };
    p->reserved = 0;
    p->sc_type = KO_SC_TYPE_16;
    p->auto_ota = 1;
    p->wpa_required = 1;
    copy_text(p->wpa_intf, "/var/run/wpa_supplicant/wlan0");
    copy_text(p->data_dir, "/mnt/data");
}

void fill_log_param(ko_log_param *p)
{
    if (access(zel_path("/mnt/data/tolk_debug").c_str(), F_OK) != 0) {
        ZEL_LOGI(TAG, "tolk close debug log");
        p->level = 1;
        p->output = KO_LOG_OUT_CONSOLE | KO_LOG_OUT_FILE;
    } else {
        ZEL_LOGI(TAG, "tolk open debug log");
        p->level = 0;
        p->output = KO_LOG_OUT_FILE;
    }
    copy_text(p->file_path, "/tmp/tolk_log.txt");
    p->file_size = 102400;
}

bool has_prefix(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

} // namespace

device_sdk_info_t *get_device_info_pointer(void)
{
    return __atomic_load_n(&g_device_info, __ATOMIC_ACQUIRE);
}

int get_firmware_version(char *buffer, int size)
{
    // A missing version line (or a read error) starts the SDK with an empty version.
    return zel_os_release_version(buffer, size, size - 1) < 0 ? -1 : 0;
}

int _device_sdk_info_init(void)
{
    auto *info = static_cast<device_sdk_info_t *>(calloc(1, sizeof(device_sdk_info_t)));
    if (!info) {
        ZEL_LOGE(TAG, "malloc device info fail ...");
        return -1;
    }
    fill_log_param(&info->log_param);
    fill_sdk_param(&info->sdk_param);
    __atomic_store_n(&g_device_info, info, __ATOMIC_RELEASE);
    return 0;
}

int zel_sdk_init(void)
{
    int ret = _device_sdk_info_init();
    if (ret != 0) {
        ZEL_LOGE(TAG, "_device_sdk_info_init fail ret:%d", ret);
        return -1;
    }
    device_sdk_info_t *info = get_device_info_pointer();
    if (_zel_sdk_log_init(&info->log_param) != 0 || _zel_sdk_init(&info->sdk_param) != 0)
        return -1;
    return 0;
}

int zel_tolk_status_change_cb(const char *status)
{
    if (!status) {
        ZEL_LOGE(TAG, "status is null");
        return -1;
    }
    device_sdk_info_t *info = get_device_info_pointer();
    if (!info) {
        ZEL_LOGE(TAG, " device_info is null");
        return -1;
    }
    ZEL_LOGI(TAG, " status :%s", status);
    if (has_prefix(status, "cloud_connected"))
        __atomic_store_n(&info->cloud_connected, 1, __ATOMIC_RELEASE);
    else if (has_prefix(status, "internet_failed") || has_prefix(status, "cloud_trying") ||
             has_prefix(status, "cloud_retry"))
        __atomic_store_n(&info->cloud_connected, 0, __ATOMIC_RELEASE);
    return 0;
}

int _set_bind_wifi_status(int status)
{
    device_sdk_info_t *info = get_device_info_pointer();
    if (!info) {
        ZEL_LOGE(TAG, "struct dev info is NULL ");
        return -1;
    }
    const int state = status == 2 ? 1 : status == 4 ? 3 : 2;
    __atomic_store_n(&info->wifi_connect_state, state, __ATOMIC_RELEASE);
    ZEL_LOGI(TAG, " wifi_status:%d ", status);
    return 0;
}
