// The link thread "rpc_mg": connects the internal link, then the RPC link, with a growing reconnect
// delay, greets the daemon on the internal link, cuts what each link receives into objects, and
// hands each link's queued output to the daemon as fast as it reads. No thread ever waits on a
// daemon's socket: a daemon that stops reading fills its link's bounded queue and is then dropped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/rpc/ko_rpc_internal.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_env.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_send.h"

namespace ko_rpc {

namespace {

constexpr char kHelperReady[] = "{\"method\":\"_internal.helper_ready\"}";
constexpr char kHello[] = "{\"method\":\"_internal.hello\"}";

// 1, 2, 3, 4 s after the first failures, then alternately 3 and 4 s.
unsigned reconnect_delay_s(unsigned failures)
{
    return failures < 4 ? failures + 1 : (failures % 2 == 0 ? 3 : 4);
}

int connect_daemon()
{
    const int port = daemon_port();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        KO_LOGE(kModule, "create socket err:  %s\n", strerror(errno));
        return -1;
    }
    const int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        KO_LOGE(kModule, "socket setopt err:  %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        KO_LOGE(kModule, "Connect to server error: %s:%d %s\n", "127.0.0.1", port, strerror(errno));
        close(fd);
        return -1;
    }
    std::printf("connect to server ok ");
    std::fflush(stdout);
    return fd;
}

const char *link_name(LinkId id)
{
    return id == kRpc ? "rpc" : "internal";
}

void close_link(Module &m, LinkId id)
{
    Link &link = m.links[id];
    if (link.fd >= 0)
        close(link.fd);
    link.fd = -1;
    link.framer.reset();
    link.out.clear();
}

// Closes a link whose peer misbehaves; it is connected again after the reconnect delay, so a peer
// that keeps doing it cannot keep the thread busy.
void drop_link(Module &m, LinkId id)
{
    close_link(m, id);
    m.links[id].reconnect_at_ms = vexa_time_tick_ms() + reconnect_delay_s(m.connect_failures++) * 1000ull;
}

void drain_wake(Module &m)
{
    char bytes[64];
    while (read(m.wake[0], bytes, sizeof bytes) > 0) {
    }
}

// Hands as much of the link's waiting output to the socket as it takes now; the caller holds the
// link mutex. false when the socket failed (the link is shut down).
bool flush_link(Module &m, LinkId id)
{
    Link &link = m.links[id];
    const ssize_t sent = zel_send_pending(link.fd, &link.out);
    if (sent < 0) {
        KO_LOGE(kModule, "send fail, errno=%d %s\n", errno, strerror(errno));
        // The loop thread may be polling this descriptor: shut it down and let the loop close it.
        shutdown(link.fd, SHUT_RDWR);
        link.out.clear();
        m.counters.add(Counters::rpc_send_err);
        return false;
    }
    if (sent > 0)
        link.last_drain_ms = vexa_time_tick_ms();
    return true;
}

void log_refusal(Module &m, LinkId id, size_t len)
{
    ++m.refused;
    ++m.refused_unlogged;
    const uint64_t now = vexa_time_tick_ms();
    if (m.refused_logged_ms != 0 && now - m.refused_logged_ms < 1000)
        return;
    KO_LOGE(kModule, "%s link output full (%zu bytes waiting), %u message(s) refused, last of %zu bytes\n",
            link_name(id), m.links[id].out.size(), m.refused_unlogged, len);
    m.refused_unlogged = 0;
    m.refused_logged_ms = now;
}

// Reads what a readable link holds and hands on each whole object.
void receive(Module &m, LinkId id)
{
    std::lock_guard<std::mutex> lock(m.mutex);
    Link &link = m.links[id];
    if (link.fd < 0)
        return;
    const ssize_t n = recv(link.fd, link.framer.space(), link.framer.space_left(), MSG_DONTWAIT);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        KO_LOGE(kModule, "recv fail, data_len=%d errno=%d %s\n", static_cast<int>(n), errno, strerror(errno));
        KO_LOGE(kModule, "receive rpc msg error\n");
        close_link(m, id);
        m.counters.add(Counters::net_recv_err);
        return;
    }
    const unsigned dropped_before = link.framer.oversized(), cut_before = link.framer.cut_off();
    link.framer.commit(static_cast<size_t>(n));
    if (link.framer.oversized() != dropped_before)
        KO_LOGE(kModule, "json object larger than %zu bytes dropped\n", Framer::kCapacity - 1);
    if (link.framer.cut_off() != cut_before) {
        KO_LOGE(kModule, "%s link: json object cut off and dropped, going on at the next whole one\n",
                link_name(id));
        m.counters.add(Counters::parse_err);
    }
    const char *obj;
    size_t len;
    while (link.framer.next(&obj, &len)) {
        if (parse_msg(m, obj, len, kDown, nullptr) < 0) {
            // A malformed object is dropped rather than left to block the link.
            if (id == kRpc)
                KO_LOGE(kModule, "parse rpc msg error proc_len=%d receive_len=%d res_len=%d\n", -1,
                        static_cast<int>(len), static_cast<int>(link.framer.held()));
            else
                KO_LOGE(kModule, "parse rpc msg error proc_len=%d receive_len=%d \n", -1, static_cast<int>(len));
            m.counters.add(Counters::parse_err);
        }
        link.framer.pop();
    }
    if (link.framer.fault() != Framer::Fault::none) {
        KO_LOGE(kModule, "%s link stream out of step (json object not ended within 64 KiB), reconnecting\n",
                link_name(id));
        m.counters.add(Counters::parse_err);
        drop_link(m, id);
        return;
    }
    if (link.framer.held() > 0)
        KO_LOGD(kModule, "ko_json_split is not complete json\n");
}

