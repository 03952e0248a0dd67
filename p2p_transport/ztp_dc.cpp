#include "ztp_dc.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <vector>

#include "zel_control/log/zel_log.h"
#include "ztp_socket.h"
#include "ztp_state.h"
#include "ztp_tcp_frame.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int kWaitMs = 100;
constexpr size_t kTextLen = 32; // the transaction text as local processes see it
constexpr size_t kAnswerMax = 992;

struct history_entry {
    char text[40];
    uint16_t port;
};

// Guarded by ztp_gSessionLock.
struct dc_state {
    int sock = -1;
    std::deque<std::vector<uint8_t>> queue;
    std::array<history_entry, ZTP_DC_HISTORY> history{};
    int history_next = 0;
    ztp_did did{};
    unsigned dropped = 0;
};
dc_state g_dc;

std::atomic<bool> g_exit{false};
pthread_t g_thread;
bool g_started = false;

void enqueue_locked(const ztp_dc &dc)
{
    if (g_dc.queue.size() >= ZTP_DC_QUEUE_MAX) {
        ++g_dc.dropped;
        ZEL_LOGW(kTag, "DC queue full, answer dropped (%u so far)\n", g_dc.dropped);
        return;
    }
    std::vector<uint8_t> msg(ZTP_HEADER_LEN + ZTP_DC_FIXED_LEN + kAnswerMax);
    const int len = ztp_write_DC(&dc, msg.data(), msg.size());
    if (len <= 0)
        return;
    msg.resize(static_cast<size_t>(len));
    g_dc.queue.push_back(std::move(msg));
}

void queue_cmd_ack(const char *text, uint8_t second)
{
    ztp_dc ack{};
    ack.sub_type = ZTP_DC_CMD_ACK;
    std::strncpy(ack.text, text, sizeof ack.text - 1);
    ack.did = g_dc.did;
    ack.bytes[1] = second;
    enqueue_locked(ack);
}

const history_entry *find(const char *text)
{
    for (const auto &h : g_dc.history)
        if (h.port != 0 && std::strncmp(h.text, text, sizeof h.text) == 0)
            return &h;
    return nullptr;
}

void send_local(const uint8_t *data, size_t n, uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sendto(g_dc.sock, data, n, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
        ZEL_LOGW(kTag, "DC forward to port %u: %s\n", port, std::strerror(errno));
}

void on_cmd(const ztp_dc &dc)
{
    if (find(dc.text)) {
        queue_cmd_ack(dc.text, 0);
        return;
    }
    if (dc.command == 0 || ztp_is_transport_port(dc.command)) {
        ZEL_LOGW(kTag, "DC command to port %u refused\n", dc.command);
        return;
    }
    uint8_t out[kTextLen + ZTP_MAX_DATAGRAM];
    if (dc.data_len > ZTP_MAX_DATAGRAM)
        return;
    std::memset(out, 0, kTextLen);
    std::memcpy(out, dc.text, std::strlen(dc.text) < kTextLen ? std::strlen(dc.text) : kTextLen);
    std::memcpy(out + kTextLen, dc.data, dc.data_len);
    send_local(out, kTextLen + dc.data_len, dc.command);
    queue_cmd_ack(dc.text, 0);
    history_entry &h = g_dc.history[static_cast<size_t>(g_dc.history_next)];
    std::memset(&h, 0, sizeof h);
    std::strncpy(h.text, dc.text, sizeof h.text - 1);
    h.port = dc.command;
    g_dc.history_next = (g_dc.history_next + 1) % ZTP_DC_HISTORY;
}

void on_answer(const uint8_t *buf, size_t n)
{
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    char text[40] = {};
    std::memcpy(text, buf, kTextLen);
    if (n == kTextLen) {
        queue_cmd_ack(text, 1);
        return;
    }
    ztp_dc resp{};
    resp.sub_type = ZTP_DC_RESP;
    std::memcpy(resp.text, text, sizeof resp.text);
    resp.did = g_dc.did;
    resp.data = buf + kTextLen;
    resp.data_len = static_cast<uint16_t>(n - kTextLen);
    enqueue_locked(resp);
}

void *response_thread(void *)
{
    prctl(PR_SET_NAME, "_DCResponse", 0, 0, 0);
    const int sock = g_dc.sock;
    while (!g_exit.load()) {
        uint8_t buf[ZTP_MAX_DATAGRAM];
        sockaddr_in from{};
        const int n = ztp_over_time_receive(sock, nullptr, kWaitMs, buf, sizeof buf, &from);
        if (n < 0) {
            ZEL_LOGE(kTag, "DC socket: %s\n", std::strerror(errno));
            break;
        }
        if (n == 0 || from.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
            continue;
        if (static_cast<size_t>(n) < kTextLen || static_cast<size_t>(n) > kTextLen + kAnswerMax) {
            ZEL_LOGW(kTag, "DC answer of %d bytes ignored\n", n);
            continue;
        }
        on_answer(buf, static_cast<size_t>(n));
    }
    return nullptr;
}

} // namespace

int ztp_dc_start(void)
{
    const int sock = ztp_setup_Socket();
    if (sock < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof local;
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr *>(&local), &len) != 0) {
        ZEL_LOGE(kTag, "DC socket bind: %s\n", std::strerror(errno));
        close(sock);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        g_dc = dc_state{};
        g_dc.sock = sock;
    }
    ztp_gServicePorts[ZTP_PORT_DC] = ntohs(local.sin_port);
    g_exit = false;
    if (pthread_create(&g_thread, nullptr, response_thread, nullptr) != 0) {
        ztp_dc_stop();
        return -1;
    }
    g_started = true;
    return 0;
}

void ztp_dc_stop(void)
{
    g_exit = true;
    if (g_started)
        pthread_join(g_thread, nullptr);
    g_started = false;
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    if (g_dc.sock >= 0)
        close(g_dc.sock);
    g_dc = dc_state{};
    ztp_gServicePorts[ZTP_PORT_DC] = 0;
}

uint16_t ztp_dc_port(void)
{
    return ztp_gServicePorts[ZTP_PORT_DC].load();
}

void ztp_DC_Parser(int slot, const ztp_dc *dc)
{
    if (g_dc.sock < 0)
        return;
    g_dc.did = ztp_gSession[slot].did;
    if (dc->sub_type == ZTP_DC_CMD) {
        on_cmd(*dc);
    } else if (dc->sub_type == ZTP_DC_RESP_ACK) {
        const history_entry *h = find(dc->text);
        if (h) {
            uint8_t text[kTextLen] = {};
            std::memcpy(text, dc->text, std::strlen(dc->text) < kTextLen ? std::strlen(dc->text) : kTextLen);
            send_local(text, sizeof text, h->port);
        }
    }
}

void ztp_DC_DoSendMsg(int slot)
{
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    ztp_slot &s = ztp_gSession[slot];
    while (!g_dc.queue.empty()) {
        const std::vector<uint8_t> msg = std::move(g_dc.queue.front());
        g_dc.queue.pop_front();
        ztp_send_to_servers(s.sock, &s.key, msg.data(), msg.size(), 0);
        if (s.tcp_login != 1)
            continue;
        uint8_t frame[ZTP_TCP_HEADER_LEN + ZTP_TCP_MSG_MAX];
        const int len = ztp_tcp_frame_write(ZTP_TCP_CHECKED, &s.key, msg.data(), msg.size(), frame, sizeof frame);
        for (ztp_tcp_session_info *r : s.tcp)
            if (len > 0 && r && r->connected)
                zt_TCPNBSkt_Send(r->sock, frame, static_cast<size_t>(len));
    }
}
