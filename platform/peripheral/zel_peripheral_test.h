// Test-only controls of the simulated peripheral library: LED, IR-cut, light and pan-tilt state,
// key presses, failure injection and the record of calls.
#pragma once

#include "sim_recorder.h"

#include <string>
#include <vector>

enum { PERIPH_LED_OFF = 0, PERIPH_LED_ON = 1, PERIPH_LED_BLINK = 2 };

struct periph_led_state {
    int mode = PERIPH_LED_OFF;
    int on_ms = 0;
    int off_ms = 0;
    bool taken_over = false; // set by a flag-1 call, cleared by zel_api_led_priority_set(0)
    bool lit = false;        // whether it shines at this moment
};
periph_led_state periph_test_led(int led);

// The key thread calls the key's callback with (key, event).
void periph_test_press_key(int key, int event);

int periph_test_ircut(); // the last switch value, -1 before the first
struct periph_light_state {
    bool enabled = false;
    int brightness = 0;
};
periph_light_state periph_test_light(int light);

struct periph_head_state {
    double x = 0;
    double y = 0;
    bool moving = false;
    int speed = 0;
    int flip = 0;
};
periph_head_state periph_test_head();
// The next move fails: its callback gets ZEL_PTZ_EVENT_FAILED.
void periph_test_fail_next_move();

// The next `times` calls of `function` return `result` without doing their work.
void periph_test_fail(const std::string &function, int result, int times = 1);
// Every call, as "name(arguments)", oldest first (at most the last 4096).
std::vector<std::string> periph_test_calls();
// The same calls with the monotonic time each was made.
std::vector<sim::TimedCall> periph_test_timed_calls();
void periph_test_clear_calls();
