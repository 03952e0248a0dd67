// The algorithm app's single-instance worker threads.
#include "zel_algo_worker.h"

#include <system_error>

namespace algo {

int Worker::start(void (*body)(), const std::function<void()> &prepare, pthread_t *handle)
{
    std::unique_lock<std::mutex> g(lock_);
    wake_.wait(g, [&] { return !stopping_; });
    if (thread_.joinable())
        return 0;
    if (prepare)
        prepare();
    run_ = true;
    try {
        thread_ = std::thread(body);
    } catch (const std::system_error &e) {
        run_ = false;
        return e.code().value() ? e.code().value() : -1;
    }
    if (handle)
        *handle = thread_.native_handle();
    return 0;
}

bool Worker::pause(std::chrono::milliseconds period)
{
    std::unique_lock<std::mutex> g(lock_);
    wake_.wait_for(g, period, [&] { return !run_; });
    return run_;
}

bool Worker::stop(const std::function<void()> &after)
{
    std::unique_lock<std::mutex> g(lock_);
    wake_.wait(g, [&] { return !stopping_; });
    if (!thread_.joinable())
        return false;
    run_ = false;
    stopping_ = true;
    std::thread t = std::move(thread_);
    g.unlock();
    wake_.notify_all();
    t.join();
    g.lock();
    if (after)
        after();
    stopping_ = false;
    g.unlock();
    wake_.notify_all();
    return true;
}

} // namespace algo
