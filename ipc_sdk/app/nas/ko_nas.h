// The NAS service's start: its thread "nas_ev" runs the default libev loop (kept alive by a 1-second
// guard timer) for the life of the process; the status app's prompt and time-out timers run on it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// 0, or -1 when the thread cannot be started (logged). Called once, last in start-up.
int ko_nas_init(void);

#ifdef __cplusplus
}
#endif
