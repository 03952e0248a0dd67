#include "ztp_session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
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

int ztp_slot_close(int handle, bool force)
{
    ztp_slot *s;
    {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        if (ztp_slot_handle_check(handle) != 0 || ztp_gSession[handle].closing || !ztp_gSession[handle].connected)
            return ERROR_ZTP_INVALID_SESSION_HANDLE;
        s = &ztp_gSession[handle];
        s->closing = 1;
        s->closed_called = 1;
        if (force)
            s->stop_waiting = 1;
    }
    uint8_t msg[ZTP_HEADER_LEN];
    ztp_write_Empty(ZTP_MSG_CLOSE, msg, sizeof msg);
    ztp_slot_send_peer(s, msg, sizeof msg);
    {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        s->stop_waiting = 1;
    }
    ztp_loop_stop(&ztp_gSlotThreads[handle], ZTP_LOOP_SEND_DRW);
    ztp_loop_stop(&ztp_gSlotThreads[handle], ZTP_LOOP_RECV_DRW);
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
    if (s.closed_called)
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
    if (!ztp_gFlagInitialized.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    ztp_call_guard guard;
    return ztp_slot_close(handle, false);
}
