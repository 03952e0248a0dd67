// The porting-hook doubles of the SDK's tests: each call is recorded (ko_porting_hooks_record.cpp)
// and answered from the script.
#include "ko_porting_hooks_double.h"

#include <ftw.h>
#include <string.h>
#include <sys/statfs.h>

#include <mutex>
#include <thread>

#include "app/ota/ko_ota.h"
#include "common/ko_porting_hooks.h"
#include "zelmar/zel_path.h"

namespace {

using zeltest::PortingHooksRecord;
using zeltest::PortingHooksScript;

std::optional<std::string> text_of(const char *text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}

uint64_t g_tree_bytes;

int add_allocated(const char *, const struct stat *st, int type, struct FTW *)
{
    if (type == FTW_F)
        g_tree_bytes += static_cast<uint64_t>(st->st_blocks) * 512;
    return 0;
}

// Bytes the files below `dir` take on their file system (what a card's statfs counts as used).
uint64_t allocated_below(const std::string &dir)
{
    static std::mutex walk_lock;
    std::lock_guard<std::mutex> lock(walk_lock);
    g_tree_bytes = 0;
    nftw(dir.c_str(), add_allocated, 16, FTW_PHYS);
    return g_tree_bytes;
}

PortingHooksScript current_script()
{
    PortingHooksScript copy;
    zeltest::porting_hooks_update([&](PortingHooksRecord &, PortingHooksScript &script) { copy = script; });
    return copy;
}

} // namespace

extern "C" int ko_storage_get_capacity(uint64_t *total, uint64_t *used, uint64_t *free_bytes)
{
    const PortingHooksScript script = current_script();
    if (!total || !used || !free_bytes || script.capacity_result != 0)
        return script.capacity_result ? script.capacity_result : -1;
    const std::string card = zel_path("/mnt/sdcard");
    if (script.card_size) {
        const uint64_t taken = allocated_below(card) + script.card_other_used;
        *total = script.card_size;
        *used = taken < script.card_size ? taken : script.card_size;
        *free_bytes = script.card_size - *used;
        return 0;
    }
    struct statfs fs;
    if (statfs(card.c_str(), &fs) != 0)
        return -1;
    *total = static_cast<uint64_t>(fs.f_blocks) * fs.f_bsize;
    *free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_bsize;
    *used = static_cast<uint64_t>(fs.f_blocks - fs.f_bfree) * fs.f_bsize;
    return 0;
}

extern "C" int ko_storage_get_hw_info(char *buf)
{
    if (!buf)
        return 0;
    const PortingHooksScript script = current_script();
    memset(buf, 0, 72);
    snprintf(buf, 41, "%s", script.cid.c_str());
    snprintf(buf + 40, 31, "%s", script.fs_type.c_str());
    return 1;
}

extern "C" int ko_storage_get_status(void)
{
    return current_script().storage_status;
}

extern "C" int ko_ipc_on_error(int code)
{
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &) { seen.errors.push_back(code); });
    return 0;
}

extern "C" int ko_ipc_wifi_mode_get(int *bound)
{
    if (!bound)
        return -1;
    zeltest::porting_hooks_update([&](PortingHooksRecord &, PortingHooksScript &script) { *bound = script.bound; });
    return 0;
}

extern "C" int ko_ipc_wifi_connect_start(ko_wifi_connect_info *info)
{
    if (!info)
        return -1;
    int delay_ms = 0;
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &script) {
        seen.wifi_connects.push_back({text_of(info->ssid), text_of(info->passwd), text_of(info->ssid_5g),
                                      text_of(info->passwd_5g), text_of(info->bssid), text_of(info->tz),
                                      text_of(info->country_domain), info->mode});
        delay_ms = script.connect_delay_ms;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    int result = 0;
    zeltest::porting_hooks_update(
        [&](PortingHooksRecord &, PortingHooksScript &script) { result = script.connect_result; });
    return result;
}

extern "C" int ko_ipc_wifi_reload(int reload)
{
    int result = 0;
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &script) {
        seen.wifi_reloads.push_back(reload);
        result = script.reload_result;
    });
    return result;
}

extern "C" int ko_ipc_wifi_info_get(ko_wifi_info *info)
{
    if (!info)
        return -1;
    int result = 0;
    zeltest::porting_hooks_update([&](PortingHooksRecord &, PortingHooksScript &script) {
        *info = script.info;
        result = script.info_result;
    });
    return result;
}

extern "C" int ko_ipc_wifi_show_pin(const char *pin)
{
    if (!pin)
        return -1;
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &) { seen.pins.emplace_back(pin); });
    return 0;
}

extern "C" int ko_ipc_on_bind(int status)
{
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &) { seen.binds.push_back(status); });
    return 0;
}

extern "C" int ko_cloud_set_video_gop(int gop, int offset, int non_offset)
{
    zeltest::porting_hooks_update(
        [&](PortingHooksRecord &seen, PortingHooksScript &) { seen.video_gops.push_back({gop, offset, non_offset}); });
    return 0;
}

extern "C" int ko_ota_onstat(unsigned status)
{
    const PortingHooksScript script = current_script();
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &) { seen.ota_stats.push_back(status); });
    if (status == 1 && !script.ota_root.empty()) {
        const ko_ota_start_param param{script.ota_root.c_str(), static_cast<int>(script.ota_root.size()), 300};
        const int rc = ko_ota_start(&param);
        zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &) { seen.ota_start_result = rc; });
    } else if ((status == 2 || status == 3) && script.ota_abort_auto) {
        ko_ota_abort();
    }
    return 0;
}

extern "C" int ko_ota_ondata(const void *data, int len)
{
    if (!data || len <= 0)
        return -1;
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &) {
        seen.ota_data.append(static_cast<const char *>(data), static_cast<size_t>(len));
    });
    return 0;
}

extern "C" int ko_ota_write_image(int, int, int)
{
    int result = 0;
    zeltest::porting_hooks_update([&](PortingHooksRecord &seen, PortingHooksScript &script) {
        ++seen.ota_writes;
        result = script.ota_write_result;
    });
    return result;
}
