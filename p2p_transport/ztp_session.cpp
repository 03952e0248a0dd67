#include "ztp_session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_drw.h"
#include "ztp_socket.h"
#include "ztp_tcp_frame.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

void ztp_slot_clear(ztp_slot *s)
{
    std::memset(s, 0, sizeof *s);
    s->sock = ZTP_SOCK_FREE;
    s->tcp_sock = -1;
    s->lan_tcp_sock = -1;
    s->lan_listen_sock = -1;
    s->lan_answer_ms = -1;
    s->last_punch_to_ms = -1;
    ztp_scramble_key_init(&s->key, nullptr);
}

int ztp_slot_reserve_locked(void)
{
    for (int k = 1; k <= ztp_gMaxNumSess; ++k) {
        const int i = (ztp_gLastHandle + k) % ztp_gMaxNumSess;
        if (i >= 0 && ztp_gSession[i].sock == ZTP_SOCK_FREE) {
            ztp_slot_clear(&ztp_gSession[i]);
            ztp_gSession[i].sock = ZTP_SOCK_RESERVED;
            ztp_gLastHandle = i;
            return i;
        }
    }
    return ERROR_ZTP_MAX_SESSION;
}

void ztp_slot_send_peer(ztp_slot *s, const uint8_t *msg, size_t n)
{
    if (s->tcp_sock >= 0) {
        uint8_t frame[ZTP_TCP_HEADER_LEN + ZTP_TCP_MSG_MAX];
        const int len =
            ztp_tcp_frame_write(s->tcp_plain ? ZTP_TCP_PLAIN : ZTP_TCP_CHECKED, &s->key, msg, n, frame, sizeof frame);
        if (len > 0)
            zt_TCPNBSkt_Overtime_Send(s->tcp_sock, frame, static_cast<size_t>(len), nullptr,
                                      ztp_tick_ms() + ZTP_TCP_SEND_MS);
    } else if (s->sock >= 0) {
        ztp_SendMessage(s->sock, &s->key, msg, n, &s->remote);
    }
}

void ztp_slot_release(int handle)
{
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    ztp_slot *s = &ztp_gSession[handle];
    for (auto &r : s->tcp) {
        ztp_FreeTCPrSessionInfo(r);
        r = nullptr;
    }
    if (s->tcp_sock >= 0 && s->tcp_sock != s->lan_tcp_sock)
        zt_TCPNBSkt_Close(s->tcp_sock);
    if (s->lan_tcp_sock >= 0)
        zt_TCPNBSkt_Close(s->lan_tcp_sock);
    if (s->lan_listen_sock >= 0)
        zt_TCPNBSkt_Close(s->lan_listen_sock);
    if (s->sock >= 0) {
        shutdown(s->sock, SHUT_RDWR);
        close(s->sock);
    }
    ztp_slot_clear(s);
}

namespace {

constexpr int64_t kCloseStepMs = 10;

int64_t unsent_locked(const ztp_slot &s)
{
    uint64_t total = 0;
    for (const auto &c : s.chan.ch)
        total += ztp_channel_unsent(c);
    return static_cast<int64_t>(total);
}

// Waits in 10 ms steps until `done` holds or the stop-waiting flag is up; gives up (and raises the
// flag, as a forced close does) after the session's alive time without progress. `progress`
// returns a count that falls while things move.
template <typename Done, typename Progress> void close_wait(ztp_slot *s, const char *what, Done done, Progress progress)
{
    const int64_t bound = static_cast<int64_t>(ztp_gSessAliveSec) * 1000;
    int64_t last = -1;
    int64_t moved = ztp_tick_ms();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(ztp_gSessionLock);
            if (ztp_stop_waiting(s) || done())
                return;
            const int64_t now_left = progress();
            if (last < 0 || now_left < last)
                moved = ztp_tick_ms();
            last = now_left;
            if (ztp_tick_ms() - moved >= bound) {
                ZEL_LOGW("ztp", "close: %s made no progress for %d s, dropped\n", what, ztp_gSessAliveSec);
                ztp_set_stop_waiting(s);
                return;
            }
        }
        ztp_sleep_ms(kCloseStepMs);
    }
}

} // namespace

int ztp_slot_close(int handle, bool force)
{
    ztp_slot *s;
    {
        // Testing and marking in one step: a second closer is refused here.
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        if (ztp_slot_handle_check(handle) != 0 || ztp_gSession[handle].closing || !ztp_gSession[handle].connected)
            return ERROR_ZTP_INVALID_SESSION_HANDLE;
        s = &ztp_gSession[handle];
        s->closing = 1;
        s->closed_called = 1;
        if (force)
            ztp_set_stop_waiting(s);
        // Readers waiting on a channel return at once.
        ztp_channels_post_all(s);
    }
    close_wait(
        s, "unsent data", [s] { return unsent_locked(*s) == 0; }, [s] { return unsent_locked(*s); });
    // The sending loop is done once all is sent: the Close is then the last frame on a TCP link.
    ztp_loop_stop(&ztp_gSlotThreads[handle], ZTP_LOOP_SEND_DRW);
    uint8_t msg[ZTP_HEADER_LEN];
    ztp_write_Empty(ZTP_MSG_CLOSE, msg, sizeof msg);
    ztp_slot_send_peer(s, msg, sizeof msg);
    bool tcp;
    {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        tcp = s->tcp_sock >= 0;
    }
    if (tcp)
        close_wait(
            s, "the peer's Close", [s] { return s->closed_remote != 0; }, [] { return int64_t{1}; });
    {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        ztp_set_stop_waiting(s);
    }
    ztp_loop_stop(&ztp_gSlotThreads[handle], ZTP_LOOP_RECV_DRW);
    // Callers still inside the slot's calls wake up, see the close and leave.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(ztp_gSessionLock);
            if (s->chan.users == 0) {
                ztp_channels_free(s);
                break;
            }
            ztp_channels_post_all(s);
        }
        ztp_sleep_ms(1);
    }
    ztp_slot_release(handle);
    return 0;
}

int ztp_proto_Check(int handle, ztp_session_info *info)
{
    ztp_call_guard guard;
    if (!ztp_gFlagInitialized.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (info == nullptr)
        return ERROR_ZTP_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    if (ztp_slot_handle_check(handle) != 0)
        return ERROR_ZTP_INVALID_SESSION_HANDLE;
    const ztp_slot &s = ztp_gSession[handle];
    std::memset(info, 0, sizeof *info);
    info->socket = s.tcp_sock >= 0 ? s.tcp_sock : s.sock;
    info->remote_addr = s.remote;
    info->local_addr = s.local;
    info->wan_addr = s.wan;
    if (s.connected)
        info->seconds_connected = static_cast<uint32_t>((ztp_tick_ms() - s.ready_ms) / 1000);
    std::memcpy(info->did, s.did_text, sizeof info->did);
    info->role = s.role;
    info->mode = s.mode;
    return ztp_slot_closed_code(s);
}

int ztp_slot_closed_code(const ztp_slot &s)
{
    if (s.closed_called || s.closing)
        return ERROR_ZTP_SESSION_CLOSED_CALLED;
    if (s.broken)
        return ERROR_ZTP_SESSION_CLOSED_INSUFFICIENT_MEMORY;
    if (s.closed_timeout)
        return ERROR_ZTP_SESSION_CLOSED_TIMEOUT;
    if (s.closed_remote)
        return ERROR_ZTP_SESSION_CLOSED_REMOTE;
    return 0;
}

int ztp_proto_Close(int handle)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    return ztp_slot_close(handle, false);
}

int ztp_proto_ForceClose(int handle)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    return ztp_slot_close(handle, true);
}
