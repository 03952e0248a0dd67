// The sending side of the reliable channels: the block queue, the sending pass and the sending loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_rand.h"
#include "ztp_drw.h"
#include "ztp_socket.h"
#include "ztp_tcp_frame.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int64_t kTcpAliveMs = 1000;
constexpr int64_t kTcpSendMs = 6000;
constexpr int64_t kTcpTurnMs = 10;
constexpr size_t kTcpTurnBytes = 256000;
constexpr int kWindowSlack = 10;
constexpr int kSemTries = 16;

bool on_tcp(const ztp_slot *s)
{
    return s->tcp_sock >= 0;
}

// Sends one plain message over the session's TCP socket with the lock released: 0, or -1.
int tcp_send_unlocked(ztp_slot *s, const uint8_t *msg, size_t n, std::unique_lock<std::mutex> &lock)
{
    uint8_t frame[ZTP_TCP_HEADER_LEN + ZTP_TCP_MSG_MAX];
    const int len =
        ztp_tcp_frame_write(s->tcp_plain ? ZTP_TCP_PLAIN : ZTP_TCP_CHECKED, &s->key, msg, n, frame, sizeof frame);
    if (len < 0)
        return -1;
    const int sock = s->tcp_sock;
    lock.unlock();
    const int rc = zt_TCPNBSkt_Overtime_Send(sock, frame, static_cast<size_t>(len), &s->stop_waiting,
                                             ztp_tick_ms() + kTcpSendMs);
    lock.lock();
    s->chan.last_tcp_send_ms = ztp_tick_ms();
    // A raised stop-waiting flag is a close, not a failure of the link.
    return rc == 0 || rc == -2 ? 0 : -1;
}

bool window_full(const ztp_channel &c)
{
    if (c.inflight.head == nullptr)
        return false;
    const int limit = c.window + kWindowSlack;
    const uint16_t hs = c.send.head->index, hi = c.inflight.head->index, ti = c.inflight.tail->index;
    return ztp_IndexDistance(hs, hi) > limit || ztp_IndexDistance(hs, ti) > limit || ztp_IndexDistance(hi, ti) > limit;
}

// Scrambles and sends the pass's datagrams so far with the lock released. A receiving loop that
// waits idle is to time out one period + 1 ms after blocks go in flight, as its wait for their
// acknowledgements would.
void send_batch(int slot, ztp_pass_batch *batch, std::unique_lock<std::mutex> &lock)
{
    if (batch->count == 0)
        return;
    ztp_slot *s = &ztp_gSession[slot];
    ztp_slot_threads *t = &ztp_gSlotThreads[slot];
    const int sock = s->sock;
    const sockaddr_in to = s->remote;
    const ztp_scramble_key key = s->key;
    const bool wake_recv = ztp_channels_in_flight(s) && ztp_loop_claim_idle(t, ZTP_IDLE_RECV);
    const int recv_wait = s->chan.send_period_ms + 1;
    lock.unlock();
    if (wake_recv)
        ztp_loop_wake_in(t, ZTP_IDLE_RECV, recv_wait);
    iovec dgrams[ztp_pass_batch::MAX];
    for (int i = 0; i < batch->count; ++i) {
        ztp_scramble(&key, batch->data[i], batch->data[i], batch->len[i]);
        dgrams[i] = iovec{batch->data[i], batch->len[i]};
    }
    ztp_send_datagrams(sock, &to, dgrams, static_cast<unsigned>(batch->count));
    lock.lock();
    batch->count = 0;
}

// The batch's next datagram, sending those before it when it is full.
uint8_t *next_datagram(int slot, ztp_pass_batch *batch, std::unique_lock<std::mutex> &lock)
{
    if (batch->count == ztp_pass_batch::MAX)
        send_batch(slot, batch, lock);
    return batch->data[batch->count];
}

void add_datagram(ztp_pass_batch *batch, int n)
{
    if (n > 0)
        batch->len[batch->count++] = static_cast<uint16_t>(n);
}

void send_acks(int slot, int channel, ztp_pass_batch *batch, std::unique_lock<std::mutex> &lock)
{
    ztp_channel &c = ztp_gSession[slot].chan.ch[channel];
    if (c.nacks == 0)
        return;
    uint8_t *msg = next_datagram(slot, batch, lock);
    add_datagram(batch, ztp_write_DRWAck(static_cast<uint8_t>(channel), c.acks, c.nacks, msg, sizeof batch->data[0]));
    c.nacks = 0;
}

