// The IR-cut machine's state shared by its worker (zel_ircut.cpp) and its mode operations
// (zel_ircut_modes.cpp).
#pragma once

#include "zel_daynight.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace ircut {

constexpr const char *kTag = "ZEL_IRCUT";
constexpr int kModeCount = 6;
constexpr int kNoMode = 6;
constexpr int kModeFullColour = 4;
constexpr int kModeSmart = 5;

struct LockRecord {
    bool locked = false;
    int16_t count = 0;
    int last_night = 0;
    int64_t last_switch_ms = 0;
    int64_t locked_ms = 0;
};

struct State {
    std::mutex lock; // the IR-cut mutex: requested and running mode, night state on start and stop
    std::atomic<int> requested{0};
    int running = kNoMode;
    std::atomic<int> night{0};
    std::atomic<int> level{0};
    std::atomic<int> full_colour{1};
    std::atomic<int> people{0};
    std::atomic<int> hack_light{0};
    bool colour_phase = false; // worker only
    int64_t colour_start_ms = 0;
    int64_t night_retry_ms = 0; // worker only: no periodic switch to night before this (now_ms)
    zel_day_night_params_t params{};
    LockRecord lock_record; // worker only
    std::atomic<bool> locked{false}; // lock_record.locked as other threads see it
};

State &state();
// Monotonic milliseconds, moved forward by the test control.
int64_t now_ms();

struct ModeRow {
    int mode;
    void (*enter)(int previous);
    void (*process)(int mode);
    void (*leave)(void);
};
extern const ModeRow kModes[kModeCount];

int ircut_light_set(int level);
void ircut_lock_info_reset();
void ircut_lock_check();

} // namespace ircut
