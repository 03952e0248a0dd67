// The NAS state machine: the action lists between the five states, the mount with its retry, and
// the sync and retry timers, which live on "nas_ev" and are armed only through the hand-over.
#include <ev.h>

#include <cerrno>

#include "app/nas/ko_nas_ev.h"
#include "app/nas/ko_nas_internal.h"
#include "app/nas/ko_nas_test.h"
#include "common/utils/ko_log.h"

namespace ko_nas {

namespace {

// Actions: M mount, S sync timer with the first sync at once, R sync timer with the first sync
// after one interval, T stop the sync timer, F release the share, X stop the sync thread.
const char *const kActions[5][5] = {
    {"", "MS", "M", "MSR", ""},
    {"TF", "MS", "T", "R", "TF"},
    {"F", "S", "M", "SR", "F"},
    {"XTF", "X", "XT", "MSR", "XTF"},
    {"", "MS", "M", "MSR", ""},
};

ev_timer g_sync_timer;
ev_timer g_retry_timer;
bool g_timers_ready = false;
uint32_t g_sync_timer_gen = 0; // the arming the running sync timer belongs to (loop side)

// The expiry names its arming, so that one queued just before the timer was stopped or set again
// is recognised as stale.
void sync_timer_cb(struct ev_loop *, ev_timer *, int)
{
    post_self("nas.sync_timer", g_sync_timer_gen);
}

void retry_timer_cb(struct ev_loop *, ev_timer *, int)
{
    post_self("nas.retry", 0);
}

void ensure_timers()
{
    if (g_timers_ready)
        return;
    ev_timer_init(&g_sync_timer, sync_timer_cb, 0.0, 0.0);
    ev_timer_init(&g_retry_timer, retry_timer_cb, 0.0, 0.0);
    g_timers_ready = true;
}

struct TimerSet {
    double after;
    double repeat;
    uint32_t gen;
};

// A timer must be stopped before it is set again: starting an active watcher does nothing, so a
// new interval would never apply.
void loop_sync_timer(struct ev_loop *loop, void *arg)
{
    auto *set = static_cast<TimerSet *>(arg);
    ensure_timers();
    ev_timer_stop(loop, &g_sync_timer);
    if (set) {
        g_sync_timer_gen = set->gen;
        ev_timer_set(&g_sync_timer, set->after, set->repeat);
        ev_timer_start(loop, &g_sync_timer);
        delete set;
    }
}

void loop_retry_timer(struct ev_loop *loop, void *arg)
{
    auto *set = static_cast<TimerSet *>(arg);
    ensure_timers();
    ev_timer_stop(loop, &g_retry_timer);
    ev_timer_set(&g_retry_timer, set->after, 0.0);
    ev_timer_start(loop, &g_retry_timer);
    delete set;
}

void post_timer(ko_nas_ev_fn fn, TimerSet *set)
{
    if (ko_nas_ev_post(fn, set) != 0)
        delete set;
}

int mount(Nas &n)
{
    KO_LOGI(kModule, "do mount...\n");
    if (!n.share) {
        n.share = nas_share_new(n.rec.type);
        if (!n.share) {
            KO_LOGE(kModule, "share type %d has no back-end\n", n.rec.type);
            n.rec.state = 4;
            set_error(n, EINVAL);
            save_config(n);
            return EINVAL;
        }
    }
    int rc;
    if (!n.share_cfg)
        rc = NAS_ERR_SERVER;
    else if (!n.share->priv)
        rc = n.share->open(n.share, n.share_cfg);
    else if ((rc = n.share->set_config(n.share, n.share_cfg)) == 0)
        rc = n.share->connect(n.share);
    if (rc == 0)
        return 0;
    set_error(n, rc);
    KO_LOGE(kModule, "Fail to mount share. Try again later.\n");
    if (!n.retry_armed) {
        n.retry_armed = true;
        post_timer(loop_retry_timer, new TimerSet{kRetryS * n.time_scale, 0.0, 0});
    }
    return rc;
}

void stop_sync_timer(Nas &n)
{
    ++n.sync_timer_gen;
    ko_nas_ev_post(loop_sync_timer, nullptr);
}

void start_sync_timer(Nas &n, bool at_once)
{
    if (n.rec.interval <= 0) {
        stop_sync_timer(n);
        return;
    }
    const double period = n.rec.interval * n.time_scale;
    post_timer(loop_sync_timer, new TimerSet{at_once ? 0.001 : period, period, ++n.sync_timer_gen});
}

int run_action(Nas &n, char action)
{
    switch (action) {
    case 'M': return mount(n);
    case 'S': start_sync_timer(n, true); return 0;
    case 'R': start_sync_timer(n, false); return 0;
    case 'T': stop_sync_timer(n); return 0;
    case 'F': release_share(n); return 0;
    case 'X': stop_sync(n); return 0;
    default: return 0;
    }
}

int run_actions(Nas &n, int from, int to)
{
    for (const char *a = kActions[from][to]; *a; ++a) {
        const int rc = run_action(n, *a);
        if (rc != 0)
            return rc;
    }
    return 0;
}

} // namespace

void set_error(Nas &n, int code)
{
    n.rec.error = code;
}

void release_share(Nas &n)
{
    nas_share_free(n.share);
    n.share = nullptr;
}

void stop_sync(Nas &n)
{
    if (!n.sync_thread)
        return;
    __atomic_store_n(&n.stop_flag, kStopRequested, __ATOMIC_RELEASE);
    collect_sync(n);
}

int nas_state_transition(Nas &n, int to)
{
    if (to < 0 || to > 4)
        return EINVAL;
    const int from = n.rec.state;
    if (from == to) {
        KO_LOGI(kModule, "state(%d) is not changed.\n", to);
        return 0;
    }
    n.rec.state = to;
    save_config(n);
    KO_LOGI(kModule, "state %d -> %d\n", from, to);
    return run_actions(n, from, to);
}

int nas_state_init(Nas &n, int state)
{
    if (state < 0 || state > 4)
        return EINVAL;
    return run_actions(n, 0, state);
}

void stop_watchers(struct ev_loop *loop, void *)
{
    ensure_timers();
    ev_timer_stop(loop, &g_sync_timer);
    ev_timer_stop(loop, &g_retry_timer);
    scan_stop(loop);
}

int armed_timers()
{
    int bits = 0;
    ko_nas_ev_call(
        [](struct ev_loop *, void *arg) {
            ensure_timers();
            int *out = static_cast<int *>(arg);
            if (ev_is_active(&g_sync_timer))
                *out |= KO_NAS_TIMER_SYNC;
            if (ev_is_active(&g_retry_timer))
                *out |= KO_NAS_TIMER_RETRY;
        },
        &bits);
    return bits;
}

} // namespace ko_nas
