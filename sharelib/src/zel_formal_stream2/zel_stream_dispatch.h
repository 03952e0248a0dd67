// The dispatcher of stream dispatch: bounded frame queues per stream (main, sub, audio) and the
// thread that merges them by time stamp, or the pull interface that takes their heads. Only the
// queues that take part (enabled streams the mode keeps) hold delivery back.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "zel_control/thread/zel_semaphore.h"
#include "zel_stream.h"

namespace zel_stream_internal {

class Dispatcher {
public:
    Dispatcher(zel_stream_frame_cb callback, void *user, bool pull);
    ~Dispatcher();
    Dispatcher(const Dispatcher &) = delete;
    Dispatcher &operator=(const Dispatcher &) = delete;

    int start();
    void stop(); // stops and joins the thread; the callback is not called again
    // Which queues take part; a queue leaving is emptied.
    void set_participants(bool main, bool sub, bool audio);
    // 0, or -1 when the queue is full or does not take part (the frame is freed).
    int push(int stream, shbf_frame_t *frame);
    void clear();
    int seek_key(int stream);
    shbf_frame_t *pull(int stream, int kind);

private:
    void run();
    bool deliver_one();
    void drop_queue(int stream);
    int64_t now_ms();

    zel_stream_frame_cb callback_;
    void *user_;
    bool pull_;
    std::mutex m_;
    std::shared_mutex rw_;
    semaphore_t *sem_ = nullptr;
    std::deque<shbf_frame_t *> q_[3];
    bool takes_part_[3] = {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    bool aligned_[2] = {};
};

} // namespace zel_stream_internal
