// The log upload's settings record and its ties to the SDK: config slot 128, the RPC link and the
// device id.
#include <pthread.h>

#include <cstring>

#include "app/logfiles/ko_logfiles.h"
#include "common/conf_save/ko_config.h"
#include "common/ipc/ko_message.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_le.h"

namespace {
constexpr const char *kModule = "KO LOGFILES";
constexpr size_t kDidMax = 39;
} // namespace

void log_upload_cfg_encode(const log_upload_cfg_t *cfg, uint8_t out[KO_LOG_UPLOAD_CFG_SIZE])
{
    std::memset(out, 0, KO_LOG_UPLOAD_CFG_SIZE);
    out[0] = cfg->switchOpen;
    zel_put_le64(out + 4, cfg->startTime);
    zel_put_le64(out + 12, cfg->endTime);
    zel_put_le32(out + 20, cfg->accept);
}

void log_upload_cfg_decode(const uint8_t in[KO_LOG_UPLOAD_CFG_SIZE], log_upload_cfg_t *cfg)
{
    cfg->switchOpen = in[0];
    cfg->startTime = zel_get_le64(in + 4);
    cfg->endTime = zel_get_le64(in + 12);
    cfg->accept = zel_get_le32(in + 20);
}

int ko_log_upload_cfg_read(uint8_t buffer[KO_LOG_UPLOAD_CFG_SIZE])
{
    if (!buffer)
        return -1;
    return ko_config_get(KO_CONFIG_SLOT_LOGUPLOAD, buffer, KO_LOG_UPLOAD_CFG_SIZE) == 0 ? 0 : -1;
}

int ko_log_upload_cfg_write(const uint8_t buffer[KO_LOG_UPLOAD_CFG_SIZE])
{
    if (!buffer)
        return -1;
    return ko_config_set(KO_CONFIG_SLOT_LOGUPLOAD, buffer, KO_LOG_UPLOAD_CFG_SIZE) == 0 ? 0 : -1;
}

int ko_log_upload_rpc_send(const char *text, int len)
{
    if (!text || len <= 0 || ko_message_send(KO_UID_LOG_UPLOAD, KO_UID_RPC, "rpc.rpc", text,
                                             static_cast<uint32_t>(len), KO_MSG_MODE_ASYNC) != 0) {
        KO_LOGE(kModule, "message push failed!\n");
        return -1;
    }
    return 0;
}

int ko_log_upload_get_did(char *buffer, int size)
{
    ko_sdk_info *info = ko_ipc_get_sdk_info();
    if (!buffer || size <= 0 || !info)
        return -1;
    char did[sizeof info->device_id];
    pthread_mutex_lock(&info->mutex);
    std::memcpy(did, info->device_id, sizeof did);
    pthread_mutex_unlock(&info->mutex);
    const size_t len = strnlen(did, sizeof did);
    if (len == 0 || len > kDidMax || len >= static_cast<size_t>(size))
        return -1;
    std::memcpy(buffer, did, len);
    buffer[len] = 0;
    return static_cast<int>(len);
}
