// Feeds the agent server's router a sequence of packets from four module connections (socket
// pairs): each packet is one byte naming the sender, two bytes of length, then its texts. The
// connections are drained after each packet, and one may drop, as a module that goes away.
#include "agent_hub.h"
#include "zel_app_agent_client/agent_wire.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

constexpr int kConns = 4;

struct Bench {
    agent_hub::Hub hub;
    int peer[kConns] = {};

    Bench()
    {
        hub.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        if (hub.epoll_fd < 0)
            abort();
        for (int i = 0; i < kConns; ++i) {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
                abort();
            auto conn = std::make_unique<agent_hub::Conn>();
            conn->id = hub.next_conn_id++;
            conn->fd = pair[0];
            epoll_event ev = {};
            ev.events = EPOLLIN;
            ev.data.u64 = conn->id;
            if (epoll_ctl(hub.epoll_fd, EPOLL_CTL_ADD, pair[0], &ev) != 0)
                abort();
            hub.conns.emplace(conn->id, std::move(conn));
            peer[i] = pair[1];
        }
    }
    ~Bench()
    {
        agent_hub::close_all(hub);
        for (int fd : peer)
            close(fd);
        close(hub.epoll_fd);
    }

    void drain()
    {
        char buf[ZEL_AGENT_PACKET_MAX * 2];
        for (int fd : peer)
            while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
            }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 16384)
        return -1;
    Bench bench;
    size_t pos = 0;
    while (pos + 3 <= size) {
        const uint8_t from = data[pos];
        const size_t len = std::min<size_t>(data[pos + 1] | data[pos + 2] << 8, size - pos - 3);
        pos += 3;
        auto it = bench.hub.conns.find(2 + from % kConns);
        if (it != bench.hub.conns.end()) {
            agent_hub::Conn &conn = *it->second;
            if (from & 0x80) {
                conn.dead = true;
            } else {
                size_t consumed = 0;
                zel_agent_split_texts(
                    reinterpret_cast<const char *>(data + pos), len,
                    [&](json_object *value, std::string_view text) {
                        agent_hub::route_text(bench.hub, conn, value, text);
                        return 0;
                    },
                    &consumed);
            }
        }
        pos += len;
        agent_hub::close_dead(bench.hub);
        if (from & 0x40)
            agent_hub::expire_forwards(bench.hub, INT64_MAX);
        bench.drain();
    }
    return 0;
}
