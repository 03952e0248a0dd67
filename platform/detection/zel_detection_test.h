// Test-only controls of the simulated detection library: scripted reports, the parameters it holds
// and the record of calls. A program run outside a test names a script file in
// ZELMAR_DETECTION_SCRIPT, read at each start: one report a line, "<ms after init> <code>" with an
// optional rectangle "<x1> <y1> <x2> <y2>", or "<ms after init> angle <h> <v>" for the angle callback.
#pragma once

#include "sim_recorder.h"

#include <cstdint>
#include <string>
#include <vector>

struct detection_report {
    int64_t at_ms = 0; // after zel_api_algo_init; a report already due runs at once
    bool angle = false;  // an angle report (h, v in x1, y1) instead of a detection
    int32_t code = 0;
    int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

// Replaces the reports still to come; they run once the library is started (relative to its start).
void detection_test_script(const std::vector<detection_report> &reports);
// Parses script text (the file format above); false for a line it cannot read.
bool detection_test_parse(const std::string &text, std::vector<detection_report> *out);
// The bytes last given for parameter `id` (empty when never set).
std::vector<uint8_t> detection_test_param(int id);
bool detection_test_running();
// How many starts actually started it (a start while it runs is not counted).
int detection_test_starts();
// Every call, as "name(arguments)", oldest first.
std::vector<std::string> detection_test_calls();
void detection_test_clear_calls();