// One channel's turn over UDP (steps c and d).
void send_udp(int slot, int channel, ztp_pass_batch *batch, std::unique_lock<std::mutex> &lock)
{
    ztp_channel &c = ztp_gSession[slot].chan.ch[channel];
    while (c.pending.head != nullptr && c.send.count + c.inflight.count < ZTP_QUEUED_MAX)
        ztp_list_insert(&c.send, ztp_list_pop(&c.pending));
    while (c.send.head != nullptr && !window_full(c)) {
        uint8_t *msg = next_datagram(slot, batch, lock);
        if (c.send.head == nullptr || window_full(c))
            break;
        ztp_block *b = ztp_list_pop(&c.send);
        if (b->first_send_ms == 0)
            b->first_send_ms = ztp_tick_ms();
        add_datagram(batch,
                     ztp_write_DRW(static_cast<uint8_t>(channel), b->index, b->data, b->len, msg, sizeof batch->data[0]));
        ztp_list_insert(&c.inflight, b);
    }
}

// One channel's turn over TCP: false when the link failed.
bool send_tcp(ztp_slot *s, int channel, std::unique_lock<std::mutex> &lock)
{
    ztp_channel &c = s->chan.ch[channel];
    const int64_t start = ztp_tick_ms();
    size_t sent = 0;
    uint8_t msg[ZTP_HEADER_LEN + 4 + ZTP_DRW_MAX_DATA];
    while (c.tcp_send.head != nullptr && !ztp_stop_waiting(s)) {
        ztp_block *b = ztp_list_pop(&c.tcp_send);
        const int n = ztp_write_DRW(static_cast<uint8_t>(channel), b->index, b->data, b->len, msg, sizeof msg);
        sent += b->len;
        delete b;
        if (n > 0 && tcp_send_unlocked(s, msg, static_cast<size_t>(n), lock) != 0)
            return false;
        if (ztp_tick_ms() - start > kTcpTurnMs || sent > kTcpTurnBytes)
            break;
    }
    return true;
}

} // namespace

void ztp_session_fail_locked(ztp_slot *s, uint8_t *flag)
{
    *flag = 1;
    ztp_set_stop_waiting(s);
}

int ztp_proto_Write_Block(ztp_slot *s, int channel, const uint8_t *data, size_t len)
{
    ztp_channel &c = s->chan.ch[channel];
    // A block moves between these lists until it is acknowledged: each of them must keep it in
    // order, or it would be refused and lost on the way.
    for (const ztp_block_list *l : {&c.pending, &c.send, &c.tcp_send, &c.inflight})
        if (!ztp_list_spans(l, c.next_write))
            return ZTP_BLOCK_NO_ROOM;
    ztp_block *b = ztp_block_new(c.next_write, data, len);
    if (b == nullptr) {
        ZEL_LOGE(kTag, "no memory for a block of channel %d\n", channel);
        ztp_session_fail_locked(s, &s->broken);
        return ERROR_ZTP_SESSION_CLOSED_INSUFFICIENT_MEMORY;
    }
    ++c.next_write;
    ztp_list_insert(on_tcp(s) ? &c.tcp_send : &c.pending, b);
    return 0;
}

uint64_t ztp_channel_unsent(const ztp_channel &c)
{
    return c.wfill + c.pending.bytes + c.send.bytes + c.tcp_send.bytes + c.inflight.bytes;
}

