// The consumer side common to both rings: a list of consumers, each with its own place in the
// sequence, served by one thread per client. Frames are copied out under the ring lock and handed to
// the callbacks after it is released, so neither a slow callback nor a stopped consumer process holds
// the producer; the list mutex is held across the callbacks so that a synchronous unregister waits
// for a running one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "zel_control/container/zel_array.h"
#include "zel_ring_layout.h"
#include "zel_sharebuf.h"
#include "zel_sharemem.h"

namespace zel_ring {

struct Consumer {
    zel_sharebuf_frame_cb frame = nullptr;
    zel_prebuf_video_cb video = nullptr;
    zel_prebuf_audio_cb audio = nullptr;
    void *user = nullptr;
    bool removed = false;
    bool warned = false;
    uint32_t per_pass = 1;
    uint64_t next = 0;
    zel_sharebuf_cond_cb condition = nullptr;
    void *cond_arg = nullptr;
    zel_sharebuf_free_fn free_arg = nullptr;
    bool once = false;
};

// A frame copied out of the ring.
struct Copied {
    Entry entry;
    size_t at; // offset of its header bytes in the client's copy buffer
};

class Client {
public:
    Client(const View &view, zel_sharemem_t *mem);
    ~Client(); // stops the thread, frees consumers and closes the mapping it owns

    int start();
    int stop();
    // Adds a consumer whose start is found under the ring lock: by time (from_time), or at the next
    // sequence to be written (from_newest), or before the oldest frame.
    enum class Start { time, relative, newest, oldest };
    int add(Consumer *consumer, Start start, int64_t value);
    int unregister(void *user, bool sync);
    void set_interval_us(uint32_t us) { interval_us_ = us; }
    void set_lock_type(int type) { lock_type_ = type; }

private:
    void run_shared();
    void run_prerecord();
    // One pass over all consumers; true when a consumer was served and has more frames waiting.
    bool pass();
    bool serve(Consumer *c);
    void serve_conditional(Consumer *c);
    void deliver(Consumer *c, const Copied &f);
    void purge();
    // 0 or 1 (taken), -1 (stopped or failed).
    int lock_ring();
    void unlock_ring();
    uint64_t current_sequence();

    View view_;
    zel_sharemem_t *mem_;
    int lock_type_ = 0;
    std::atomic<bool> running_{false};
    bool kick_ = false; // under the "frame ready" mutex: a consumer was added
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
    std::mutex list_mutex_;
    zel_array_t *consumers_;
    bool purge_ = false;
    std::atomic<uint32_t> interval_us_{25000};
    uint64_t delivered_ = 0; // frames handed to callbacks, on the client's thread
    std::mutex sleep_mutex_;
    std::condition_variable sleep_cv_;
    std::vector<uint8_t> copy_;
    std::vector<Copied> copied_;
};

} // namespace zel_ring
