// The RPC link's one instance, shared by its thread, its parser and its bus handlers.
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "app/rpc/ko_rpc.h"
#include "app/rpc/ko_rpc_framer.h"
#include "app/rpc/ko_rpc_idmap.h"
#include "common/utils/ko_thread.h"

namespace ko_rpc {

constexpr const char *kModule = "KO RPC";
constexpr int kDefaultPort = 54322;
constexpr size_t kInnerSlots = 64;
constexpr size_t kInnerNameMax = 31;
constexpr uint32_t kMaxMessageLen = 4132;
// Bytes a link holds for a daemon that is slow to read; a message that would go beyond is refused.
constexpr size_t kOutQueueMax = 64 * 1024;
// A daemon that has taken nothing of a waiting output for this long is not reading: the link is
// dropped and connected afresh.
constexpr uint64_t kStallMs = 5000;

enum LinkId { kInternal = 0, kRpc = 1 };
enum Direction { kUp = 0, kDown = 1 };

struct Link {
    int fd = -1;
    Framer framer;
    std::string out;               // accepted for the daemon, not yet taken by the socket
    uint64_t last_drain_ms = 0;    // when the socket last took bytes of `out` (while it is not empty)
    uint64_t reconnect_at_ms = 0;  // a link dropped for cause is not connected again before this
};

// Counters in report order; relaxed atomics, since the report reads them from another thread.
struct Counters {
    std::array<std::atomic<uint32_t>, 18> values{};
    enum Index {
        iner_fd_msg, rpc_fd_msg, parse_err, net_recv_err, rpc_down, down_ack, down_cmd, rpc_up, up_ack, up_cmd,
        rpc_send, rpc_send_err, rpc_reg_count, rpc_inner_max, step1, step2, step3, step4
    };
    void add(Index i, int32_t n = 1) { values[i].fetch_add(static_cast<uint32_t>(n), std::memory_order_relaxed); }
    void set(Index i, uint32_t v) { values[i].store(v, std::memory_order_relaxed); }
};
extern const char *const kCounterNames[18];

struct Module {
    std::mutex mutex; // the link mutex: receives, parses (both ways), sends, the id map, the inner table
    bool initialised = false;
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    std::array<Link, 2> links;
    std::array<std::string, kInnerSlots> inner; // empty = free slot
    IdMap ids;
    ko_thread *thread = nullptr;
    int wake[2] = {-1, -1}; // a pipe that ends the thread's waits: at stop, or when output is waiting
    unsigned connect_failures = 0; // drives the reconnect delay, which never shrinks again
    uint32_t refused = 0;          // messages refused because an output queue was full
    uint32_t refused_unlogged = 0;
    uint64_t refused_logged_ms = 0;
    Counters counters;
};

Module &module();

// The daemon's TCP port: ZELMAR_DAEMON_PORT when set to a valid port, else 54322.
int daemon_port();
// Ends the link thread's current wait (to stop, or to wait for room for new output).
void wake_link_thread(Module &m);
// Thread entry of "rpc_mg".
void *link_loop(void *arg);
// Queues text for a link without waiting; the caller holds the link mutex. 0, or -1: the link is
// closed, its output queue is full (the text is refused), or the socket failed (the link is shut
// down and the loop reconnects it).
int send_on_link(Module &m, LinkId id, const char *text, size_t len);
// Handles every JSON object in text, as coming down from the daemon or up from the module named by
// user_name; the caller holds the link mutex. The bytes consumed, or -1.
int parse_msg(Module &m, const char *text, size_t len, Direction direction, const char *user_name);
bool is_inner_method(const Module &m, const char *method);

} // namespace ko_rpc
