// The channel calls of a ready session: ZTP_Read, ZTP_Write, ZTP_Check_Buffer, ZTP_PktSend and
// ZTP_PktRecv. They hold the session lock only to copy, wait on the channel's semaphore without it,
// and count themselves in the slot so that a close frees nothing while one of them runs.
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "ztp_drw.h"
#include "ztp_session.h"
#include "ztp_socket.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

using lock_t = std::unique_lock<std::mutex>;

// The open slot behind `handle` for a call that goes on: 0, -11, or its first closing flag's code.
int open_slot(int handle, ztp_slot **s)
{
    if (ztp_slot_handle_check(handle) != 0)
        return ERROR_ZTP_INVALID_SESSION_HANDLE;
    *s = &ztp_gSession[handle];
    return ztp_slot_closed_code(**s);
}

// Waits on the channel's semaphore for at most `ms` with the lock released: data, a close and a
// de-initialisation post it. A channel without its semaphore is polled every 10 ms.
void wait_channel(ztp_slot *s, int channel, int64_t ms, lock_t &lock)
{
    constexpr int64_t kPollMs = 10;
    sem_t *sem = s->chan.sem[channel];
    ms = std::max<int64_t>(1, ms);
    lock.unlock();
    if (sem == nullptr) {
        ztp_sleep_ms(std::min(ms, kPollMs));
    } else {
        // On the monotonic clock: the camera sets its wall clock while phones wait.
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        ts.tv_sec += static_cast<time_t>(ms / 1000);
        ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        ts.tv_sec += ts.tv_nsec / 1000000000L;
        ts.tv_nsec %= 1000000000L;
        while (sem_clockwait(sem, CLOCK_MONOTONIC, &ts) != 0 && errno == EINTR) {
        }
    }
    lock.lock();
}

// A caller inside a slot's channel functions, counted while it runs (under the lock).
class slot_user {
public:
    explicit slot_user(ztp_slot *s) : s_(s) { ++s_->chan.users; }
    ~slot_user() { --s_->chan.users; }
    slot_user(const slot_user &) = delete;
    slot_user &operator=(const slot_user &) = delete;

private:
    ztp_slot *s_;
};

// The datagrams of the sending passes that this thread's writes run.
ztp_pass_batch *writer_batch()
{
    thread_local const auto batch = std::make_unique<ztp_pass_batch>();
    return batch.get();
}

// Bytes the socket has not yet sent, or 0.
uint64_t socket_unsent(int sock)
{
    int queued = 0;
    return sock >= 0 && ioctl(sock, TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<uint64_t>(queued) : 0;
}

} // namespace

int ztp_proto_Read(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (size == nullptr || buf == nullptr || *size <= 0)
        return ERROR_ZTP_INVALID_PARAMETER;
    if (channel >= ZTP_CHANNELS) {
        *size = 0;
        return ERROR_ZTP_INVALID_PARAMETER;
    }
    const int want = *size;
    lock_t lock(ztp_gSessionLock);
    if (ztp_slot_handle_check(handle) != 0) {
        *size = 0;
        return ERROR_ZTP_INVALID_SESSION_HANDLE;
    }
    ztp_slot *s = &ztp_gSession[handle];
    if (s->closed_called || s->closing || s->broken) {
        *size = 0;
        return ztp_slot_closed_code(*s);
    }
    slot_user user(s);
    ztp_channel &c = s->chan.ch[channel];
    int got = std::min(want, c.rend - c.rstart);
    std::memcpy(buf, c.rbuf + c.rstart, static_cast<size_t>(got));
    c.rstart = static_cast<uint16_t>(c.rstart + got);
    if (got == want)
        return 0;
    c.rstart = c.rend = 0;
    const int64_t start = ztp_tick_ms();
    bool quiet_pass = false; // the last pass got nothing
    int result = 0;
    bool first = true;
    while (got < want && (first || ztp_tick_ms() - start < static_cast<int64_t>(timeout_ms))) {
        first = false;
        ztp_block *head = c.received.head;
        if (head != nullptr && head->index == c.next_read) {
            ztp_list_pop(&c.received);
            ++c.next_read;
            c.stall_ms = 0;
            const int take = std::min<int>(want - got, head->len);
            std::memcpy(buf + got, head->data, static_cast<size_t>(take));
            got += take;
            std::memcpy(c.rbuf, head->data + take, head->len - static_cast<size_t>(take));
            c.rstart = 0;
            c.rend = static_cast<uint16_t>(head->len - take);
            delete head;
            quiet_pass = false;
            continue;
        }
        if (s->closed_called || s->closing || s->broken || ztp_gFlagOnDeInitialize.load() ||
            (quiet_pass && (s->closed_timeout || s->closed_remote)))
            break;
        if (head != nullptr) {
            const int64_t now = ztp_tick_ms();
            if (c.stall_ms != 0 && now - c.stall_ms >= static_cast<int64_t>(ztp_gSessAliveSec) * 1000) {
                ztp_session_fail_locked(s, &s->closed_timeout);
                result = ERROR_ZTP_SESSION_CLOSED_TIMEOUT;
                break;
            }
            if (c.stall_ms == 0)
                for (auto &other : s->chan.ch)
                    other.stall_ms = now;
        } else {
            c.stall_ms = 0;
        }
        int64_t left = static_cast<int64_t>(timeout_ms) - (ztp_tick_ms() - start);
        if (head != nullptr) // a stalled channel times out at its own moment
            left = std::min(left, c.stall_ms + static_cast<int64_t>(ztp_gSessAliveSec) * 1000 - ztp_tick_ms());
        wait_channel(s, channel, left, lock);
        quiet_pass = true;
        if (s->sock < 0) {
            *size = 0;
            return ERROR_ZTP_INVALID_SESSION_HANDLE;
        }
        if (s->closed_called || s->closing || s->broken) {
            *size = 0;
            return ztp_slot_closed_code(*s);
        }
    }
    if (got == want)
        return 0;
    *size = got;
    if (result != 0)
        return result;
    if (ztp_gFlagOnDeInitialize.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (s->closed_timeout && quiet_pass)
        return ERROR_ZTP_SESSION_CLOSED_TIMEOUT;
    if (s->closed_remote && quiet_pass)
        return ERROR_ZTP_SESSION_CLOSED_REMOTE;
    if (ztp_tick_ms() - start >= static_cast<int64_t>(timeout_ms))
        return ERROR_ZTP_TIME_OUT;
    return ztp_slot_closed_code(*s);
}

int ztp_proto_Write(int handle, uint8_t channel, const char *data, int len)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (channel >= ZTP_CHANNELS || data == nullptr || len <= 0 || len > ZTP_WRITE_MAX)
        return ERROR_ZTP_INVALID_PARAMETER;
    ztp_pass_batch *batch = writer_batch();
    lock_t lock(ztp_gSessionLock);
    ztp_slot *s = nullptr;
    if (const int code = open_slot(handle, &s))
        return code;
    ztp_channel &c = s->chan.ch[channel];
    const uint8_t *p = reinterpret_cast<const uint8_t *>(data);
    int taken = 0;
    for (;;) {
        // A full staging block that the lists cannot take yet stays staged and the rest of the data
        // is not taken: the caller is told how much was and writes the rest later.
        if (c.wfill == ZTP_BLOCK_MAX) {
            const int rc = ztp_proto_Write_Block(s, channel, c.wbuf, ZTP_BLOCK_MAX);
            if (rc < 0)
                return rc;
            if (rc == ZTP_BLOCK_NO_ROOM)
                break;
            c.wfill = 0;
        }
        if (taken == len)
            break;
        const int take = std::min<int>(len - taken, ZTP_BLOCK_MAX - c.wfill);
        std::memcpy(c.wbuf + c.wfill, p + taken, static_cast<size_t>(take));
        c.wfill = static_cast<uint16_t>(c.wfill + take);
        taken += take;
    }
    int64_t wake_in;
    {
        // The pass this write may run sends with the lock released.
        slot_user user(s);
        wake_in = ztp_send_now_or_wake_delay(handle, lock, batch);
    }
    lock.unlock();
    if (wake_in >= 0)
        ztp_loop_wake_in(&ztp_gSlotThreads[handle], ZTP_IDLE_SEND, wake_in);
    return taken;
}

