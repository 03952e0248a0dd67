// The "nas_ev" loop thread and its hand-over queue (see ko_nas_ev.h).
#include "app/nas/ko_nas_ev.h"

#include <ev.h>
#include <signal.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "common/utils/ko_log.h"
#include "common/utils/ko_thread.h"

namespace {

constexpr const char *kModule = "KO NAS";

struct Call {
    ko_nas_ev_fn fn;
    void *arg;
    bool *done; // set under the lock once run, for ko_nas_ev_call
};

struct Loop {
    std::mutex lock;
    std::condition_variable ran; // a waited-for call ran, or the loop ended
    std::deque<Call> queue;
    bool stopping = false;       // from the stop request until the thread is joined
    bool async_live = false;     // the async watcher is started: posts may wake the loop
    bool ended = true;
    ko_thread *thread = nullptr;
    std::thread::id loop_id;
    struct ev_loop *loop = nullptr;
    ev_async wake;
    ev_timer guard;
};

Loop g_loop;

void run_queue(struct ev_loop *loop, ev_async *, int)
{
    for (;;) {
        Call call;
        {
            std::lock_guard<std::mutex> hold(g_loop.lock);
            if (g_loop.queue.empty())
                return;
            call = g_loop.queue.front();
            g_loop.queue.pop_front();
        }
        call.fn(loop, call.arg);
        if (call.done) {
            std::lock_guard<std::mutex> hold(g_loop.lock);
            *call.done = true;
            g_loop.ran.notify_all();
        }
    }
}

void guard_cb(struct ev_loop *, ev_timer *, int) {}

void *nas_ev_thread(void *)
{
    struct ev_loop *loop = g_loop.loop;
    ev_timer_init(&g_loop.guard, guard_cb, 1.0, 1.0);
    ev_timer_start(loop, &g_loop.guard);
    ev_async_init(&g_loop.wake, run_queue);
    ev_async_start(loop, &g_loop.wake);
    {
        std::lock_guard<std::mutex> hold(g_loop.lock);
        g_loop.loop_id = std::this_thread::get_id();
        g_loop.async_live = true;
    }
    // What was posted before the watcher existed runs first.
    ev_async_send(loop, &g_loop.wake);
    ev_run(loop, 0);
    KO_LOGI(kModule, "ev runner exit!\n");
    ev_timer_stop(loop, &g_loop.guard);
    ev_async_stop(loop, &g_loop.wake);
    {
        std::lock_guard<std::mutex> hold(g_loop.lock);
        g_loop.async_live = false;
        g_loop.ended = true;
        g_loop.loop_id = std::thread::id();
        for (const Call &call : g_loop.queue)
            if (call.done)
                *call.done = true;
        g_loop.queue.clear();
        g_loop.ran.notify_all();
    }
    ev_loop_destroy(loop);
    return nullptr;
}

struct BreakRequest {
    ko_nas_ev_fn before;
    void *arg;
};

void break_loop(struct ev_loop *loop, void *p)
{
    auto *request = static_cast<BreakRequest *>(p);
    if (request->before)
        request->before(loop, request->arg);
    KO_LOGI(kModule, "ev break. start exit.\n");
    ev_break(loop, EVBREAK_ALL);
}

int enqueue(ko_nas_ev_fn fn, void *arg, bool *done, bool internal)
{
    if (!fn)
        return -1;
    std::lock_guard<std::mutex> hold(g_loop.lock);
    if (internal ? g_loop.ended : g_loop.stopping) {
        KO_LOGW(kModule, "nas_ev is not running: call dropped\n");
        return -1;
    }
    if (g_loop.queue.size() >= KO_NAS_EV_QUEUE_MAX) {
        KO_LOGE(kModule, "nas_ev hand-over queue is full (%d): call dropped\n", KO_NAS_EV_QUEUE_MAX);
        return -1;
    }
    g_loop.queue.push_back(Call{fn, arg, done});
    if (g_loop.async_live)
        ev_async_send(g_loop.loop, &g_loop.wake);
    return 0;
}

int call_and_wait(ko_nas_ev_fn fn, void *arg, bool internal)
{
    if (ko_nas_ev_on_loop()) {
        fn(g_loop.loop, arg);
        return 0;
    }
    bool done = false;
    if (enqueue(fn, arg, &done, internal) != 0)
        return -1;
    std::unique_lock<std::mutex> hold(g_loop.lock);
    g_loop.ran.wait(hold, [&] { return done; });
    return 0;
}

} // namespace

int ko_nas_ev_start(void)
{
    std::lock_guard<std::mutex> hold(g_loop.lock);
    if (!g_loop.ended || g_loop.thread) {
        KO_LOGE(kModule, "nas_ev runs already\n");
        return -1;
    }
    g_loop.loop = ev_default_loop(0);
    if (!g_loop.loop) {
        KO_LOGE(kModule, "default event loop cannot be made\n");
        return -1;
    }
    // The default loop catches SIGCHLD and reaps every child of the process, so that popen and system
    // callers would lose their command's status. Nothing here waits for a child: the signal keeps its
    // default action.
    signal(SIGCHLD, SIG_DFL);
    g_loop.ended = false;
    ko_thread_attr attr;
    std::memset(&attr, 0, sizeof attr);
    std::strncpy(attr.name, "nas_ev", sizeof attr.name - 1);
    g_loop.thread = ko_thread_run(&attr, nas_ev_thread, nullptr);
    if (!g_loop.thread) {
        KO_LOGE(kModule, "nas_ev thread cannot be started\n");
        g_loop.ended = true;
        ev_loop_destroy(g_loop.loop);
        g_loop.loop = nullptr;
        return -1;
    }
    return 0;
}

int ko_nas_ev_stop(ko_nas_ev_fn before_break, void *arg)
{
    ko_thread *thread;
    {
        std::lock_guard<std::mutex> hold(g_loop.lock);
        if (!g_loop.thread || g_loop.stopping)
            return -1;
        g_loop.stopping = true;
        thread = g_loop.thread;
    }
    if (ko_nas_ev_on_loop()) {
        KO_LOGE(kModule, "nas_ev cannot stop itself\n");
        return -1;
    }
    BreakRequest request{before_break, arg};
    call_and_wait(break_loop, &request, true);
    ko_thread_destory(thread);
    std::lock_guard<std::mutex> hold(g_loop.lock);
    g_loop.thread = nullptr;
    g_loop.loop = nullptr;
    g_loop.stopping = false;
    return 0;
}

int ko_nas_ev_post(ko_nas_ev_fn fn, void *arg)
{
    return enqueue(fn, arg, nullptr, false);
}

int ko_nas_ev_call(ko_nas_ev_fn fn, void *arg)
{
    if (!fn)
        return -1;
    return call_and_wait(fn, arg, false);
}

int ko_nas_ev_on_loop(void)
{
    std::lock_guard<std::mutex> hold(g_loop.lock);
    return g_loop.loop_id != std::thread::id() && g_loop.loop_id == std::this_thread::get_id() ? 1 : 0;
}

int ko_nas_ev_running(void)
{
    std::lock_guard<std::mutex> hold(g_loop.lock);
    return g_loop.async_live ? 1 : 0;
}
