// The named-thread starter through which every SDK thread is created, and its join.
#pragma once

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_THREAD_DEFAULT_STACK = 8 * 1024 * 1024 };

typedef struct ko_thread_attr {
    uint8_t detached;    // non-zero: start detached
    uint32_t stack_size; // bytes; 0 = KO_THREAD_DEFAULT_STACK, written back into the caller's record
    char name[32];       // thread name; the kernel keeps the first 15 characters
} ko_thread_attr;

typedef void *(*ko_thread_entry)(void *arg);

typedef struct ko_thread {
    pthread_t tid;
    ko_thread_entry entry;
    ko_thread_attr attr;
    void *arg;
} ko_thread;

// Starts entry(arg) on a thread named attr->name; the handle, or NULL on failure.
ko_thread *ko_thread_run(ko_thread_attr *attr, ko_thread_entry entry, void *arg);
// Joins the thread unless it was started detached and frees the handle. It does not stop the
// thread: its owner tells it to end first. NULL gives 0.
int ko_thread_destory(ko_thread *thread);

#ifdef __cplusplus
}
#endif
