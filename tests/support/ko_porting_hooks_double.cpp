// The porting-hook doubles of the SDK's tests: each call is recorded (ko_porting_hooks_record.cpp)
// and answered from the script.
#include "ko_porting_hooks_double.h"

#include <thread>

#include "common/ko_porting_hooks.h"

namespace {

using zeltest::PortingHooksRecord;
using zeltest::PortingHooksScript;

std::optional<std::string> text_of(const char *text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}

} // namespace

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
