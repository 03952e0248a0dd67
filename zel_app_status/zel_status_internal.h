// What the status app's files share: the status record, the module's flags, the four timers' operations
// (run on "nas_ev"), the LED patterns and prompts, the enter functions and the agent connection.
#pragma once

#include "zel_status.h"

#include <ev.h>

#include <atomic>
#include <chrono>
#include <mutex>

namespace status {

constexpr const char *kTag = "IPC_STATUS";
constexpr const char *kName = "[IPC_STATUS]";

// The prompts the app speaks (sound ids of the speaker queue); the digits are 9 to 18.
enum Prompt {
    kPromptBindingFail = 0,
    kPromptWaitDeviceOnline = 1,
    kPromptWaitingConnection = 2,
    kPromptConnecting = 3,
    kPromptWifiConnected = 4,
    kPromptWlanPasswdErr = 5,
    kPromptPincodeInput = 6,
    kPromptSupported1 = 7,
    kPromptSupported2 = 8,
    kPromptDigitZero = 9,
    kPromptResetSuccess = 19,
    kPromptBooting = 20,
    kPromptOta = 21,
    kPromptQrcodeDing = 25,
    kPromptQrcodeSuccess = 26,
    kPromptQrcodeFail = 27,
    kPromptDingding = 28,
    kPromptWifiConnectionFailed = 29,
    kPromptConnectCloudFail = 30,
    kPromptSdcardIn = 31,
    kPromptSdcardOut = 32,
    kPromptSdcardNotUsed = 33,
};

enum Timer { kPincodeTimer, kWaitConnectionTimer, kBindTimeoutTimer, kBindFailTimer, kTimerCount };

// The status record: one while the app runs, freed by zel_status_deinit.
struct ipc_status_info {
    std::mutex lock; // the test and the update of the two state words are one step under it
    std::atomic<int> current{-1};
    std::atomic<int> previous{-1};
    ev_timer timers[kTimerCount]; // armed, stopped and read on "nas_ev" only
    bool closing = false;         // set by zel_status_deinit: no timer is armed again
};

// Guards g_info's life: held by every thread but the state thread while it uses the record.
extern std::mutex g_life;
extern ipc_status_info *g_info;

// Module flags: 0 or 1, never cleared (the upgrade flag blocks every LED change, the reset and the
// restart until the reboot).
extern std::atomic<int> g_upgrade;
extern std::atomic<int> g_resetting;
extern std::atomic<int> g_restarting;
extern std::atomic<int> g_intro_played;
extern std::atomic<int> g_sd_status;      // the last value of messages 15 and 44, -1 before
extern std::atomic<int> g_last_sd_prompt; // 0 none, 1 card in, 2 card out
extern std::atomic<int> g_pin_number;
// The cloud-connected flag is guarded by the init mutex, which also serialises zel_status_init.
extern std::mutex g_init_lock;
extern int g_cloud_connected;

// Durations stretched by the test time scale.
double time_scale();
std::chrono::milliseconds scaled(double seconds);

// Sets the state without the priority rule (the reset's return to the state it interrupted).
void return_to_state(int state);

void ipc_status_led_control(int index);
void play(int prompt);
bool if_already_bind();
// "NVM.IPC:bind_status" read as the state enter functions do: true when read and 0.
bool bind_status_zero(const char *func);

// The timers: each call is handed over to "nas_ev" and runs there in order; calls made before the loop
// runs wait for it.
void start_play_wait_connection();
void stop_play_wait_connection();
void stop_bind_timeout();
void extend_bind_timeout();
void start_binding_fail();
void restart_pincode_timer();
void stop_pincode_timer();
// For zel_status_deinit with g_info closing: stops every timer on the loop and waits, when the loop
// runs; then no timer of the record is active.
void stop_all_timers();

using enter_fn = void (*)();
// The enter function of `state`, or null for a resting state.
enter_fn state_enter(int state);
void status_key_reseting_enter();
void status_device_restart_enter();
int set_reboot_by_hw_watchdog();

// The agent connection and its receive thread (started once per process).
void start_agent();
// Broadcasts "set_release_resource_over" on the status app's connection.
void broadcast_release_over();

} // namespace status
