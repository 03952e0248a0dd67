// The media app's run state and the gate around its board calls.
#include "zel_media_state.h"

#include "zel_media.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace media {

std::atomic<int> board_av_init_over{0};
std::atomic<int> media_thread_running{0};

namespace {

struct Gate {
    std::mutex lock;
    std::condition_variable stopping; // the loops' pauses end early
    std::condition_variable left;     // a call or a loop ended while the stop waits
    bool closing = false;
    int calls = 0; // inside the board library
    int loops = 0; // fetch and OSD loops alive
};

Gate &gate()
{
    static Gate *g = new Gate; // detached threads may still leave it at exit
    return *g;
}

} // namespace

bool loops_running()
{
    return media_thread_running.load() && gs_zelmar_app_running;
}

bool pause_ms(int ms)
{
    Gate &g = gate();
    std::unique_lock<std::mutex> l(g.lock);
    return !g.stopping.wait_for(l, std::chrono::milliseconds(ms), [] { return !media_thread_running.load(); });
}

bool reloading()
{
    return __atomic_load_n(&dev_status.reloading, __ATOMIC_ACQUIRE) != 0;
}

BoardCall::BoardCall()
{
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.lock);
    entered_ = !g.closing;
    if (entered_)
        ++g.calls;
}

BoardCall::~BoardCall()
{
    if (!entered_)
        return;
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.lock);
    if (--g.calls == 0 && g.closing)
        g.left.notify_all();
}

LoopThread::LoopThread()
{
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.lock);
    ++g.loops;
}

LoopThread::~LoopThread()
{
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.lock);
    if (--g.loops == 0 && g.closing)
        g.left.notify_all();
}

void open_board()
{
    Gate &g = gate();
    std::lock_guard<std::mutex> l(g.lock);
    g.closing = false;
}

bool close_board(std::chrono::milliseconds limit)
{
    Gate &g = gate();
    std::unique_lock<std::mutex> l(g.lock);
    media_thread_running = 0;
    board_av_init_over = 0;
    g.closing = true;
    g.stopping.notify_all();
    return g.left.wait_for(l, limit, [&] { return g.calls == 0 && g.loops == 0; });
}

void end_process()
{
    board_system_exit();
    zel_log_uninit();
    fflush(nullptr);
    _exit(255);
}

bool board_ready(const char *func)
{
    if (board_av_init_over.load())
        return true;
    zel_log_queue_output(nullptr, ZEL_LOG_ERROR, kTag, __FILE__, func, __LINE__, "media no init, pls check\n");
    return false;
}

} // namespace media
