// Starting a thread that nobody joins.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Starts body(arg) on a detached thread: 0, or pthread_create's error number.
int zel_thread_start_detached(void *(*body)(void *), void *arg);

#ifdef __cplusplus
}
#endif
