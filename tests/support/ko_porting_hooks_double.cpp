#include "ko_porting_hooks_double.h"

#include <ftw.h>
#include <string.h>
#include <sys/statfs.h>

#include <mutex>
#include <thread>

#include "common/ko_porting_hooks.h"
#include "zel_test_support.h"
#include "zelmar/zel_path.h"

namespace {

std::mutex g_mutex;
zeltest::PortingHooksRecord g_seen;
zeltest::PortingHooksScript g_script;

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

} // namespace

extern "C" int ko_storage_get_capacity(uint64_t *total, uint64_t *used, uint64_t *free_bytes)
{
    zeltest::PortingHooksScript script;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        script = g_script;
    }
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
    std::lock_guard<std::mutex> lock(g_mutex);
    memset(buf, 0, 72);
    snprintf(buf, 41, "%s", g_script.cid.c_str());
    snprintf(buf + 40, 31, "%s", g_script.fs_type.c_str());
    return 1;
}

extern "C" int ko_storage_get_status(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_script.storage_status;
}

extern "C" int ko_ipc_on_error(int code)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.errors.push_back(code);
    return 0;
}

extern "C" int ko_ipc_wifi_mode_get(int *bound)
{
    if (!bound)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    *bound = g_script.bound;
    return 0;
}

extern "C" int ko_ipc_wifi_connect_start(ko_wifi_connect_info *info)
{
    if (!info)
        return -1;
    int delay_ms;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_seen.wifi_connects.push_back({text_of(info->ssid), text_of(info->passwd), text_of(info->ssid_5g),
                                        text_of(info->passwd_5g), text_of(info->bssid), text_of(info->tz),
                                        text_of(info->country_domain), info->mode});
        delay_ms = g_script.connect_delay_ms;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_script.connect_result;
}

extern "C" int ko_ipc_wifi_reload(int reload)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.wifi_reloads.push_back(reload);
    return g_script.reload_result;
}

extern "C" int ko_ipc_wifi_info_get(ko_wifi_info *info)
{
    if (!info)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    *info = g_script.info;
    return g_script.info_result;
}

extern "C" int ko_ipc_wifi_show_pin(const char *pin)
{
    if (!pin)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.pins.emplace_back(pin);
    return 0;
}

extern "C" int ko_ipc_on_bind(int status)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.binds.push_back(status);
    return 0;
}

namespace zeltest {

void porting_hooks_note_rpc(std::string text)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.rpc_received.push_back(std::move(text));
}

void porting_hooks_script(const PortingHooksScript &script)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script = script;
}

PortingHooksRecord porting_hooks_seen()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}

void porting_hooks_reset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen = PortingHooksRecord{};
    g_script = PortingHooksScript{};
}

bool porting_hooks_wait_rpc(size_t count, std::chrono::milliseconds timeout)
{
    return wait_until([count] { return porting_hooks_seen().rpc_received.size() >= count; }, timeout);
}

} // namespace zeltest
