// Numbered POSIX timers in a singly linked list; each expiry runs the timer's callback on a thread
// started for it, with the timer id as the callback's value.
#pragma once

#include <signal.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*event_timer_cb)(union sigval value);

typedef struct event_timer_node {
    struct sigevent notify;  // thread notification, sigev_value.sival_int = the timer id
    struct itimerspec spec;  // interval and first expiry
    timer_t timer;
    struct event_timer_node *next;
} event_timer_node_t;

enum { EVENT_TIMER_PERIODIC = 0, EVENT_TIMER_ONESHOT = 1 };

// A list head (only its `next` is used), or null when out of memory.
event_timer_node_t *timer_init(void);
// Mode 0: first expiry after `seconds`, then every `seconds`; any other mode: once. 0 or -1.
int create_event_timer(event_timer_node_t *head, int id, int mode, int seconds, event_timer_cb callback);
// 0 armed, -2 expired one-shot, -1 no head, no such id or the timer cannot be read.
int check_timer_status(event_timer_node_t *head, int id);
// Makes the timer periodic with `seconds` and re-arms it from now. 0 or -1.
int refresh_event_timer(event_timer_node_t *head, int id, int seconds);
int delete_designation_timer(event_timer_node_t *head, int id);
// Deletes every timer and frees every node; the head stays. 0, or -1 without head.
int delete_all_timer(event_timer_node_t *head);

#ifdef __cplusplus
}
#endif
