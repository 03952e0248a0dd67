// The two worker threads of each session slot and the four control words that steer their loops.
// A word is 0 idle, 1 start requested, 2 running, 3 stop requested, 5 exit requested and -1 exited.
// Every change is a compare-and-swap from a known value, so an exit request is never overwritten:
// once 5 is written only the thread turns it into -1.
#pragma once

#include <pthread.h>

#include <atomic>

enum ztp_ctl {
    ZTP_CTL_GONE = -1,
    ZTP_CTL_IDLE = 0,
    ZTP_CTL_START = 1,
    ZTP_CTL_RUN = 2,
    ZTP_CTL_STOP = 3,
    ZTP_CTL_EXIT = 5
};

// The loops: the receive thread runs the receive dispatcher and the sending loop, the LAN-search
// thread the LAN-search loop and the receiving loop.
enum ztp_loop { ZTP_LOOP_RECV_PROTO = 0, ZTP_LOOP_SEND_DRW = 1, ZTP_LOOP_RECV_LANSEARCH = 2, ZTP_LOOP_RECV_DRW = 3 };

struct ztp_slot_threads;
struct ztp_slot_thread_arg {
    ztp_slot_threads *t;
    int slot;
    int first; // the first of the thread's two words
};

// The channel loops that can wait idle: each waits on its own timer while it has nothing to do.
enum ztp_idle_loop { ZTP_IDLE_SEND = 0, ZTP_IDLE_RECV = 1 };

struct ztp_slot_threads {
    std::atomic<int> gFlag_Run[4];
    pthread_t thread[2];
    bool started[2];
    ztp_slot_thread_arg arg[2];
    // The idle loops' timers (-1 none: the loops then keep their period) and whether each loop
    // waits on its own now (guarded by the session lock).
    int wake_fd[2] = {-1, -1};
    bool idle[2] = {false, false};
};

typedef void (*ztp_loop_fn)(int slot);
// The loop behind each word.
extern ztp_loop_fn ztp_slot_loops[4];

// Starts the slot's two threads: 0, or -22 (any thread already started stays, for stop()).
int ztp_slot_threads_start(ztp_slot_threads *t, int slot);
// Requests exit on all four words and joins the threads that run.
void ztp_slot_threads_stop(ztp_slot_threads *t);
// Start (1) or stop (3) one loop and wait in 1 ms steps until its thread has taken the request.
void ztp_loop_start(ztp_slot_threads *t, ztp_loop loop);
void ztp_loop_stop(ztp_slot_threads *t, ztp_loop loop);
// For a loop body: keep going while its word says running.
bool ztp_loop_running(const ztp_slot_threads *t, ztp_loop loop);

// Ends an idle wait of the loop, or makes its next one return at once.
void ztp_loop_wake(ztp_slot_threads *t, ztp_idle_loop loop);
// Under the session lock: clears the loop's idle mark and tells whether it was set, that is whether
// the caller is to wake the loop, with ztp_loop_wake_in once the lock is released (arming a timer
// can cost microseconds that other threads would spend waiting for the lock). So a burst of calls,
// one for every write and every received block, costs the loop one wake-up.
bool ztp_loop_claim_idle(ztp_slot_threads *t, ztp_idle_loop loop);
// Ends the loop's idle wait in `delay_ms` (at once when not positive).
void ztp_loop_wake_in(ztp_slot_threads *t, ztp_idle_loop loop, int64_t delay_ms);
// Takes back a wake-up that has not come yet.
void ztp_loop_unwake(ztp_slot_threads *t, ztp_idle_loop loop);
// Waits idle for up to `timeout_ms` (-1 no limit) until the loop is woken or, when `fd` is not -1,
// `fd` is readable; without the session lock, and only for a loop that has its timer. 1 when `fd`
// is readable, else 0.
int ztp_loop_idle_wait(ztp_slot_threads *t, ztp_idle_loop loop, int fd, int timeout_ms);
