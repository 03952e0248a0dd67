#include "ztp_slot_threads.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <cstdio>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_dispatch.h"
#include "ztp_drw.h"
#include "ztp_state.h"

ztp_loop_fn ztp_slot_loops[4] = {ztp_Run_recv_Proto, ztp_Run_send_DRW, ztp_Run_recv_LanSearch, ztp_Run_recv_DRW};

namespace {

constexpr char kTag[] = "ztp";
constexpr int kIdleSleepMs = 10;

bool swap(std::atomic<int> &w, int from, int to)
{
    return w.compare_exchange_strong(from, to, std::memory_order_acq_rel);
}

// One look at one word; true when the word has exited.
bool step_word(ztp_slot_threads *t, int slot, int i, bool *worked)
{
    std::atomic<int> &w = t->gFlag_Run[i];
    const int v = w.load(std::memory_order_acquire);
    switch (v) {
    case ZTP_CTL_IDLE:
        return false;
    case ZTP_CTL_START:
        swap(w, ZTP_CTL_START, ZTP_CTL_RUN);
        return false;
    case ZTP_CTL_RUN:
        if (ztp_slot_loops[i])
            ztp_slot_loops[i](slot);
        swap(w, ZTP_CTL_RUN, ZTP_CTL_IDLE);
        *worked = true;
        return false;
    case ZTP_CTL_STOP:
        swap(w, ZTP_CTL_STOP, ZTP_CTL_IDLE);
        return false;
    case ZTP_CTL_GONE:
        return true;
    default:
        swap(w, v, ZTP_CTL_GONE);
        return true;
    }
}

void *slot_thread(void *p)
{
    const ztp_slot_thread_arg *a = static_cast<ztp_slot_thread_arg *>(p);
    char name[16];
    std::snprintf(name, sizeof name, a->first == 0 ? "_recv_Proto_%02d" : "preload_%02d_1", a->slot);
    prctl(PR_SET_NAME, name, 0, 0, 0);
    for (;;) {
        bool worked = false;
        const bool gone0 = step_word(a->t, a->slot, a->first, &worked);
        const bool gone1 = step_word(a->t, a->slot, a->first + 1, &worked);
        if (gone0 && gone1)
            return nullptr;
        if (!worked)
            ztp_sleep_ms(kIdleSleepMs);
    }
}

void wait_changed(const std::atomic<int> &w, int from)
{
    while (w.load(std::memory_order_acquire) == from)
        ztp_sleep_ms(1);
}

} // namespace

int ztp_slot_threads_start(ztp_slot_threads *t, int slot)
{
    for (int &fd : t->wake_fd) {
        fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd < 0)
            ZEL_LOGW(kTag, "slot %d: no timer (%s), its channel loops keep their period\n", slot,
                     std::strerror(errno));
    }
    for (int k = 0; k < 2; ++k) {
        ztp_slot_thread_arg &a = t->arg[k];
        a = ztp_slot_thread_arg{t, slot, 2 * k};
        const int err = pthread_create(&t->thread[k], nullptr, slot_thread, &a);
        if (err != 0) {
            ZEL_LOGE(kTag, "slot %d thread: %s\n", slot, std::strerror(err));
            return ERROR_ZTP_FAIL_TO_CREATE_THREAD;
        }
        t->started[k] = true;
    }
    return 0;
}

void ztp_slot_threads_stop(ztp_slot_threads *t)
{
    for (auto &w : t->gFlag_Run) {
        int v = w.load();
        while (v != ZTP_CTL_GONE && !w.compare_exchange_weak(v, ZTP_CTL_EXIT)) {
        }
    }
    for (int k = 0; k < 2; ++k)
        ztp_loop_wake(t, static_cast<ztp_idle_loop>(k));
    for (int k = 0; k < 2; ++k) {
        if (t->started[k])
            pthread_join(t->thread[k], nullptr);
        t->started[k] = false;
    }
    for (int &fd : t->wake_fd) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

void ztp_loop_start(ztp_slot_threads *t, ztp_loop loop)
{
    std::atomic<int> &w = t->gFlag_Run[loop];
    if (swap(w, ZTP_CTL_IDLE, ZTP_CTL_START))
        wait_changed(w, ZTP_CTL_START);
}

void ztp_loop_stop(ztp_slot_threads *t, ztp_loop loop)
{
    std::atomic<int> &w = t->gFlag_Run[loop];
    if (swap(w, ZTP_CTL_RUN, ZTP_CTL_STOP) || swap(w, ZTP_CTL_START, ZTP_CTL_STOP)) {
        ztp_loop_wake(t, loop == ZTP_LOOP_SEND_DRW ? ZTP_IDLE_SEND : ZTP_IDLE_RECV);
        wait_changed(w, ZTP_CTL_STOP);
    }
}

bool ztp_loop_running(const ztp_slot_threads *t, ztp_loop loop)
{
    return t->gFlag_Run[loop].load(std::memory_order_acquire) == ZTP_CTL_RUN;
}

namespace {

void arm(ztp_slot_threads *t, ztp_idle_loop loop, int64_t delay_ms)
{
    if (t->wake_fd[loop] < 0)
        return;
    itimerspec when{};
    if (delay_ms > 0) {
        when.it_value.tv_sec = static_cast<time_t>(delay_ms / 1000);
        when.it_value.tv_nsec = static_cast<long>(delay_ms % 1000) * 1000000L;
    } else if (delay_ms == 0) {
        when.it_value.tv_nsec = 1; // zero would disarm
    }
    if (timerfd_settime(t->wake_fd[loop], 0, &when, nullptr) != 0)
        ZEL_LOGW(kTag, "waking a channel loop: %s\n", std::strerror(errno));
}

} // namespace

void ztp_loop_wake(ztp_slot_threads *t, ztp_idle_loop loop)
{
    arm(t, loop, 0);
}

bool ztp_loop_claim_idle(ztp_slot_threads *t, ztp_idle_loop loop)
{
    const bool idle = t->idle[loop];
    t->idle[loop] = false;
    return idle;
}

void ztp_loop_wake_in(ztp_slot_threads *t, ztp_idle_loop loop, int64_t delay_ms)
{
    arm(t, loop, std::max<int64_t>(delay_ms, 0));
}

void ztp_loop_unwake(ztp_slot_threads *t, ztp_idle_loop loop)
{
    arm(t, loop, -1);
}

int ztp_loop_idle_wait(ztp_slot_threads *t, ztp_idle_loop loop, int fd, int timeout_ms)
{
    pollfd p[2] = {{t->wake_fd[loop], POLLIN, 0}, {fd, POLLIN, 0}};
    int r;
    do {
        r = poll(p, fd >= 0 ? 2 : 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (p[0].revents & POLLIN) {
        uint64_t count;
        if (read(t->wake_fd[loop], &count, sizeof count) < 0 && errno != EAGAIN)
            ZEL_LOGW(kTag, "channel loop wake-up: %s\n", std::strerror(errno));
    }
    return r > 0 && (p[1].revents & (POLLIN | POLLERR)) ? 1 : 0;
}
