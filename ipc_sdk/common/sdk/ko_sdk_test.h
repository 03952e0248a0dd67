// Test-only view of the SDK start: which of its steps stand, in the order they were started.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Fills names[0..] with the step names ("config", "message", "rpc", "timer", "sdk_handlers",
// "ot_methods", "statistics", "watchdog", "kv", "event", "token") that stand; their number.
int ko_ipc_sdk_started_steps(const char **names, int max);

#ifdef __cplusplus
}
#endif
