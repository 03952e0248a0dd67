// The main program's start-up: signal handling, the fixed start order with its assertions, the app
// table's create functions, the run flag every loop watches, and the resource release before an
// upgrade.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// The process run flag: 1, never cleared; every agent receive loop and media loop runs while it is set.
extern int gs_zelmar_app_running;

// Hands the signal number to the signal thread (only an async-signal-safe write).
void zelmar_app_sighandler(int signo);
// Steps 1 to 11 of the start-up; aborts with the assertion line when a step that must not fail fails.
void zelmar_app_start(void);
// Stops the algorithm app and the media layer before an upgrade.
void release_resource(void);

#ifdef __cplusplus
}
#endif
