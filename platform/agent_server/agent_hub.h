// The agent server's routing state and the operations its event loop runs: connections with their
// subscriptions and outgoing queues, and the requests forwarded to modules awaiting acknowledgement.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

struct json_object;

namespace agent_hub {

constexpr size_t MAX_CONNECTIONS = 128;
// Connections one process may hold, so that no process can take them all.
constexpr size_t MAX_CONNECTIONS_PER_PROCESS = 32;
// A connection that has said nothing the hub understands by then is closed.
constexpr int64_t SILENT_CONNECTION_MS = 5000;
// Packets read from one connection before the others get their turn.
constexpr int PACKETS_PER_TURN = 1;
constexpr size_t MAX_KEYS_PER_CONNECTION = 64;
constexpr size_t MAX_KEY_LENGTH = 63;
constexpr size_t MAX_QUEUED_PACKETS = 256;
constexpr size_t MAX_FORWARDS = 1024;
// A request whose receivers have not all answered by then is answered "FAIL".
constexpr int64_t FORWARD_TIMEOUT_MS = 10000;

struct Conn {
    uint64_t id = 0;
    int fd = -1;
    int pid = 0;               // the peer process (SO_PEERCRED)
    int64_t connected_ms = 0;
    bool spoken = false;       // has sent a text that parses
    int64_t drop_logged_ms = 0;
    unsigned drops_unlogged = 0;
    bool sdk_client = false;
    bool dead = false; // closed after the current batch of events
    bool want_out = false;
    std::unordered_set<std::string> keys;
    std::deque<std::string> out;
};

// A request forwarded under a hub-wide id, because ids are only unique per sender.
struct Forward {
    uint64_t sender = 0;
    int sender_id = 0;
    std::unordered_set<uint64_t> waiting;
    bool failed = false;
    int64_t deadline_ms = 0;
};

struct Hub {
    // Held by the event loop while it handles a batch of events, so tests can look at the state.
    std::mutex state_lock;
    int epoll_fd = -1;
    int listen_fd = -1;
    int wake_fd = -1;
    uint64_t next_conn_id = 2; // 0 and 1 tag the listening socket and the wake-up descriptor
    int next_forward_id = 1;
    std::unordered_map<uint64_t, std::unique_ptr<Conn>> conns;
    std::unordered_map<int, Forward> forwards;
    int64_t refusal_logged_ms = 0;
    unsigned refusals_unlogged = 0;
};

// Connection I/O (agent_hub_conn.cpp).
void accept_all(Hub &hub);
// Reads up to PACKETS_PER_TURN packets; the event loop comes back for the rest.
void read_some(Hub &hub, Conn &conn);
// Marks connections silent for SILENT_CONNECTION_MS dead; the milliseconds until the next one is
// due, or -1 when none is waiting.
int64_t expire_silent(Hub &hub, int64_t now_ms);
void flush_out(Hub &hub, Conn &conn);
// Queues one packet; false when the connection is dead or its queue is full (the packet is dropped).
bool send_packet(Hub &hub, Conn &conn, std::string text);
void close_dead(Hub &hub);
void close_all(Hub &hub);

// Routing (agent_hub_route.cpp).
void route_text(Hub &hub, Conn &from, json_object *value, std::string_view text);
// A connection going away: its pending acknowledgements count as failed, its own requests are dropped.
void forget_conn(Hub &hub, uint64_t conn_id);
void expire_forwards(Hub &hub, int64_t now_ms);

} // namespace agent_hub
