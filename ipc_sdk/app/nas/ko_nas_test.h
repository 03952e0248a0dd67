// Test-only controls of the NAS service: faster intervals and a look at its state.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_NAS_TIMER_SYNC = 1, KO_NAS_TIMER_RETRY = 2 };

// The sync interval and the mount retry (60 s) are multiplied by `factor` (default 1) from the next
// time they are armed.
void ko_nas_test_set_time_scale(double factor);
int ko_nas_test_state(void);
int ko_nas_test_error(void);
// KO_NAS_TIMER_* bits of the timers armed on "nas_ev" now.
int ko_nas_test_timers(void);
// 1 while the sync thread runs.
int ko_nas_test_syncing(void);
// How many syncs have started (a short one may end between two looks at ko_nas_test_syncing).
unsigned ko_nas_test_syncs_started(void);
unsigned long long ko_nas_test_last_sync(void);

#ifdef __cplusplus
}
#endif
