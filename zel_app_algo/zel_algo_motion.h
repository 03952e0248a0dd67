// The motion-tracking functions that the algorithm app calls, referred to weakly: a build without
// motion tracking skips them with a warning ("motion tracking is not part of this build: <name>
// skipped"), and the detection library then gets no angle callback.
#pragma once

#include "zel_detection.h"

extern "C" {
int motion_track_init(void) __attribute__((weak));
int motion_task_exit(void) __attribute__((weak));
int motion_track_mode_config(int on) __attribute__((weak));
void motion_track_angle_config(const zel_algo_angle_t *angles) __attribute__((weak));
}

namespace algo {
// Logs the warning for the motion-tracking function `name` that is not there.
void motion_missing(const char *name);
} // namespace algo
