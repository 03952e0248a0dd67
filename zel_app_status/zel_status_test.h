// Test-only controls of the status app.
#pragma once

// Every timer of the status app and its waits (7 s before the release, 4 s before the reboot, 100 ms
// before the SD-card prompt) are multiplied by `factor` (default 1) from the next time they start.
void zel_status_test_set_time_scale(double factor);
// While held, the state thread runs no enter function (states are only set and read).
void zel_status_test_hold_states(bool hold);
// Sets the current state without the priority rule (as the reset's return does).
void zel_status_test_set_state(int state);
