// The application's queries: the server time and the device id (asked of the device daemon and
// answered through the daemon method handlers), the device token, and the configuration reset.
#include <unistd.h>

#include <cstring>

#include "common/conf_save/ko_config.h"
#include "common/kv/ko_device_token.h"
#include "common/kv/ko_kv.h"
#include "common/sdk/ko_sdk_internal.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace {

constexpr uint64_t kTimeWaitMs = 1000;
constexpr useconds_t kTimePollUs = 10 * 1000;
constexpr int kTokenMax = 64;

int camera_state(ko_sdk_info *record)
{
    ko_sdk::RecordLock guard(record);
    return record->camera_state;
}

} // namespace

extern "C" int ko_ipc_get_server_time(uint32_t *out)
{
    ko_sdk_info *record = g_sdk_info;
    if (!record || !out) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    if (camera_state(record) < KO_CAMERA_STATE_CLOUD_CONNECTED) {
        ko_sdk::send_query("local.query_status");
        return -1;
    }
    {
        ko_sdk::RecordLock guard(record);
        record->server_time = 0;
    }
    ko_sdk::send_query("local.query_time");
    const uint64_t deadline = vexa_time_tick_ms() + kTimeWaitMs;
    for (;;) {
        {
            ko_sdk::RecordLock guard(record);
            if (record->server_time != 0) {
                *out = record->server_time;
                record->server_time = 0;
                return 0;
            }
        }
        if (vexa_time_tick_ms() >= deadline)
            return -1;
        usleep(kTimePollUs);
    }
}

extern "C" int ko_ipc_query_did(char *dst, unsigned len)
{
    ko_sdk_info *record = g_sdk_info;
    if (!record) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    if (camera_state(record) == 0) {
        ko_sdk::send_query("local.query_status");
        return -1;
    }
    ko_sdk::RecordLock guard(record);
    const size_t id_len = strnlen(record->device_id, sizeof record->device_id);
    if (id_len == 0)
        return KO_SDK_ERR_EMPTY;
    if (!dst || len < id_len + 1) {
        KO_LOGE(KO_IPC_MODULE, "invalid param\n");
        return KO_SDK_ERR_PARAM;
    }
    std::memcpy(dst, record->device_id, id_len);
    dst[id_len] = '\0';
    return 0;
}

extern "C" int ko_ipc_get_token(uint8_t *buf, int len)
{
    ko_sdk_info *record = g_sdk_info;
    if (!buf || len <= 0 || !record) {
        KO_LOGE(KO_IPC_MODULE, "get device token fail\n");
        return -1;
    }
    char token[kTokenMax] = {};
    int token_type = 0;
    const int n = token_read(record->param.data_dir, token, kTokenMax, &token_type);
    if (n < 1) {
        KO_LOGE(KO_IPC_MODULE, "read device token fail\n");
        return -1;
    }
    uint8_t reversed[kTokenMax];
    for (int i = 0; i < n; ++i)
        reversed[i] = static_cast<uint8_t>(token[n - 1 - i]);
    if (n > 1 && len < n) {
        KO_LOGE(KO_IPC_MODULE, "token_size is small\n");
        return -1;
    }
    for (int i = 0; i < n - 1; ++i)
        buf[i] = reversed[i] ^ reversed[i + 1];
    buf[n - 1] = reversed[n - 1];
    return n;
}

extern "C" int ko_ipc_config_reset(void)
{
    if (ko_kv_reset() != 0)
        KO_LOGE(KO_IPC_MODULE, "ko_kv_reset failed\n");
    return ko_config_reset();
}
