// The receiving side of the reliable channels: the UDP loop with acknowledgements, alive and
// resends, and the TCP loop, which keeps reading every channel and ends a session whose peer floods
// one channel past what it may hold unread.
#include <sys/prctl.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "zel_control/log/zel_log.h"
#include "ztp_drw.h"
#include "ztp_socket.h"
#include "ztp_tcp_frame.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int64_t kCheckEveryMs = 2000;
constexpr int kQuietAliveMs = 999;
constexpr int64_t kTcpRecvMs = 6000;
// Over TCP the loop pauses 1 ms after a message while a channel holds more blocks than this.
constexpr uint32_t kTcpCrowdedBlocks = 128;

using lock_t = std::unique_lock<std::mutex>;

void post(ztp_slot *s, int channel)
{
    if (s->chan.sem[channel])
        sem_post(s->chan.sem[channel]);
}

void send_empty(ztp_slot *s, uint8_t type)
{
    uint8_t msg[ZTP_HEADER_LEN];
    ztp_write_Empty(type, msg, sizeof msg);
    ztp_SendMessage(s->sock, &s->key, msg, sizeof msg, &s->remote);
}

// Stores a received block: false when memory is short (the session is then broken).
bool store(ztp_slot *s, ztp_block_list *list, uint16_t index, const uint8_t *data, size_t len)
{
    ztp_block *b = ztp_block_new(index, data, len);
    if (b == nullptr) {
        ZEL_LOGE(kTag, "no memory for a received block\n");
        ztp_session_fail_locked(s, &s->broken);
        return false;
    }
    ztp_list_insert(list, b);
    return true;
}

// True while a channel holds as much unread data as a reader is owed, in bytes or in blocks.
bool waiting_full(const ztp_channel &c)
{
    return c.received.bytes > ZTP_WAITING_MAX || c.received.count >= ZTP_WAITING_BLOCKS_MAX;
}

} // namespace

void ztp_drw_on_data(ztp_slot *s, const ztp_drw &d)
{
    ztp_channel &c = s->chan.ch[d.channel];
    if (d.len == 0)
        return;
    const int cmp = ztp_IndexCompare(d.index, c.next_read);
    if (waiting_full(c) && cmp > 0)
        return;
    if (c.nacks < ZTP_ACK_NOTE_MAX)
        c.acks[c.nacks++] = d.index;
    if (c.nacks > ZTP_ACK_SEND_AT) {
        uint8_t msg[ZTP_HEADER_LEN + 4 + 2 * ZTP_ACK_NOTE_MAX];
        const int n = ztp_write_DRWAck(d.channel, c.acks, c.nacks, msg, sizeof msg);
        if (n > 0)
            ztp_SendMessage(s->sock, &s->key, msg, static_cast<size_t>(n), &s->remote);
        c.nacks = 0;
    }
    if (cmp >= 0 && store(s, &c.received, d.index, d.data, d.len))
        post(s, d.channel);
}

void ztp_drw_on_ack(ztp_slot *s, uint8_t channel, const uint16_t *indexes, size_t count)
{
    ztp_channels &cs = s->chan;
    ztp_channel &c = cs.ch[channel];
    const int64_t now = ztp_tick_ms();
    for (size_t i = 0; i < count; ++i) {
        ztp_block *b = ztp_list_take(&c.inflight, indexes[i]);
        if (b == nullptr)
            b = ztp_list_take(&c.send, indexes[i]);
        if (b != nullptr) {
            if (b->first_send_ms != 0 && now - b->first_send_ms < cs.send_period_ms)
                cs.send_period_ms = static_cast<int>(now - b->first_send_ms + 1);
            delete b;
        }
        // What was sent before an acknowledged block and is still in flight is taken as lost.
        while (c.inflight.head != nullptr && ztp_IndexCompare(c.inflight.head->index, indexes[i]) < 0) {
            ztp_list_insert(&c.send, ztp_list_pop(&c.inflight));
            if (c.window > 0)
                --c.window;
        }
    }
}