namespace {

// The windows grow by one every pass, and a pass runs every period: a pass after idle periods,
// whichever loop runs it, also gets the growth of the passes the sending loop skipped.
void credit_skipped_passes(ztp_slot *s)
{
    const int64_t skipped = (ztp_tick_ms() - s->chan.last_pass_ms) / s->chan.send_period_ms - 1;
    if (!on_tcp(s) && skipped > 0)
        for (auto &c : s->chan.ch)
            c.window = static_cast<int>(std::min<int64_t>(ZTP_WINDOW_MAX, c.window + skipped));
}

void run_pass(int slot, std::unique_lock<std::mutex> &lock, ztp_pass_batch *batch)
{
    ztp_slot *s = &ztp_gSession[slot];
    ztp_channels &cs = s->chan;
    const bool tcp = on_tcp(s);
    if (tcp && ztp_tick_ms() - cs.last_tcp_send_ms > kTcpAliveMs) {
        uint8_t alive[ZTP_HEADER_LEN];
        ztp_write_Empty(ZTP_MSG_ALIVE, alive, sizeof alive);
        if (tcp_send_unlocked(s, alive, sizeof alive, lock) != 0) {
            ZEL_LOGW(kTag, "slot %d: Alive over TCP failed\n", slot);
            ztp_session_fail_locked(s, &s->closed_timeout);
            return;
        }
    }
    for (int i = 0; i < ZTP_CHANNELS && !ztp_stop_waiting(s); ++i) {
        ztp_channel &c = cs.ch[i];
        c.window = tcp ? ZTP_WINDOW_MAX : (c.window < ZTP_WINDOW_MAX ? c.window + 1 : ZTP_WINDOW_MAX);
        if (c.wfill > 0) {
            const int rc = ztp_proto_Write_Block(s, i, c.wbuf, c.wfill);
            if (rc < 0)
                return;
            if (rc == 0)
                c.wfill = 0;
        }
        if (tcp) {
            if (!send_tcp(s, i, lock)) {
                ZEL_LOGW(kTag, "slot %d: send over TCP failed\n", slot);
                ztp_session_fail_locked(s, &s->closed_timeout);
                return;
            }
        } else {
            send_udp(slot, i, batch, lock);
            send_acks(slot, i, batch, lock);
        }
    }
    cs.last_pass_ms = ztp_tick_ms();
}

} // namespace

void ztp_DoDRWSend(int slot, std::unique_lock<std::mutex> &lock, ztp_pass_batch *batch)
{
    ztp_channels &cs = ztp_gSession[slot].chan;
    if (cs.passing)
        return;
    cs.passing = true;
    credit_skipped_passes(&ztp_gSession[slot]);
    run_pass(slot, lock, batch);
    send_batch(slot, batch, lock);
    cs.passing = false;
}

namespace {

// Nothing for a sending pass to do: no staged bytes, no acks to send and no block waiting to go out.
// What is in flight waits on the receiving loop, which hands it back when it is to be sent again.
bool nothing_to_send(const ztp_slot *s)
{
    for (const auto &c : s->chan.ch)
        if (c.wfill != 0 || c.nacks != 0 || c.pending.head != nullptr || c.send.head != nullptr ||
            c.tcp_send.head != nullptr)
            return false;
    return true;
}

// The first moment at or after `now`, and after the last pass, at which the sending loop, passing
// every period, would pass.
int64_t next_pass_ms(const ztp_channels &cs, int64_t now)
{
    const int64_t period = cs.send_period_ms, last = cs.last_pass_ms;
    const int64_t passes = now > last ? (now - last + period - 1) / period : 1;
    return last + passes * period;
}

// While the session has nothing to send, the sending loop waits to be woken (by a write, an ack to
// send, a block to send again, a close) instead of passing every period; over TCP it still passes
// for the Alive of a quiet second. Those who wake it time the wake-up to the moment at which its
// period would have run the next pass, so that the same datagrams go out at the same moments.
void wait_while_idle(ztp_slot *s, ztp_slot_threads *t, std::unique_lock<std::mutex> &lock)
{
    const auto running = [s, t] { return !ztp_stop_waiting(s) && ztp_loop_running(t, ZTP_LOOP_SEND_DRW); };
    while (nothing_to_send(s) && running()) {
        int timeout = -1;
        if (on_tcp(s)) {
            timeout = static_cast<int>(s->chan.last_tcp_send_ms + kTcpAliveMs + 1 - ztp_tick_ms());
            if (timeout <= 0)
                break;
        }
        t->idle[ZTP_IDLE_SEND] = true;
        lock.unlock();
        ztp_loop_idle_wait(t, ZTP_IDLE_SEND, -1, timeout);
        lock.lock();
        t->idle[ZTP_IDLE_SEND] = false;
    }
    if (!running())
        return;
    const int64_t now = ztp_tick_ms(), moment = next_pass_ms(s->chan, now);
    lock.unlock();
    ztp_sleep_ms(moment - now);
    lock.lock();
}

int64_t send_loop_wake_delay(int slot)
{
    const ztp_slot *s = &ztp_gSession[slot];
    if (nothing_to_send(s) || !ztp_loop_claim_idle(&ztp_gSlotThreads[slot], ZTP_IDLE_SEND))
        return -1;
    const int64_t now = ztp_tick_ms();
    return next_pass_ms(s->chan, now) - now;
}

} // namespace

