#include "ztp_tcp_login.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_socket.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";

void clear_receive(ztp_tcp_session_info *info)
{
    info->header_got = 0;
    std::memset(info->header_raw, 0, sizeof info->header_raw);
    info->header = ztp_tcp_header{};
    info->msg_got = 0;
    info->msg_ready = 0;
}

void fail(ztp_tcp_session_info *info, const char *what)
{
    ZEL_LOGW(kTag, "%s: %s, connection reset\n", info->name, what);
    info->last_attempt_ms = ztp_tick_ms();
    info->attempted = 1;
    ztp_ResetTCPrSessionInfo(info);
}

// Reads what is there of the header, then of the message.
void receive_some(ztp_tcp_session_info *info, const ztp_scramble_key *key)
{
    if (info->header_got < ZTP_TCP_HEADER_LEN) {
        const int r =
            zt_TCPNBSkt_Recv(info->sock, info->header_raw + info->header_got, ZTP_TCP_HEADER_LEN - info->header_got);
        if (r < 0) {
            fail(info, r == -1 ? "closed by the server" : "receive error");
            return;
        }
        info->header_got = static_cast<uint8_t>(info->header_got + r);
        if (info->header_got < ZTP_TCP_HEADER_LEN)
            return;
        if (ztp_tcp_header_read(info->header_raw, &info->header) != 0) {
            fail(info, "bad TCP header");
            return;
        }
    }
    const size_t want = info->header.length;
    if (info->msg_got < want) {
        const int r = zt_TCPNBSkt_Recv(info->sock, info->buf + info->msg_got, want - info->msg_got);
        if (r < 0) {
            fail(info, r == -1 ? "closed by the server" : "receive error");
            return;
        }
        info->msg_got = static_cast<uint16_t>(info->msg_got + r);
        if (info->msg_got < want)
            return;
    }
    if (ztp_tcp_frame_open(ZTP_TCP_CHECKED, key, &info->header, info->buf, want, info->buf) != 0) {
        fail(info, "bad TCP check");
        return;
    }
    info->msg_ready = 1;
}

void send_login(ztp_tcp_session_info *info, const ztp_tcp_login_params *params, uint8_t type)
{
    ztp_dev_login login{};
    login.did = params->did;
    login.nat_type = params->nat_type;
    login.dsk = params->dsk;
    ztp_TCPSkt_GetLocalAddr(info->sock, &login.local_addr);
    uint8_t msg[ZTP_MSG_BUFFER];
    uint8_t framed[ZTP_TCP_HEADER_LEN + ZTP_MSG_BUFFER];
    const int n = ztp_write_DevLgn(type, &login, params->login_key, msg, sizeof msg);
    const int framed_len =
        n > 0 ? ztp_tcp_frame_write(ZTP_TCP_CHECKED, params->key, msg, static_cast<size_t>(n), framed, sizeof framed)
              : -1;
    if (framed_len < 0 || zt_TCPNBSkt_Overtime_Send(info->sock, framed, static_cast<size_t>(framed_len), nullptr,
                                                    ztp_tick_ms() + ZTP_TCP_SEND_MS) != 0) {
        fail(info, "login send failed");
        return;
    }
    if (type == ZTP_MSG_DEV_LGN_DSK)
        info->send_login_dsk = 0;
    else
        info->send_login = 0;
}

} // namespace

ztp_tcp_session_info *ztp_AllocTCPSessionInfo(const char *name, const char *server_ip, uint16_t port, size_t buf_size)
{
    if (name == nullptr || server_ip == nullptr || buf_size < ZTP_TCP_MSG_MAX)
        return nullptr;
    auto *info = static_cast<ztp_tcp_session_info *>(std::calloc(1, sizeof(ztp_tcp_session_info)));
    if (info == nullptr)
        return nullptr;
    info->buf = static_cast<uint8_t *>(std::malloc(buf_size));
    if (info->buf == nullptr || zt_SA_SetSockAddr(&info->server, server_ip, port) != 0) {
        std::free(info->buf);
        std::free(info);
        return nullptr;
    }
    std::snprintf(info->name, sizeof info->name, "%s", name);
    info->buf_size = buf_size;
    info->sock = -1;
    return info;
}

