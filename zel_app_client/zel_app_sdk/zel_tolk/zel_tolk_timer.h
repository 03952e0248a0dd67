// The business layer's timer thread and the services it brings up. Every 5 s the thread keeps the
// clock in step with the server time, reports the cloud connection to the other apps, backs up the
// SDK log when it is nearly full and, rarely, reports the SD-card status; the first valid server
// time starts, once, the services that need a correct clock: P2P, SD recording, cloud recording and
// upload, and log upload.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

struct ev_loop;
struct ev_timer;

// Creates the timer thread (detached): 0, or -1 with "Create zel_tolk_timer_schedule_thread fail.".
int zel_tolk_create_timer_proc(void);
// Make the timer thread leave its loop.
void zel_tolk_media_evloop_stop(void);
void send_exit_signal(void);
// One tick; the thread's timer calls it (the loop and watcher are not used).
void zel_tolk_net_status_timer_cb(struct ev_loop *loop, struct ev_timer *watcher, int revents);

// Starts P2P, SD recording, cloud and log upload; a P2P or log-upload failure ends the process. 0.
int zel_tolk_sdk_start(void);
// Starts the SD recorder (once; tried again at the next call after a failure) and sets its mode.
// Serialised: the timer thread and the agent thread (SD status 10) may call it at once. 0.
int zel_tolk_init_storage(void);
int zel_tolk_init_cloud(void);
int zel_tolk_init_alarm_config(void);
void zel_tolk_storage_status_callback(int status);
// Up to `max_files` device paths of log files, 65 bytes each, into `list`: their number.
int zel_tolk_logfiles_cb(char *list, unsigned max_files, unsigned force);

#ifdef __cplusplus
}
#endif