bool ztp_channels_in_flight(const ztp_slot *s)
{
    for (const auto &c : s->chan.ch)
        if (c.inflight.head != nullptr)
            return true;
    return false;
}

int64_t ztp_send_now_or_wake_delay(int slot, std::unique_lock<std::mutex> &lock, ztp_pass_batch *batch)
{
    ztp_slot *s = &ztp_gSession[slot];
    if (!on_tcp(s) && ztp_gSlotThreads[slot].idle[ZTP_IDLE_SEND] && !s->chan.passing && !nothing_to_send(s)) {
        const int64_t now = ztp_tick_ms();
        if (next_pass_ms(s->chan, now) == now)
            ztp_DoDRWSend(slot, lock, batch);
    }
    return send_loop_wake_delay(slot);
}

void ztp_Run_send_DRW(int slot)
{
    char name[16];
    std::snprintf(name, sizeof name, "_send_DRW_%02d", slot);
    prctl(PR_SET_NAME, name, 0, 0, 0);
    ztp_slot *s = &ztp_gSession[slot];
    ztp_slot_threads *t = &ztp_gSlotThreads[slot];
    const auto batch = std::make_unique<ztp_pass_batch>();
    std::unique_lock<std::mutex> lock(ztp_gSessionLock);
    const bool tcp = on_tcp(s);
    for (auto &c : s->chan.ch)
        c.window = ZTP_WINDOW_MAX;
    s->chan.send_period_ms = tcp ? ZTP_PERIOD_TCP_MS : ZTP_PERIOD_UDP_MS;
    while (!ztp_stop_waiting(s) && ztp_loop_running(t, ZTP_LOOP_SEND_DRW)) {
        ztp_DoDRWSend(slot, lock, batch.get());
        if (t->wake_fd[ZTP_IDLE_SEND] >= 0 && nothing_to_send(s)) {
            wait_while_idle(s, t, lock);
            continue;
        }
        const int period = s->chan.send_period_ms;
        bool queued = false;
        for (const auto &c : s->chan.ch)
            queued = queued || c.tcp_send.head != nullptr;
        const int sock = s->tcp_sock;
        lock.unlock();
        if (tcp && sock < 1024 && queued)
            ztp_poll_one(sock, POLLOUT, period);
        else
            ztp_sleep_ms(period);
        lock.lock();
    }
}

void ztp_channels_open(int slot)
{
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    ztp_slot *s = &ztp_gSession[slot];
    for (int i = 0; i < ZTP_CHANNELS; ++i) {
        ztp_channel &c = s->chan.ch[i];
        c.window = ZTP_WINDOW_MAX;
        s->chan.sem[i] = SEM_FAILED;
        for (int k = 0; k < kSemTries && s->chan.sem[i] == SEM_FAILED; ++k) {
            uint8_t r[3];
            rand_bytes(r, sizeof r);
            char name[32];
            std::snprintf(name, sizeof name, "/d%03d%X%02X%02X%02X", slot, i, r[0], r[1], r[2]);
            s->chan.sem[i] = sem_open(name, O_CREAT | O_EXCL, 0700, 0);
            if (s->chan.sem[i] != SEM_FAILED)
                sem_unlink(name);
            else if (errno != EEXIST)
                break;
        }
        if (s->chan.sem[i] == SEM_FAILED) {
            ZEL_LOGW(kTag, "slot %d channel %d: no semaphore (%s), readers poll\n", slot, i, std::strerror(errno));
            s->chan.sem[i] = nullptr;
        }
    }
    s->chan.send_period_ms = s->tcp_sock >= 0 ? ZTP_PERIOD_TCP_MS : ZTP_PERIOD_UDP_MS;
}

void ztp_channels_post_all(ztp_slot *s)
{
    for (sem_t *sem : s->chan.sem)
        if (sem)
            sem_post(sem);
}

void ztp_channels_free(ztp_slot *s)
{
    for (auto &c : s->chan.ch) {
        ztp_list_free(&c.pending);
        ztp_list_free(&c.send);
        ztp_list_free(&c.tcp_send);
        ztp_list_free(&c.inflight);
        ztp_list_free(&c.received);
        ztp_list_free(&c.packets);
    }
    for (sem_t *&sem : s->chan.sem) {
        if (sem)
            sem_close(sem);
        sem = nullptr;
    }
}
