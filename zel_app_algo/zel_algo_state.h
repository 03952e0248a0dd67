// The algorithm app's module state shared by its files.
#pragma once

#include <atomic>

namespace algo {

constexpr const char *kTag = "ZEL_ALGO";

// 1 awake, 0 asleep (privacy sleep): read on every detection.
extern std::atomic<int> power_status;

int power_state_exec_subfunc(int on);

} // namespace algo
