// A test double of the porting hooks that the app-client library provides to the SDK: it records
// every call so that tests can wait for them. The RPC receive hook is a double of its own
// (ko_rpc_receive_double.cpp, library zel_test_hooks), so that tests which load the app-client library
// take its real hook and still have the other doubles (library zel_test_device_hooks).
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/ko_porting_hooks.h"

namespace zeltest {

// One ko_ipc_wifi_connect_start request; absent texts are nullopt.
struct WifiConnectCall {
    std::optional<std::string> ssid, passwd, ssid_5g, passwd_5g, bssid, tz, country_domain;
    int mode = -1;
};

struct PortingHooksRecord {
    std::vector<std::string> rpc_received; // texts given to ko_rpc_receive
    std::vector<int> errors;               // codes given to ko_ipc_on_error
    std::vector<WifiConnectCall> wifi_connects;
    std::vector<int> wifi_reloads;         // levels given to ko_ipc_wifi_reload
    std::vector<std::string> pins;         // texts given to ko_ipc_wifi_show_pin
    std::vector<int> binds;                // statuses given to ko_ipc_on_bind
    std::vector<std::array<int, 3>> video_gops; // (gop, offset, non_offset) of ko_cloud_set_video_gop
    std::vector<unsigned> ota_stats;       // statuses given to ko_ota_onstat
    std::string ota_data;                  // bytes given to ko_ota_ondata, in order
    int ota_writes = 0;                    // calls of ko_ota_write_image
    int ota_start_result = 1;              // what ko_ota_start gave the last onstat 1 (1: not called)
};

// What the Wi-Fi and bind hooks answer.
struct PortingHooksScript {
    int bound = 0;               // ko_ipc_wifi_mode_get
    int connect_result = 0;      // ko_ipc_wifi_connect_start
    int connect_delay_ms = 0;    // how long a join takes
    int reload_result = 0;       // ko_ipc_wifi_reload
    int info_result = 0;         // ko_ipc_wifi_info_get
    ko_wifi_info info{};         // what ko_ipc_wifi_info_get fills in
    // Storage: by default the capacity is the statfs of the root's "/mnt/sdcard". With a simulated
    // card size (bytes) the card is that large and its used bytes are the space taken by the files
    // below "/mnt/sdcard" plus `card_other_used`.
    int capacity_result = 0;
    uint64_t card_size = 0;
    uint64_t card_other_used = 0;
    int storage_status = 0;
    std::string cid = "035344534331323880a1b2c3d400e3c1";
    std::string fs_type = "ext4";
    // Firmware update: onstat 1 calls ko_ota_start with this root certificate (none when empty);
    // onstat 2 and 3 call ko_ota_abort when `ota_abort_auto` is set. write_image gives its result.
    std::string ota_root;
    bool ota_abort_auto = false;
    int ota_write_result = 0;
};
void porting_hooks_script(const PortingHooksScript &script);

// A copy of what the hooks have seen so far.
PortingHooksRecord porting_hooks_seen();
// Forgets every call and restores the default script.
void porting_hooks_reset();
// Runs `change` on the record and the script under their lock (used by the doubles).
void porting_hooks_update(const std::function<void(PortingHooksRecord &, PortingHooksScript &)> &change);
// Used by the ko_rpc_receive double.
void porting_hooks_note_rpc(std::string text);
// Waits until ko_rpc_receive has been given at least `count` texts.
bool porting_hooks_wait_rpc(size_t count, std::chrono::milliseconds timeout);

} // namespace zeltest
