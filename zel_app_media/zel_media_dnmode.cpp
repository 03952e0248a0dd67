// The ISP day/night switch, run on one worker thread so that requests take effect in the order they
// were made: a quick second request can never be overtaken by the first. A failed switch is tried
// once more after 10 s, unless a newer request arrives in that time (it supersedes the retry).
#include "zel_media.h"
#include "zel_media_state.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

using media::kTag;

namespace {

constexpr size_t kMaxPending = 8;
constexpr auto kRetryWait = std::chrono::seconds(10);

struct Worker {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<int> pending;
    bool started = false;
};

Worker &worker()
{
    static Worker *w = new Worker; // its thread lives for the process
    return *w;
}

int switch_mode(int mode)
{
    media::BoardCall call;
    return call.entered() ? set_isp_dnmode(mode) : -1;
}

void isp_dnmode_thread()
{
    pthread_setname_np(pthread_self(), "isp_dnmode");
    Worker &w = worker();
    std::unique_lock<std::mutex> l(w.lock);
    for (;;) {
        w.wake.wait(l, [&] { return !w.pending.empty(); });
        const int mode = w.pending.front();
        w.pending.pop_front();
        l.unlock();
        ZEL_LOGI(kTag, "%s():dn_mode: %d\n", "isp_dnmode_thread", mode);
        const bool failed = switch_mode(mode) != 0;
        l.lock();
        if (!failed)
            continue;
        ZEL_LOGE(kTag, "fetch_av set_isp_dnmode mode = %d fail,try again after 10s \n", mode);
        if (w.wake.wait_for(l, kRetryWait, [&] { return !w.pending.empty(); }))
            continue; // a newer request takes the retry's place
        l.unlock();
        switch_mode(mode);
        l.lock();
    }
}

} // namespace

int zel_set_isp_dnmode(int mode)
{
    if (!media::board_ready(__func__))
        return -1;
    Worker &w = worker();
    {
        std::lock_guard<std::mutex> l(w.lock);
        if (!w.started) {
            try {
                std::thread(isp_dnmode_thread).detach();
            } catch (const std::system_error &) {
                ZEL_LOGE(kTag, "Create %s error\n", "zel_set_isp_dnmode");
                return -1;
            }
            w.started = true;
        }
        if (w.pending.size() == kMaxPending) {
            ZEL_LOGW(kTag, "day/night mode %d dropped: %zu newer requests wait", w.pending.front(), kMaxPending);
            w.pending.pop_front();
        }
        w.pending.push_back(mode);
    }
    w.wake.notify_one();
    return 0;
}
