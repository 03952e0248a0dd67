// The ring's control blocks and the lock-free publication rules shared by its writer, readers,
// look-ups and statistics.
//
// Memory model: the writer owns the data area and the nodes; readers never write them. Before the
// writer touches any byte it stores `reserved` (the absolute end of the bytes it may write) and then
// issues a release fence; it fills the frame's bytes and node, and publishes the node with a release
// store of its sequence number and then of `frame_count`. Absolute byte positions count every byte
// the writer ever passed (padding and the unused end of the area included), so a position modulo
// the data-area size is the offset. A reader that copied a frame at position p issues an acquire
// fence and loads `reserved`: the bytes were intact if it is at most p + pool_size. Node records
// are read the same way against their own sequence number (0 while being rewritten). All shared
// bytes and node fields are accessed with relaxed atomics, so nothing is a data race.
#pragma once

#include <algorithm>
#include <atomic>
#include <stdint.h>

#include "common/ringbuffer/ko_ringbuffer.h"

#define KO_RINGBUF_MODULE "KO RINGBUF"

namespace ko_ringbuf {

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer does not model standalone fences; under it every shared byte and node field is read
// with acquire and written with release instead, which orders at least as strongly.
constexpr int kDataLoad = __ATOMIC_ACQUIRE;
constexpr int kDataStore = __ATOMIC_RELEASE;
inline void fence_acquire() {}
inline void fence_release() {}
#else
constexpr int kDataLoad = __ATOMIC_RELAXED;
constexpr int kDataStore = __ATOMIC_RELAXED;
inline void fence_acquire() { std::atomic_thread_fence(std::memory_order_acquire); }
inline void fence_release() { std::atomic_thread_fence(std::memory_order_release); }
#endif

// The publication above needs single-copy atomic 64-bit loads and stores (LDREXD/STREXD on 32-bit ARM),
// never a lock inside libatomic that a reader could interrupt half-way.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "64-bit atomics must be lock-free on the target");
static_assert(__atomic_always_lock_free(sizeof(uint64_t), 0), "64-bit node fields must be accessed lock-free");

template <class T> inline T ld(const T &v) { return __atomic_load_n(&v, kDataLoad); }
template <class T> inline T ld_acquire(const T &v) { return __atomic_load_n(&v, __ATOMIC_ACQUIRE); }
template <class T> inline void st(T &v, T x) { __atomic_store_n(&v, x, kDataStore); }
template <class T> inline void st_release(T &v, T x) { __atomic_store_n(&v, x, __ATOMIC_RELEASE); }

using word_t = uintptr_t;
constexpr uint32_t kWord = sizeof(word_t);
inline uint32_t align_word(uint32_t n) { return (n + kWord - 1) & ~(kWord - 1); }

// One frame node; written by the writer only.
struct ring_node {
    uint64_t seq; // 64-bit sequence number; 0 = never written or being rewritten
    uint64_t pos; // absolute byte position of the frame's first byte
    uint64_t timestamp_us;
    uint32_t size;
    uint32_t frame_type;
    uint32_t frame_tag;
};

// A consistent copy of a node.
struct node_snap {
    uint64_t seq;
    uint64_t pos;
    uint64_t timestamp_us;
    uint32_t size;
    uint32_t frame_type;
    uint32_t frame_tag;
    uint32_t index;
};

// Guard slots: one per reader number, then the writer, then the look-ups.
enum { kSlotWriter = KO_RINGBUF_READERS, kSlotLookup = KO_RINGBUF_READERS + 1, kSlots };

struct alignas(64) ko_ringbuf_slot {
    // Reader cursor: the sequence number the reader gets next (its node is want % node_num);
    // 0 = cleared, which makes the next read resynchronise.
    std::atomic<uint64_t> want{0};
    // Monotonic ms of the last key-frame request of a non-waiting read (0 none pending).
    std::atomic<uint64_t> key_asked_ms{0};
    // Threads inside the channel under this slot; ringbuffer_free waits for 0.
    std::atomic<uint32_t> users{0};
};

struct ko_ringbuf_channel {
    std::atomic<uint8_t> inited{0};
    // Set at init, constant while inited.
    word_t *pool = nullptr;
    uint32_t pool_size = 0;
    uint32_t node_num = 0;
    ring_node *nodes = nullptr;
    uint32_t fps = 0;
    uint32_t bitrate = 0;
    uint32_t seconds = 0;
    uint32_t gop = 0;
    uint32_t max_frame_size = 0;
    uint32_t key_wait_ms = 0;
    bool video = false;
    ko_force_iframe_fn force_iframe = nullptr;
    // Writer only.
    uint32_t tail = 0;
    uint64_t write_pos = 0; // absolute position of `tail`
    // Published by the writer.
    alignas(64) std::atomic<uint64_t> frame_count{0}; // sequence number of the newest node
    std::atomic<uint64_t> last_key_seq{0};            // sequence number of the newest key frame
    std::atomic<uint64_t> reserved{0};
    std::atomic<uint32_t> bitrate_avg{0};
    ko_ringbuf_slot slot[kSlots];
};

extern ko_ringbuf_channel g_chn[KO_STREAM_CHN_MAX];

inline bool is_video_channel(unsigned chn) { return chn != 3 && chn != 4 && chn != 8; }
inline uint32_t node_of(const ko_ringbuf_channel &c, uint64_t seq) { return (uint32_t)(seq % c.node_num); }
// Frames a reader may trail the newest by before it counts as lagging: all but a second of the
// nodes, half of a one-second ring.
inline uint32_t lag_frames(const ko_ringbuf_channel &c) { return c.node_num - std::min(c.fps, c.node_num / 2); }

// Enters a channel under one slot; ok() tells whether it is set up. While any guard is held the
// channel's memory stays allocated.
class channel_guard {
public:
    channel_guard(ko_ringbuf_channel &c, unsigned slot) : c_(c), slot_(slot)
    {
        c_.slot[slot_].users.fetch_add(1, std::memory_order_seq_cst);
        ok_ = c_.inited.load(std::memory_order_seq_cst) != 0;
    }
    ~channel_guard() { c_.slot[slot_].users.fetch_sub(1, std::memory_order_release); }
    channel_guard(const channel_guard &) = delete;
    channel_guard &operator=(const channel_guard &) = delete;
    bool ok() const { return ok_; }
    // Still set up (a freeing thread clears the flag first, then waits for the guards).
    bool alive() const { return c_.inited.load(std::memory_order_seq_cst) != 0; }

private:
    ko_ringbuf_channel &c_;
    unsigned slot_;
    bool ok_;
};

// Consistent copy of node `index`; false when it is being rewritten meanwhile.
bool snap_node(const ko_ringbuf_channel &c, uint32_t index, node_snap *out);
// The newest node (frame_count > 0 required); false when the writer lapped the reader meanwhile.
bool snap_head(const ko_ringbuf_channel &c, node_snap *out);
// Copies a frame's bytes out; false when the writer reached them during the copy.
bool copy_frame(const ko_ringbuf_channel &c, const node_snap &n, void *dst);
void fill_frame(const node_snap &n, void *data, ko_av_frame *out);
// Readiness without logging: 0, -8, -1 or -10.
int readiness(unsigned chn);
// Logs a readiness code other than 0 as ringbuffer_is_ready does; returns it.
int log_readiness(unsigned chn, int rc);

} // namespace ko_ringbuf
