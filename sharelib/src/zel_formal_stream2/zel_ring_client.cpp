// The consumer thread, the copy-out and the start rules of both rings.
#include "zel_ring_client.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>

#include "zel_ring_lock.h"
#include "zelmar/zel_le.h"

namespace zel_ring {

namespace {

constexpr int kConsumerRoom = 32;
constexpr int kConsumerMax = 1024;
constexpr std::chrono::seconds kCallerWait{1};

bool shared_kind(const View &v) { return v.kind == Kind::shared; }

pthread_mutex_t *ready_mutex(const View &v)
{
    return reinterpret_cast<pthread_mutex_t *>(v.base + ready_mutex_offset());
}

pthread_cond_t *ready_cond(const View &v) { return reinterpret_cast<pthread_cond_t *>(v.base + cond_offset()); }

void free_consumer(Consumer *c)
{
    if (c->free_arg)
        c->free_arg(c->cond_arg);
    delete c;
}

} // namespace

Client::Client(const View &view, zel_sharemem_t *mem)
    : view_(view), mem_(mem), consumers_(zel_array_create(view.kind == Kind::shared ? kConsumerRoom : 128,
                                                          kConsumerMax))
{
}

Client::~Client()
{
    stop();
    for (int i = 0; i < zel_array_get_size(consumers_); i++)
        free_consumer(static_cast<Consumer *>(zel_array_get(consumers_, i)));
    zel_array_release(consumers_);
    zel_sharemem_close(mem_);
}

int Client::start()
{
    if (running_.exchange(true))
        return 0;
    thread_ = std::thread([this] {
        thread_id_ = std::this_thread::get_id();
        shared_kind(view_) ? run_shared() : run_prerecord();
    });
    return 0;
}

int Client::stop()
{
    if (!thread_.joinable())
        return 0;
    if (shared_kind(view_)) {
        std::lock_guard<std::mutex> g(sleep_mutex_);
        running_ = false;
        sleep_cv_.notify_all();
    } else {
        // Under the "frame ready" mutex, so the thread either sees the flag or gets the broadcast.
        int got = mutex_lock(ready_mutex(view_), -1, "prebuf cli: frame ready lock dead, restore it\n");
        running_ = false;
        pthread_cond_broadcast(ready_cond(view_));
        if (got >= 0)
            mutex_unlock(ready_mutex(view_));
    }
    thread_.join();
    return 0;
}

int Client::lock_ring()
{
    if (shared_kind(view_) && lock_type_ != 0) {
        if (!mem_)
            return 0;
        while (record_lock(mem_->fd, false, 1) != 0)
            if (!running_)
                return -1;
        return 0;
    }
    const char *dead = shared_kind(view_) ? "sharebuf cli: rwlock dead, restore it\n"
                                          : "prebuf cli: rwlock dead, restore it\n";
    // The client's thread waits while it runs; a caller registering a consumer gives up after a
    // second (another process stopped while it held the lock).
    bool own = thread_id_.load() == std::this_thread::get_id();
    auto give_up = std::chrono::steady_clock::now() + kCallerWait;
    for (;;) {
        int got = mutex_lock(view_.mutex(), 1, dead);
        if (got >= 0)
            return got;
        if (own ? !running_ : std::chrono::steady_clock::now() >= give_up)
            return -1;
    }
}

void Client::unlock_ring()
{
    if (shared_kind(view_) && lock_type_ != 0) {
        if (mem_)
            record_unlock(mem_->fd);
        return;
    }
    mutex_unlock(view_.mutex());
}

int Client::add(Consumer *c, Start start, int64_t value)
{
    if (!c || (!c->frame && !c->video && !c->audio)) {
        delete c;
        return -1;
    }
    std::lock_guard<std::mutex> g(list_mutex_);
    if (lock_ring() < 0) {
        delete c;
        return -1;
    }
    State s;
    bool ok = read_state(view_, &s);
    if (ok) {
        if (start == Start::newest) {
            c->next = s.sequence;
        } else if (start == Start::oldest) {
            c->next = 0;
        } else {
            uint64_t time = static_cast<uint64_t>(value);
            if (start == Start::relative) {
                uint64_t newest = s.count ? read_entry(view_, s.tail).time : 0;
                uint64_t back = static_cast<uint64_t>(value) * 1000;
                time = newest > back ? newest - back : 0;
            }
            bool found;
            c->next = start_sequence(view_, s, time, &found);
            if (!found)
                fprintf(stderr, "[%s] no key frame in buffer, using the latest one\n",
                        "get_nearby_keyframe_by_timestamp");
        }
    }
    unlock_ring();
    if (!ok || zel_array_enqueue(consumers_, c) != 0) {
        delete c;
        return -1;
    }
    if (!shared_kind(view_)) { // the thread may sleep until the next frame: serve the newcomer now
        int got = mutex_lock(ready_mutex(view_), -1, "prebuf cli: frame ready lock dead, restore it\n");
        kick_ = true;
        pthread_cond_broadcast(ready_cond(view_));
        if (got >= 0)
            mutex_unlock(ready_mutex(view_));
    }
    return 0;
}

int Client::unregister(void *user, bool sync)
{
    bool inside = thread_id_.load() == std::this_thread::get_id();
    std::unique_lock<std::mutex> g(list_mutex_, std::defer_lock);
    if (!inside)
        g.lock(); // waits for a pass, and so for a callback that is running
    for (int i = 0; i < zel_array_get_size(consumers_); i++) {
        auto *c = static_cast<Consumer *>(zel_array_get(consumers_, i));
        if (c->user != user || c->removed)
            continue;
        if (sync && !inside) {
            zel_array_remove(consumers_, i);
            free_consumer(c);
        } else {
            c->removed = true;
            purge_ = true;
        }
        return 0;
    }
    return -1;
}

void Client::purge()
{
    if (!purge_)
        return;
    for (int i = zel_array_get_size(consumers_); i-- > 0;) {
        auto *c = static_cast<Consumer *>(zel_array_get(consumers_, i));
        if (c->removed)
            free_consumer(static_cast<Consumer *>(zel_array_remove(consumers_, i)));
    }
    purge_ = false;
}

uint64_t Client::current_sequence()
{
    uint64_t seq = 0;
    if (lock_ring() < 0)
        return 0;
    seq = zel_get_le64(view_.base + kSequence);
    unlock_ring();
    return seq;
}

void Client::deliver(Consumer *c, const Copied &f)
{
    delivered_++;
    const uint8_t *header = copy_.data() + f.at;
    const uint8_t *payload = header + f.entry.header_len;
    if (c->frame)
        c->frame(f.entry.time, f.entry.type, header, f.entry.header_len, payload, f.entry.payload_len, c->user);
    else if (f.entry.media && c->video)
        c->video(f.entry.time, f.entry.type, header, f.entry.header_len, payload, f.entry.payload_len, c->user);
    else if (!f.entry.media && c->audio)
        c->audio(f.entry.time, header, f.entry.header_len, payload, f.entry.payload_len, c->user);
}

// Copies up to the consumer's count of frames from its place, then calls it back unlocked.
bool Client::serve(Consumer *c)
{
    copy_.clear();
    copied_.clear();
    if (lock_ring() < 0)
        return false;
    State s;
    bool more = false;
    if (read_state(view_, &s)) {
        if (c->next > s.sequence)
            c->next = 0; // the ring was emptied and restarted: take it from its oldest frame
        uint32_t k = find_sequence(view_, s, c->next);
        bool exact = k < s.count && read_entry(view_, index_of(view_, s, k)).sequence == c->next;
        if (k < s.count && !exact && shared_kind(view_)) {
            while (k < s.count && read_entry(view_, index_of(view_, s, k)).type != ZEL_SHAREBUF_KEY_FRAME)
                k++;
            if (k == s.count && !c->warned) {
                fprintf(stderr, "no suitable I frame in queue, consumer frame no: %lld\n",
                        static_cast<long long>(c->next));
                c->warned = true;
            }
        }
        for (uint32_t n = 0; k < s.count && n < c->per_pass; k++) {
            Entry e = read_entry(view_, index_of(view_, s, k));
            c->next = e.sequence + 1;
            if (!entry_fits(view_, e))
                continue; // a damaged entry from another process: skipped, never read
            size_t at = copy_.size();
            const uint8_t *bytes = view_.data() + e.offset;
            copy_.insert(copy_.end(), bytes, bytes + e.header_len + e.payload_len);
            copied_.push_back({e, at});
            n++;
        }
        more = !copied_.empty() && c->next < s.sequence;
    }
    unlock_ring();
    for (const Copied &f : copied_) {
        c->warned = false;
        if (c->removed)
            break;
        deliver(c, f);
    }
    return more;
}

void Client::serve_conditional(Consumer *c)
{
    // The headers are copied first; a frame is copied only once its condition accepts it.
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> headers;
    if (lock_ring() < 0)
        return;
    State s;
    if (read_state(view_, &s)) {
        uint32_t k = find_sequence(view_, s, c->next);
        if (k == s.count && !c->warned) {
            fprintf(stderr, "no suitable frame in queue, consumer frame no: %lld\n",
                    static_cast<long long>(c->next));
            c->warned = true;
        }
        for (; k < s.count; k++) {
            Entry e = read_entry(view_, index_of(view_, s, k));
            if (entry_fits(view_, e))
                headers.emplace_back(e.sequence, std::vector<uint8_t>(view_.data() + e.offset,
                                                                      view_.data() + e.offset + e.header_len));
        }
    }
    unlock_ring();
    for (auto &[sequence, header] : headers) {
        c->warned = false;
        if (c->removed || c->condition(header.data(), static_cast<uint32_t>(header.size()), c->cond_arg) != 0)
            continue;
        // Delivered only when still held under that sequence.
        copy_.clear();
        copied_.clear();
        if (lock_ring() < 0)
            return;
        State now;
        if (read_state(view_, &now)) {
            uint32_t k = find_sequence(view_, now, sequence);
            if (k < now.count) {
                Entry e = read_entry(view_, index_of(view_, now, k));
                if (e.sequence == sequence && entry_fits(view_, e)) {
                    copy_.assign(view_.data() + e.offset, view_.data() + e.offset + e.header_len + e.payload_len);
                    copied_.push_back({e, 0});
                }
            }
        }
        unlock_ring();
        if (copied_.empty())
            continue;
        deliver(c, copied_[0]);
        if (c->once) {
            c->removed = true;
            purge_ = true;
            return;
        }
    }
}

bool Client::pass()
{
    std::lock_guard<std::mutex> g(list_mutex_);
    purge();
    bool pending = false;
    for (int i = 0; i < zel_array_get_size(consumers_) && running_; i++) {
        auto *c = static_cast<Consumer *>(zel_array_get(consumers_, i));
        if (c->removed)
            continue;
        if (c->condition)
            serve_conditional(c);
        else
            pending |= serve(c);
    }
    return pending;
}

void Client::run_shared()
{
    // Idle passes back off from 50 us to the pass interval: a burst is followed closely, a quiet
    // ring costs a wake-up per interval.
    unsigned idle = 0;
    while (running_) {
        uint64_t before = delivered_;
        if (pass())
            continue; // frames are waiting: a consumer never falls behind by one frame per interval
        idle = delivered_ != before ? 0 : idle + 1;
        uint64_t wait_us = idle < 10 ? 50ull << idle : interval_us_.load();
        if (wait_us > interval_us_.load())
            wait_us = interval_us_.load();
        std::unique_lock<std::mutex> g(sleep_mutex_);
        sleep_cv_.wait_for(g, std::chrono::microseconds(wait_us), [this] { return !running_; });
    }
}

void Client::run_prerecord()
{
    while (running_) {
        uint64_t seen = current_sequence();
        if (pass())
            continue;
        if (mutex_lock(ready_mutex(view_), -1, "prebuf cli: frame ready lock dead, restore it\n") < 0)
            return;
        while (running_ && !kick_ && current_sequence() == seen)
            if (pthread_cond_wait(ready_cond(view_), ready_mutex(view_)) == EOWNERDEAD) {
                fputs("prebuf cli: frame ready lock dead, restore it\n", stderr);
                pthread_mutex_consistent(ready_mutex(view_));
            }
        kick_ = false;
        mutex_unlock(ready_mutex(view_));
    }
}

} // namespace zel_ring
