// What the simulated peripheral library's parts share: its error log and its call record.
#pragma once

#include "sim_recorder.h"

namespace periph {

void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
sim::Recorder &recorder();
// Records "name(args)" and gives the injected result, or 0.
int action(const char *name, const std::string &args);
// Starts the pan-tilt head's thread (once).
int ptz_start();

} // namespace periph
