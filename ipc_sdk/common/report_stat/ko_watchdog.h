// The thread watchdog: watches the liveness registry, sends keep-alives to the supervisor socket
// "/tmp/.ko_daemon.socket", and ends the process when a watched thread has gone silent too long.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int ko_thread_watchdog_init(void);
int ko_thread_watchdog_deinit(void);

// Where the watchdog reads the SDK's camera state (0 to 8); the SDK start sets it. Until then the
// state counts as 0.
typedef int (*ko_camera_state_source)(void);
void ko_thread_watchdog_set_state_source(ko_camera_state_source source);

#ifdef __cplusplus
}
#endif