// Drops links whose daemon has taken nothing of their output for kStallMs; returns the time until
// the next such check is due (or `limit_ms`, whichever is less).
uint64_t check_stalls(Module &m, uint64_t now, uint64_t limit_ms)
{
    std::lock_guard<std::mutex> lock(m.mutex);
    for (LinkId id : {kRpc, kInternal}) {
        Link &link = m.links[id];
        if (link.fd < 0 || link.out.empty())
            continue;
        const uint64_t idle = now - link.last_drain_ms;
        if (idle >= kStallMs) {
            KO_LOGE(kModule, "daemon took nothing on the %s link for %llu ms (%zu bytes waiting), reconnecting\n",
                    link_name(id), static_cast<unsigned long long>(idle), link.out.size());
            m.counters.add(Counters::rpc_send_err);
            drop_link(m, id);
            continue;
        }
        limit_ms = std::min(limit_ms, kStallMs - idle);
    }
    return limit_ms;
}

// Serves the open links until `deadline_ms` (monotonic) or until the stop flag is set; with
// `once`, returns after the first batch of reads.
void serve_until(Module &m, uint64_t deadline_ms, bool once)
{
    for (;;) {
        const uint64_t now = vexa_time_tick_ms();
        if (m.stop.load() || now >= deadline_ms)
            return;
        const uint64_t wait_ms = check_stalls(m, now, deadline_ms - now);
        pollfd fds[3];
        LinkId ids[2];
        int count = 0;
        fds[count++] = {m.wake[0], POLLIN, 0};
        {
            std::lock_guard<std::mutex> lock(m.mutex);
            for (LinkId id : {kRpc, kInternal}) {
                const Link &link = m.links[id];
                if (link.fd >= 0) {
                    ids[count - 1] = id;
                    const short events = static_cast<short>(POLLIN | (link.out.empty() ? 0 : POLLOUT));
                    fds[count++] = {link.fd, events, 0};
                }
            }
        }
        m.counters.add(Counters::step2);
        const int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait_ms));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "poll", strerror(errno));
            m.stop.store(true);
            return;
        }
        if (fds[0].revents & POLLIN) {
            drain_wake(m);
            continue; // stop, or output to wait for: the loop looks again
        }
        bool read_any = false;
        for (int i = 1; i < count; ++i) {
            const LinkId id = ids[i - 1];
            m.counters.add(id == kRpc ? Counters::step3 : Counters::step4);
            if (fds[i].revents & POLLOUT) {
                std::lock_guard<std::mutex> lock(m.mutex);
                if (m.links[id].fd == fds[i].fd)
                    flush_link(m, id);
            }
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if (id == kRpc) {
                m.counters.add(Counters::rpc_fd_msg);
            } else {
                m.counters.add(Counters::iner_fd_msg);
                KO_LOGD(kModule, "internal socket may be readable\n");
            }
            receive(m, id);
            read_any = true;
        }
        if (once && (read_any || ready == 0))
            return;
    }
}

