// The cry detector's poll worker "babycry_task": every 300 ms a cry read from the board becomes
// detection event 8.
#pragma once

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The worker thread, or -1 while none runs.
extern pthread_t g_zel_cry_loud_tid;

// Starts the worker: 0 (also when it runs already), or the thread error (logged).
int babycry_task_init(void);
// Stops the worker and returns once it has ended; 0.
int babycry_task_deinit(void);
void set_babycry_switch(uint8_t on);
void set_lsd_switch(uint8_t on);

#ifdef __cplusplus
}
#endif
