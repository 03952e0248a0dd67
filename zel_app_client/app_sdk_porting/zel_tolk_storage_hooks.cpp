// The porting hooks the SD recorder calls: the card's sizes, its status as the card app last told it,
// and its CID and file-system type.
#include <sys/statfs.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "app_sdk_porting/sdk_porting.h"
#include "common/ko_porting_hooks.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk_porting";
constexpr int kCidBytes = 32;
constexpr long kFat32Magic = 0x4d44;
constexpr long kExfatMagic = 0x2011bab0;

int zel_tolk_get_cid(char *buffer, int size)
{
    if (!buffer || size <= kCidBytes) {
        ZEL_LOGE(TAG, " cid buffer is null or buffer len is too short ");
        return -1;
    }
    const std::string path = zel_path("/sys/block/mmcblk0/device/cid");
    FILE *file = fopen(path.c_str(), "r");
    if (!file) {
        ZEL_LOGE(TAG, " fail to open %s", path.c_str());
        return -1;
    }
    char cid[kCidBytes + 1] = {};
    const size_t got = fread(cid, 1, kCidBytes, file);
    fclose(file);
    if (got != kCidBytes) {
        ZEL_LOGE(TAG, " fail to read %s", path.c_str());
        return -1;
    }
    memcpy(buffer, cid, kCidBytes + 1);
    return 0;
}

int zel_tolk_get_fs_type(char *buffer, int size)
{
    if (!buffer || size <= 29) {
        ZEL_LOGE(TAG, " fs_type buffer is null or buffer len is too short ");
        return -1;
    }
    struct statfs st {};
    const int ret = statfs(zel_path("/mnt/sdcard").c_str(), &st);
    if (ret != 0) {
        ZEL_LOGE(TAG, " get fs type failed ");
        return ret;
    }
    const long magic = static_cast<long>(st.f_type);
    if (magic == kFat32Magic)
        snprintf(buffer, static_cast<size_t>(size), "FAT32");
    else if (magic == kExfatMagic)
        snprintf(buffer, static_cast<size_t>(size), "exFAT");
    else
        return -1;
    return 0;
}

} // namespace

extern "C" int ko_storage_get_capacity(uint64_t *total, uint64_t *used, uint64_t *free_bytes)
{
    if (!total || !used || !free_bytes) {
        ZEL_LOGE(TAG, " param is null ");
        return -1;
    }
    *total = *used = *free_bytes = 0;
    if (zel_rpc_sd_statfs(total, used, free_bytes) != 0) {
        ZEL_LOGE(TAG, " statfs error! ");
        return -1;
    }
    ZEL_LOGD(TAG, " sdcard info totol: *total_Bytes:%llu , *used_Bytes:%llu , *free_Bytes:%llu ",
             static_cast<unsigned long long>(*total), static_cast<unsigned long long>(*used),
             static_cast<unsigned long long>(*free_bytes));
    return 0;
}

extern "C" int ko_storage_get_status(void)
{
    static std::atomic<int> last{-1};
    const int status = _zel_tolk_client_get_sdcard_status();
    const int before = last.exchange(status);
    if (before != status)
        ZEL_LOGI(TAG, " sdcard status changed to %d  from %d ", status, before);
    return status;
}

extern "C" int ko_storage_get_hw_info(char *buf)
{
    if (!buf) {
        ZEL_LOGE(TAG, " param is null ");
        return 0;
    }
    memset(buf, 0, 70);
    if (zel_tolk_get_cid(buf, 40) != 0) {
        ZEL_LOGE(TAG, " get sdcard cid error! ");
        return 0;
    }
    if (zel_tolk_get_fs_type(buf + 40, 30) != 0) {
        ZEL_LOGE(TAG, " get sdcard fs type error! ");
        return 0;
    }
    ZEL_LOGI(TAG, " cid = %s ", buf);
    ZEL_LOGI(TAG, " sd_file_sys = %s ", buf + 40);
    return 1;
}