void ztp_ResetTCPrSessionInfo(ztp_tcp_session_info *info)
{
    if (info == nullptr)
        return;
    zt_TCPNBSkt_Close(info->sock);
    info->sock = -1;
    info->connected = 0;
    info->send_login = info->send_login_dsk = 0;
    info->send_rly_req = info->send_rly_req_dsk = info->send_rly_pre_req = info->send_rly_pre_req_dsk = 0;
    info->rly_req_retry = 0;
    clear_receive(info);
}

void ztp_FreeTCPrSessionInfo(ztp_tcp_session_info *info)
{
    if (info == nullptr)
        return;
    zt_TCPNBSkt_Close(info->sock);
    std::free(info->buf);
    std::free(info);
}

void ztp_Do_TCPConnect(ztp_tcp_session_info **records, int count, int request)
{
    const int64_t now = ztp_tick_ms();
    for (int i = 0; i < count; ++i) {
        ztp_tcp_session_info *info = records[i];
        if (info == nullptr)
            continue;
        if (info->sock < 0) {
            if (info->attempted && now - info->last_attempt_ms < ZTP_TCP_RETRY_MS)
                continue;
            ztp_ResetTCPrSessionInfo(info);
            info->sock = zt_TCPNBSkt_Create();
            info->attempted = 1;
            info->last_attempt_ms = now;
            if (info->sock < 0)
                continue;
        }
        if (info->connected)
            continue;
        const int step = zt_TCPNBSkt_Connect(info->sock, &info->server);
        if (step == -1) {
            // A server that never answers the connect counts as failed after the retry time.
            if (now - info->last_attempt_ms >= ZTP_TCP_RETRY_MS)
                fail(info, "connect timed out");
            continue;
        }
        if (step == -2) {
            fail(info, "connect failed");
            continue;
        }
        info->connected = 1;
        info->last_attempt_ms = now;
        switch (request) {
        case ZTP_TCP_REQ_LOGIN:
            info->send_login = 1;
            break;
        case ZTP_TCP_REQ_LOGIN_DSK:
            info->send_login_dsk = 1;
            break;
        case ZTP_TCP_REQ_RLY_PRE:
            info->send_rly_pre_req = 1;
            break;
        case ZTP_TCP_REQ_RLY_PRE_DSK:
            info->send_rly_pre_req_dsk = 1;
            break;
        default:
            break;
        }
    }
}

void ztp_Do_TCPSendDevLgn(ztp_tcp_session_info **records, int count, const ztp_tcp_login_params *params)
{
    for (int i = 0; i < count; ++i)
        if (records[i] && records[i]->connected && records[i]->send_login)
            send_login(records[i], params, ZTP_MSG_DEV_LGN_CRC);
}

void ztp_Do_TCPSendDevLgnDSK(ztp_tcp_session_info **records, int count, const ztp_tcp_login_params *params)
{
    for (int i = 0; i < count; ++i)
        if (records[i] && records[i]->connected && records[i]->send_login_dsk)
            send_login(records[i], params, ZTP_MSG_DEV_LGN_DSK);
}

void ztp_Do_TCPRecv(ztp_tcp_session_info **records, int count, const ztp_scramble_key *key)
{
    for (int i = 0; i < count; ++i) {
        ztp_tcp_session_info *info = records[i];
        if (info && info->connected && !info->msg_ready)
            receive_some(info, key);
    }
}

int Check_MSG_Ready(ztp_tcp_session_info *info, uint8_t *type, uint8_t *payload, size_t *payload_size)
{
    if (info == nullptr || !info->msg_ready)
        return -1;
    const int r = ztp_parse_message(info->buf, info->header.length, type, payload, payload_size);
    clear_receive(info);
    return r;
}