namespace {

// The receive loop's state between datagrams.
struct udp_state {
    int quiet_ms = 0;
    int unanswered = 0;
    bool repeat_rdy = true;
    int64_t last_check_ms = 0;
};

// One datagram from the session's peer (under the lock).
void on_message(int slot, udp_state &st, uint8_t type, const uint8_t *payload, size_t n, const sockaddr_in &from)
{
    ztp_slot *s = &ztp_gSession[slot];
    if (type == ZTP_MSG_DRW || type == ZTP_MSG_DRW_ACK || type == ZTP_MSG_PSR) {
        st.quiet_ms = 0;
        st.unanswered = 0;
    }
    switch (type) {
    case ZTP_MSG_DRW: {
        ztp_drw d;
        if (ztp_read_DRW(payload, n, &d) != 0)
            return;
        if (d.channel >= ZTP_CHANNELS) {
            ZEL_LOGW(kTag, "slot %d: DRW for channel %u, closed\n", slot, d.channel);
            ztp_session_fail_locked(s, &s->closed_remote);
            return;
        }
        ztp_drw_on_data(s, d);
        return;
    }
    case ZTP_MSG_DRW_ACK: {
        uint8_t channel = 0;
        uint16_t indexes[ZTP_DRW_ACK_MAX];
        size_t count = 0;
        const int rc = ztp_read_DRWAck(payload, n, &channel, indexes, &count);
        if (rc == -1)
            return;
        if (rc == -2 || channel >= ZTP_CHANNELS) {
            ZEL_LOGW(kTag, "slot %d: DRWAck for channel %u out of bounds, closed\n", slot, channel);
            ztp_session_fail_locked(s, &s->closed_remote);
            return;
        }
        ztp_drw_on_ack(s, channel, indexes, count);
        return;
    }
    case ZTP_MSG_PSR: {
        ztp_drw p;
        if (ztp_read_PSR(payload, n, &p) != 0)
            return;
        if (p.channel >= ZTP_CHANNELS) {
            ztp_session_fail_locked(s, &s->closed_remote);
            return;
        }
        ztp_channel &c = s->chan.ch[p.channel];
        if (p.len == 0 || c.packets.count >= ZTP_PACKETS_MAX || ztp_IndexCompare(p.index, c.next_packet_expect) < 0)
            return;
        if (store(s, &c.packets, p.index, p.data, p.len)) {
            c.next_packet_expect = static_cast<uint16_t>(p.index + 1);
            post(s, p.channel);
        }
        return;
    }
    case ZTP_MSG_ALIVE:
        send_empty(s, ZTP_MSG_ALIVE_ACK);
        st.unanswered = 0;
        return;
    case ZTP_MSG_ALIVE_ACK:
        st.unanswered = 0;
        return;
    case ZTP_MSG_CLOSE:
        ZEL_LOGI(kTag, "slot %d: closed by the peer\n", slot);
        ztp_session_fail_locked(s, &s->closed_remote);
        return;
    case ZTP_MSG_P2P_RDY:
        if (s->role == 0)
            send_empty(s, ZTP_MSG_ALIVE);
        return;
    case ZTP_MSG_RLY_RDY_PLUS:
        ztp_upgrade_message(slot, payload, n, from);
        return;
    default:
        return;
    }
}

// Step 3: P2PRdy repeats, resends, alive and the time-out (under the lock). `waited_ms` is the
// quiet time to count. Without `resend` only the quiet time is counted: after a socket error, and
// for the periods of an idle wait, during which nothing was in flight.
void check_peer(int slot, udp_state &st, bool resend, int waited_ms)
{
    ztp_slot *s = &ztp_gSession[slot];
    if (resend) {
        if (s->role == 1 && st.repeat_rdy) {
            if (st.unanswered == 0) {
                st.repeat_rdy = false;
            } else {
                uint8_t msg[ZTP_HEADER_LEN + ZTP_DID_BLOCK_LEN];
                const int n = ztp_write_DidOnly(ZTP_MSG_P2P_RDY, &s->did, msg, sizeof msg);
                if (n > 0)
                    ztp_SendMessage(s->sock, &s->key, msg, static_cast<size_t>(n), &s->remote);
            }
        }
        for (auto &c : s->chan.ch)
            if (c.inflight.head != nullptr)
                ztp_list_insert(&c.send, ztp_list_pop(&c.inflight));
    }
    st.quiet_ms += waited_ms;
    if (st.quiet_ms > kQuietAliveMs) {
        send_empty(s, ZTP_MSG_ALIVE);
        ++st.unanswered;
        st.quiet_ms = 0;
        if (st.unanswered > ztp_gSessAliveSec) {
            ZEL_LOGW(kTag, "slot %d: no answer from the peer, timed out\n", slot);
            ztp_session_fail_locked(s, &s->closed_timeout);
        }
    }
}

bool from_peer(const ztp_slot *s, uint8_t type, const sockaddr_in &from)
{
    return ztp_same_addr(from, s->remote) || type == ZTP_MSG_RLY_RDY_PLUS || ztp_upgrade_accepts(s, from);
}

// True when a receive time-out has nothing to do but count quiet time: nothing is in flight and
// no P2PRdy is repeated (under the lock).
bool quiet_only(const ztp_slot *s, const udp_state &st)
{
    if (s->role == 1 && st.repeat_rdy)
        return false;
    for (const auto &c : s->chan.ch)
        if (c.inflight.head != nullptr || c.send.head != nullptr)
            return false;
    return true;
}

// The receive waits of the loop. With nothing in flight it waits, instead of one period + 1 ms at a
// time, for as many of those periods as the quiet time lacks to reach the Alive, ended early by a
// datagram, by a close, or one period + 1 ms after the sending loop put blocks in flight (a time-out
// as the wait for their acknowledgements would have had); the periods that passed count as quiet.
struct udp_wait {
    bool idle = false;
    int step = 0, steps = 1;
    int64_t start = 0;
};

// Waits for one datagram: ztp_proto_Proto_Recv_ALL's result, with `*waits` the whole periods of an
// idle wait that passed before it (without a datagram: all of them when it ran out, else those that
// passed before it was woken, then `*woken`).
int receive(ztp_slot_threads *t, int sock, const ztp_scramble_key &key, const udp_wait &w, sockaddr_in *from,
            uint8_t *type, uint8_t *payload, size_t *size, int *waits, bool *woken)
{
    *waits = 0;
    *woken = false;
    if (!w.idle)
        return ztp_proto_Proto_Recv_ALL(sock, &key, w.step, from, type, payload, size);
    const bool readable = ztp_loop_idle_wait(t, ZTP_IDLE_RECV, sock, w.step * w.steps) == 1;
    const int64_t passed = (ztp_tick_ms() - w.start) / w.step;
    *waits = static_cast<int>(std::min<int64_t>(w.steps, passed));
    if (readable)
        return ztp_proto_Proto_Recv_ALL(sock, &key, 0, from, type, payload, size);
    *woken = *waits < w.steps;
    return -1;
}

void recv_udp(int slot)
{
    ztp_slot *s = &ztp_gSession[slot];
    ztp_slot_threads *t = &ztp_gSlotThreads[slot];
    udp_state st;
    st.unanswered = ztp_gSessAliveSec / 2;
    st.last_check_ms = ztp_tick_ms();
    int sock;
    ztp_scramble_key key;
    {
        lock_t lock(ztp_gSessionLock);
        sock = s->sock;
        key = s->key;
    }
    uint8_t payload[ZTP_MAX_DATAGRAM];
    const auto batch = std::make_unique<ztp_pass_batch>();
    while (!ztp_stop_waiting(s) && ztp_loop_running(t, ZTP_LOOP_RECV_DRW)) {
        udp_wait w;
        {
            lock_t lock(ztp_gSessionLock);
            w.step = s->chan.send_period_ms + 1;
            w.idle = t->wake_fd[ZTP_IDLE_RECV] >= 0 && quiet_only(s, st);
            if (w.idle) {
                w.steps = (kQuietAliveMs - st.quiet_ms) / w.step + 1;
                w.start = ztp_tick_ms();
                t->idle[ZTP_IDLE_RECV] = true;
            }
        }
        sockaddr_in from{};
        uint8_t type = 0;
        size_t size = sizeof payload;
        int waits = 0;
        bool woken = false;
        const int rc = receive(t, sock, key, w, &from, &type, payload, &size, &waits, &woken);
        lock_t lock(ztp_gSessionLock);
        // A wake-up set for this wait that it did not need would end the next one early.
        const bool unwake = w.idle && !ztp_loop_claim_idle(t, ZTP_IDLE_RECV) && !woken;
        if (ztp_tick_ms() - s->chan.last_pass_ms >= s->chan.send_period_ms)
            ztp_DoDRWSend(slot, lock, batch.get());
        const bool resend_due = woken && ztp_channels_in_flight(s);
        const bool timed_out = (rc == -1 && (!woken || resend_due)) || rc == -2;
        const bool ran_out = w.idle && rc == -1 && !woken;
        if (waits > 0 && !ran_out) {
            st.last_check_ms = ztp_tick_ms();
            check_peer(slot, st, false, waits * w.step);
        }
        if (rc == 0 && from_peer(s, type, from))
            on_message(slot, st, type, payload, size, from);
        const int64_t now = ztp_tick_ms();
        if (timed_out || now - st.last_check_ms >= kCheckEveryMs) {
            st.last_check_ms = now;
            check_peer(slot, st, rc != -2, ran_out ? waits * w.step : w.step);
        }
        const int64_t wake_send_in = ztp_send_now_or_wake_delay(slot, lock, batch.get());
        lock.unlock();
        if (unwake)
            ztp_loop_unwake(t, ZTP_IDLE_RECV);
        if (wake_send_in >= 0)
            ztp_loop_wake_in(t, ZTP_IDLE_SEND, wake_send_in);
        if (rc == -2)
            ztp_sleep_ms(1);
    }
}

// A block of the TCP link. Nothing there makes the peer hold back, and the link carries every
// channel: a block for a channel already holding what it may hold unread ends the session (the peer
// floods it) instead of growing the camera or stopping the other channels (under the lock).
void tcp_on_data(int slot, ztp_slot *s, const ztp_drw &d)
{
    ztp_channel &c = s->chan.ch[d.channel];
    if (waiting_full(c)) {
        ZEL_LOGW(kTag, "slot %d: the peer floods channel %d past %u unread blocks over TCP, session ended\n", slot,
                 static_cast<int>(d.channel), c.received.count);
        ztp_session_fail_locked(s, &s->closed_remote);
        return;
    }
    if (store(s, &c.received, d.index, d.data, d.len))
        post(s, d.channel);
}

bool crowded(const ztp_slot *s)
{
    for (const auto &c : s->chan.ch)
        if (c.received.count > kTcpCrowdedBlocks)
            return true;
    return false;
}

// One message from the TCP link: 0, or -1 when the link failed.
int tcp_read_message(ztp_slot *s, int sock, ztp_tcp_variant variant, const ztp_scramble_key &key, uint8_t *type,
                     uint8_t *payload, size_t *size)
{
    uint8_t raw[ZTP_TCP_HEADER_LEN];
    ztp_tcp_header h;
    if (zt_TCPNBSkt_Overtime_Recv(sock, raw, sizeof raw, &s->stop_waiting, ztp_tick_ms() + kTcpRecvMs) != 0 ||
        ztp_tcp_header_read(raw, &h) != 0)
        return -1;
    uint8_t body[ZTP_TCP_MSG_MAX], plain[ZTP_TCP_MSG_MAX];
    if (zt_TCPNBSkt_Overtime_Recv(sock, body, h.length, &s->stop_waiting, ztp_tick_ms() + kTcpRecvMs) != 0 ||
        ztp_tcp_frame_open(variant, &key, &h, body, h.length, plain) != 0)
        return -1;
    return ztp_parse_message(plain, h.length, type, payload, size) == 0 ? 0 : -1;
}

void recv_tcp(int slot)
{
    ztp_slot *s = &ztp_gSession[slot];
    const ztp_slot_threads *t = &ztp_gSlotThreads[slot];
    int sock;
    ztp_tcp_variant variant;
    ztp_scramble_key key;
    {
        lock_t lock(ztp_gSessionLock);
        sock = s->tcp_sock;
        variant = s->tcp_plain ? ZTP_TCP_PLAIN : ZTP_TCP_CHECKED;
        key = s->key;
    }
    uint8_t payload[ZTP_TCP_MSG_MAX];
    while (!ztp_stop_waiting(s) && ztp_loop_running(t, ZTP_LOOP_RECV_DRW)) {
        uint8_t type = 0;
        size_t size = sizeof payload;
        const int rc = tcp_read_message(s, sock, variant, key, &type, payload, &size);
        lock_t lock(ztp_gSessionLock);
        if (ztp_stop_waiting(s))
            break;
        if (rc != 0) {
            ZEL_LOGW(kTag, "slot %d: TCP link lost, timed out\n", slot);
            ztp_session_fail_locked(s, &s->closed_timeout);
            break;
        }
        if (type == ZTP_MSG_CLOSE) {
            ZEL_LOGI(kTag, "slot %d: closed by the peer\n", slot);
            ztp_session_fail_locked(s, &s->closed_remote);
        } else if (type == ZTP_MSG_DRW) {
            ztp_drw d;
            if (ztp_read_DRW(payload, size, &d) != 0)
                continue;
            if (d.channel >= ZTP_CHANNELS)
                ztp_session_fail_locked(s, &s->closed_remote);
            else if (d.len > 0)
                tcp_on_data(slot, s, d);
        }
        if (crowded(s)) {
            lock.unlock();
            ztp_sleep_ms(1);
        }
    }
}

} // namespace

void ztp_Run_recv_DRW(int slot)
{
    char name[16];
    std::snprintf(name, sizeof name, "_recv_DRW_%02d", slot);
    prctl(PR_SET_NAME, name, 0, 0, 0);
    ztp_slot *s = &ztp_gSession[slot];
    bool tcp;
    {
        lock_t lock(ztp_gSessionLock);
        tcp = s->tcp_sock >= 0;
    }
    if (tcp)
        recv_tcp(slot);
    else
        recv_udp(slot);
    // Readers waiting on the channels wake up and see why the loop ended.
    for (int k = 0; k < 2; ++k) {
        {
            lock_t lock(ztp_gSessionLock);
            ztp_channels_post_all(s);
        }
        ztp_sleep_ms(10);
    }
}
