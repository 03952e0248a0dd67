// A libev loop on a thread of its own for the shared-buffer tests, with a way to run a function on
// it (watchers are only touched there) and wait for the result.
#pragma once

#include <ev.h>

#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

class LoopThread {
public:
    LoopThread() : loop_(ev_loop_new(EVFLAG_AUTO))
    {
        ev_async_init(&async_, on_async);
        async_.data = this;
        ev_async_start(loop_, &async_);
        thread_ = std::thread([this] { ev_run(loop_, 0); });
    }
    ~LoopThread()
    {
        run([this] { ev_break(loop_, EVBREAK_ALL); });
        thread_.join();
        ev_loop_destroy(loop_);
    }
    struct ev_loop *loop() { return loop_; }
    template <typename F> auto run(F f) -> decltype(f())
    {
        std::packaged_task<decltype(f())()> task(f);
        auto result = task.get_future();
        {
            std::lock_guard<std::mutex> g(m_);
            jobs_.emplace_back([&task] { task(); });
        }
        ev_async_send(loop_, &async_);
        return result.get();
    }

private:
    static void on_async(struct ev_loop *, ev_async *w, int)
    {
        auto *self = static_cast<LoopThread *>(w->data);
        std::vector<std::function<void()>> jobs;
        {
            std::lock_guard<std::mutex> g(self->m_);
            jobs.swap(self->jobs_);
        }
        for (auto &j : jobs)
            j();
    }
    struct ev_loop *loop_;
    ev_async async_{};
    std::mutex m_;
    std::vector<std::function<void()>> jobs_;
    std::thread thread_;
};
