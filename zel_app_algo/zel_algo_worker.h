// A worker thread of the algorithm app that runs at most once: a start while it runs changes
// nothing, a start while it is being stopped waits for the stop, and the stop joins it, so that
// whatever the stop does afterwards comes after the worker's last operation.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace algo {

class Worker {
public:
    // Runs `body` on a new thread unless one runs; `prepare` runs first, only when a thread starts;
    // `handle` (when given) is set to the new thread's under the worker's lock. 0 (also when it runs
    // already), or the thread error.
    int start(void (*body)(), const std::function<void()> &prepare = {}, pthread_t *handle = nullptr);
    // For the body: sleeps `period` or until asked to stop; false once asked to stop.
    bool pause(std::chrono::milliseconds period);
    // Asks the body to stop and joins it, then runs `after` before any new start. False (nothing
    // run) when no worker ran.
    bool stop(const std::function<void()> &after = {});

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool run_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace algo