int ztp_proto_Check_Buffer(int handle, uint8_t channel, uint32_t *write_size, uint32_t *read_size)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (channel >= ZTP_CHANNELS)
        return ERROR_ZTP_INVALID_PARAMETER;
    lock_t lock(ztp_gSessionLock);
    ztp_slot *s = nullptr;
    if (const int code = open_slot(handle, &s))
        return code;
    const ztp_channel &c = s->chan.ch[channel];
    if (write_size)
        *write_size = static_cast<uint32_t>(ztp_channel_unsent(c) - c.wfill + socket_unsent(s->tcp_sock));
    if (read_size)
        *read_size = static_cast<uint32_t>(c.rend - c.rstart + c.received.bytes);
    return 0;
}

int ztp_proto_PktSend(int handle, uint8_t channel, const char *data, int len)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (channel >= ZTP_CHANNELS || data == nullptr || len < 0 || len > ZTP_PSR_MAX_DATA)
        return ERROR_ZTP_INVALID_PARAMETER;
    lock_t lock(ztp_gSessionLock);
    ztp_slot *s = nullptr;
    if (const int code = open_slot(handle, &s))
        return code;
    if (len == 0)
        return 0;
    ztp_channel &c = s->chan.ch[channel];
    uint8_t msg[ZTP_HEADER_LEN + 4 + ZTP_PSR_MAX_DATA];
    const int n = ztp_write_PSR(channel, c.next_packet_send++, reinterpret_cast<const uint8_t *>(data),
                                static_cast<size_t>(len), msg, sizeof msg);
    if (n > 0)
        ztp_SendMessage(s->sock, &s->key, msg, static_cast<size_t>(n), &s->remote);
    return len;
}

int ztp_proto_PktRecv(int handle, uint8_t channel, char *buf, int *size, unsigned timeout_ms)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (size == nullptr || buf == nullptr || *size <= 0 || channel >= ZTP_CHANNELS)
        return ERROR_ZTP_INVALID_PARAMETER;
    lock_t lock(ztp_gSessionLock);
    if (ztp_slot_handle_check(handle) != 0)
        return ERROR_ZTP_INVALID_SESSION_HANDLE;
    ztp_slot *s = &ztp_gSession[handle];
    slot_user user(s);
    const int64_t start = ztp_tick_ms();
    for (;;) {
        if (s->sock < 0)
            return ERROR_ZTP_INVALID_SESSION_HANDLE;
        if (const int code = ztp_slot_closed_code(*s))
            return code;
        if (ztp_block *b = ztp_list_pop(&s->chan.ch[channel].packets)) {
            *size = std::min<int>(*size, b->len);
            std::memcpy(buf, b->data, static_cast<size_t>(*size));
            delete b;
            return 0;
        }
        const int64_t left = static_cast<int64_t>(timeout_ms) - (ztp_tick_ms() - start);
        if (left <= 0)
            return ERROR_ZTP_TIME_OUT;
        wait_channel(s, channel, left, lock);
    }
}
