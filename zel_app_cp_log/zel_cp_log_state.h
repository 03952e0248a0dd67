// What the log-copy app's agent handler tells its copy thread.
#pragma once

#include <chrono>

namespace cplog {

constexpr const char *kTag = "ZEL_LOG";

// While the card is formatted or unmounted nothing is copied.
void set_formatting(bool on);
// The pause between two checks of the log files (10 s at start); it applies to the pause under way.
void set_period(std::chrono::milliseconds period);

} // namespace cplog