void greet(Module &m)
{
    int fd;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        fd = m.links[kInternal].fd;
        send_on_link(m, kInternal, kHelperReady, sizeof kHelperReady - 1);
    }
    KO_LOGI(kModule, "Internal Connect to server success: %s:%d,fd=%d\n", "127.0.0.1", daemon_port(), fd);
    usleep(10 * 1000);
    std::lock_guard<std::mutex> lock(m.mutex);
    send_on_link(m, kInternal, kHello, sizeof kHello - 1);
}

// Connects a closed link; on failure serves the other link through the reconnect delay.
void reconnect(Module &m, LinkId id)
{
    const uint64_t not_before = m.links[id].reconnect_at_ms;
    if (vexa_time_tick_ms() < not_before) {
        serve_until(m, not_before, false);
        return;
    }
    const int fd = connect_daemon();
    if (fd < 0) {
        const unsigned delay = reconnect_delay_s(m.connect_failures++);
        serve_until(m, vexa_time_tick_ms() + delay * 1000ull, false);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        close_link(m, id);
        m.links[id].fd = fd;
    }
    if (id == kInternal)
        greet(m);
    else
        KO_LOGI(kModule, "RPC Connect to server success: %s:%d,fd=%d\n", "127.0.0.1", daemon_port(), fd);
}

} // namespace

int daemon_port()
{
    return zel_env_port("ZELMAR_DAEMON_PORT", kDefaultPort, 65535);
}

void wake_link_thread(Module &m)
{
    const char wake = 1;
    // A full pipe already wakes the thread.
    if (write(m.wake[1], &wake, 1) != 1 && errno != EAGAIN)
        KO_LOGW(kModule, "system call err:%s, errno:%s\n", "write pipe", strerror(errno));
}

int send_on_link(Module &m, LinkId id, const char *text, size_t len)
{
    m.counters.add(Counters::rpc_send);
    Link &link = m.links[id];
    if (!m.initialised || link.fd < 0) {
        KO_LOGE(kModule, "not init or link not ready inited=%d sockfd=%d\n", m.initialised ? 1 : 0, link.fd);
        m.counters.add(Counters::rpc_send_err);
        return -1;
    }
    // One message always fits an empty queue, so no size of message is refused for ever.
    if (!link.out.empty() && link.out.size() + len > kOutQueueMax) {
        m.counters.add(Counters::rpc_send_err);
        log_refusal(m, id, len);
        return -1;
    }
    const bool was_empty = link.out.empty();
    link.out.append(text, len);
    if (!was_empty)
        return 0;
    link.last_drain_ms = vexa_time_tick_ms();
    if (!flush_link(m, id))
        return -1;
    if (!link.out.empty())
        wake_link_thread(m); // the thread adds the socket to its wait for room
    return 0;
}

void *link_loop(void *arg)
{
    Module &m = *static_cast<Module *>(arg);
    while (!m.stop.load()) {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 0);
        m.counters.add(Counters::step1);
        if (m.links[kInternal].fd < 0)
            reconnect(m, kInternal);
        else if (m.links[kRpc].fd < 0)
            reconnect(m, kRpc);
        else
            serve_until(m, vexa_time_tick_ms() + 1000, true);
    }
    KO_LOGI(kModule, "link ot thread exit 1\n");
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        close_link(m, kInternal);
        close_link(m, kRpc);
    }
    KO_LOGI(kModule, "link ot thread exit 2\n");
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

} // namespace ko_rpc
