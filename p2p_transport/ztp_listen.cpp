// ZTP_Listen: one device-side listen, from the login to a ready session (punched, relayed over
// UDP or TCP) or its failure; and the login freshness check.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_dc.h"
#include "ztp_did_text.h"
#include "ztp_dispatch.h"
#include "ztp_drw.h"
#include "ztp_ports.h"
#include "ztp_servers.h"
#include "ztp_session.h"
#include "ztp_socket.h"
#include "ztp_state.h"
#include "ztp_tcp_relay.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr unsigned kTimeoutMin = 60;
constexpr unsigned kTimeoutMax = 86400;
constexpr int kCycleMs = 100;
constexpr int kStepMs = 10;
constexpr int64_t kDetectStaleMs = 86400LL * 1000;
constexpr int64_t kTcpFallbackMs = 2000;
constexpr int64_t kTcpReloginMs = 60000;
constexpr int64_t kLoginFreshMs = 61000;

using lock_t = std::lock_guard<std::mutex>;

// A de-initialisation that began meanwhile also ends the listen: its break may have come before
// this listen cleared the flag.
bool broken()
{
    return ztp_break_raised(&ztp_gFlagUserBreakListen) || ztp_gListenTimeOut.load() == 0 ||
           ztp_gFlagOnDeInitialize.load() != 0;
}

bool ticked_since(const std::atomic<int64_t> &t, int64_t since)
{
    const int64_t v = t.load();
    return v >= 0 && v >= since;
}

void resolve_only()
{
    const int64_t last = ztp_gLastNetDetectTime.load();
    if (last >= 0 && ztp_tick_ms() - last <= kDetectStaleMs)
        return;
    sockaddr_in addrs[ZTP_SERVER_COUNT];
    const int resolved = ztp_resolve_servers(ztp_gP2PServerName, addrs);
    lock_t lock(ztp_gSessionLock);
    std::memcpy(ztp_gP2PServerAddr, addrs, sizeof addrs);
    ztp_gNetInfo.host_resolved = static_cast<uint8_t>(resolved);
}

int open_slot_socket(ztp_slot &s, uint16_t port)
{
    const int sock = ztp_setup_Socket();
    if (sock < 0)
        return ERROR_ZTP_UDP_PORT_BIND_FAILED;
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const int bound = ztp_TryBind(sock, port, nullptr);
    if (bound < 0) {
        close(sock);
        return ERROR_ZTP_UDP_PORT_BIND_FAILED;
    }
    lock_t lock(ztp_gSessionLock);
    s.sock = sock;
    s.port = static_cast<uint16_t>(bound);
    zt_SA_SetSockAddr(&s.local, ztp_gNetInfo.lan_ip, s.port);
    zt_SA_SetSockAddr(&s.wan, ztp_gNetInfo.wan_ip, s.port);
    return 0;
}

void send_hellos(ztp_slot &s)
{
    uint8_t hello[ZTP_HEADER_LEN];
    ztp_write_Empty(ZTP_MSG_HELLO, hello, sizeof hello);
    lock_t lock(ztp_gSessionLock);
    ztp_send_to_servers(s.sock, &s.key, hello, sizeof hello, 0);
    for (int i = 0; i < ZTP_SERVER_COUNT; ++i)
        if (ztp_gtickServerAck[i].load() < 0)
            ztp_gtickServerHelloSent[i] = ztp_tick_ms();
}

// ---- TCP login fallback (login mode 2) ----------------------------------------------------------

void prepare_tcp_records(ztp_slot &s)
{
    lock_t lock(ztp_gSessionLock);
    for (int i = 0; i < ZTP_SERVER_COUNT; ++i) {
        if (ztp_gP2PServerAddr[i].sin_addr.s_addr == 0)
            continue;
        char name[8];
        char ip[16];
        std::snprintf(name, sizeof name, "Server%d", i + 1);
        zt_SA_GetIPString(&ztp_gP2PServerAddr[i], ip);
        s.tcp[i] = ztp_AllocTCPSessionInfo(name, ip, static_cast<uint16_t>(ztp_tcp_port()), ZTP_TCP_MSG_MAX);
    }
}

void maybe_switch_tcp_on(ztp_slot &s, int64_t prev_listen_start)
{
    lock_t lock(ztp_gSessionLock);
    if (s.tcp_login != 0)
        return;
    const bool no_udp_login = !ticked_since(ztp_gLastSuccessLoginTime, s.listen_start_ms);
    const bool slow = ztp_tick_ms() - s.listen_start_ms > kTcpFallbackMs && no_udp_login;
    const bool silent_since_last = prev_listen_start >= 0 &&
                                   !ticked_since(ztp_gLastSuccessLoginTime, prev_listen_start) &&
                                   !ticked_since(ztp_gLastHelloAckTime, prev_listen_start);
    if (slow || silent_since_last) {
        s.tcp_login = 1;
        ZEL_LOGI(kTag, "UDP login unanswered: TCP login to the servers\n");
    }
}

// Connect, send the login, read and handle what the TCP records got. The listen thread owns them.
void tcp_step(int slot, ztp_slot &s)
{
    ztp_tcp_login_params params{};
    char crc[ZTP_CRC_KEY_MAX + 1];
    {
        lock_t lock(ztp_gSessionLock);
        if (s.tcp_login != 1)
            return;
        std::memcpy(crc, ztp_gCRCKey, sizeof crc);
        params.did = s.did;
        params.nat_type = ztp_gNetInfo.nat_type;
        params.dsk = s.dsk;
    }
    params.login_key = crc;
    params.key = &s.key;
    const bool dsk = s.dsk[0] != '\0';
    ztp_Do_TCPConnect(s.tcp, ZTP_SERVER_COUNT, dsk ? ZTP_TCP_REQ_LOGIN_DSK : ZTP_TCP_REQ_LOGIN);
    if (dsk)
        ztp_Do_TCPSendDevLgnDSK(s.tcp, ZTP_SERVER_COUNT, &params);
    else
        ztp_Do_TCPSendDevLgn(s.tcp, ZTP_SERVER_COUNT, &params);
    ztp_Do_TCPRecv(s.tcp, ZTP_SERVER_COUNT, &s.key);
    for (ztp_tcp_session_info *r : s.tcp) {
        uint8_t type = 0;
        uint8_t payload[ZTP_TCP_MSG_MAX];
        size_t n = sizeof payload;
        if (r && Check_MSG_Ready(r, &type, payload, &n) == 0)
            ztp_handle_server_msg(slot, type, payload, n, true);
    }
}

void ask_tcp_relogin(ztp_slot &s)
{
    for (ztp_tcp_session_info *r : s.tcp) {
        if (r && r->connected) {
            r->send_login = s.dsk[0] == '\0';
            r->send_login_dsk = s.dsk[0] != '\0';
        }
    }
}

// ---- the listen loop ------------------------------------------------------------------------------

bool cycle_ends(const ztp_slot &s)
{
    lock_t lock(ztp_gSessionLock);
    return s.connected || s.login_state >= 0x80 || s.relay_start;
}

void run_cycles(int slot, ztp_slot &s, int64_t t0, int64_t timeout_ms)
{
    const int64_t prev_listen_start = ztp_gLastListenStartTime.load();
    int64_t last_relogin = 0;
    for (int cycle = 0;; ++cycle) {
        if (cycle >= static_cast<int64_t>(ztp_gListenTimeOut.load()) * 10 || ztp_tick_ms() - t0 >= timeout_ms ||
            broken())
            return;
        if (s.login_mode != ZTP_LOGIN_NONE) {
            if (cycle == 0)
                send_hellos(s);
            if (cycle == 0 || cycle == 10 || cycle == 30 || cycle % 300 == 0) {
                lock_t lock(ztp_gSessionLock);
                ztp_send_login(slot, 0);
            }
        }
        if (cycle_ends(s))
            return;
        if (s.login_mode == ZTP_LOGIN_UDP_TCP && cycle == 0) {
            s.listen_start_ms = ztp_tick_ms();
            last_relogin = s.listen_start_ms;
            prepare_tcp_records(s);
        }
        // Cycles keep to the listen's start, so that the 30 s login does not drift.
        const int64_t cycle_end = t0 + (cycle + 1) * static_cast<int64_t>(kCycleMs);
        while (ztp_tick_ms() < cycle_end && !broken()) {
            if (s.login_mode == ZTP_LOGIN_UDP_TCP) {
                maybe_switch_tcp_on(s, prev_listen_start);
                if (ztp_tick_ms() - last_relogin >= kTcpReloginMs) {
                    ask_tcp_relogin(s);
                    last_relogin = ztp_tick_ms();
                }
                tcp_step(slot, s);
                if (cycle_ends(s))
                    return;
            }
            ztp_DC_DoSendMsg(slot);
            ztp_sleep_ms(kStepMs);
        }
        if (cycle % 10 == 0) {
            lock_t lock(ztp_gSessionLock);
            s.punch_to_seen = 0;
        }
    }
}

int login_refusal(uint8_t state)
{
    switch (state) {
    case 0xFF:
        return ERROR_ZTP_INVALID_ID;
    case 0xFE:
        return ERROR_ZTP_ID_OUT_OF_DATE;
    case 0xFD:
        return ERROR_ZTP_INVALID_PREFIX;
    case 0xFC:
        return ERROR_ZTP_INVALID_DSK;
    default:
        return ERROR_ZTP_INVALID_ID;
    }
}

int setup_tcp_relay(ztp_slot &s)
{
    ztp_relay_setup_in in{};
    {
        lock_t lock(ztp_gSessionLock);
        in.did = s.did;
        in.role = s.role;
        in.ticket = s.relay_ticket;
        in.relay = s.relay;
    }
    in.brk = &ztp_gFlagUserBreakListen;
    ztp_relay_setup_out out{};
    const int r = ztp_proto_TCPRelay_Setup(&in, &out);
    lock_t lock(ztp_gSessionLock);
    s.relay_setup_state = out.state;
    if (r != 0)
        return r;
    s.tcp_sock = out.sock;
    s.relay_addrs[0] = out.addr[0];
    s.relay_addrs[1] = out.addr[1];
    s.wan = out.addr[1];
    ztp_TCPSkt_GetLocalAddr(out.sock, &s.local);
    s.remote = s.relay;
    s.mode = ZTP_MODE_TCP_RELAY;
    s.connected = 1;
    s.ready_ms = out.ready_ms;
    return 0;
}

int listen_result(int handle, ztp_slot &s)
{
    uint8_t login_state;
    bool relay_start, connected;
    {
        lock_t lock(ztp_gSessionLock);
        login_state = s.login_state;
        relay_start = s.relay_start && !s.connected;
        connected = s.connected;
    }
    if (login_state >= 0x80 && !connected)
        return login_refusal(login_state);
    if (s.login_mode == ZTP_LOGIN_UDP_TCP && relay_start)
        return setup_tcp_relay(s) == 0
                   ? handle
                   : (broken() ? ERROR_ZTP_USER_LISTEN_BREAK : ERROR_ZTP_FAILED_TO_CONNECT_TCP_RELAY);
    if (connected)
        return handle;
    return broken() ? ERROR_ZTP_USER_LISTEN_BREAK : ERROR_ZTP_TIME_OUT;
}

void report_session(ztp_slot &s, int result, int64_t t0)
{
    ztp_report_session_rdy r{};
    {
        lock_t lock(ztp_gSessionLock);
        r.did = s.did;
        r.result = result;
        r.max_sessions = static_cast<uint16_t>(ztp_gMaxNumSess);
        r.open_slots = static_cast<uint16_t>(ztp_open_slots_locked());
        r.role = s.role;
        r.mode = s.mode;
        r.login_mode = s.login_mode;
        r.slot_status = s.smart_punch_seen;
        r.local_addr = s.local;
        r.wan_addr = s.wan;
        r.remote_addr = s.remote;
    }
    const int64_t took = ztp_tick_ms() - t0;
    r.listen_ms = static_cast<uint16_t>(took > 0xFFFF ? 0xFFFF : took);
    uint8_t msg[ZTP_HEADER_LEN + 84];
    const int len = ztp_write_ReportSessionRdy(&r, msg, sizeof msg);
    if (len > 0 && s.sock >= 0) {
        lock_t lock(ztp_gSessionLock);
        ztp_send_to_servers(s.sock, &s.key, msg, static_cast<size_t>(len), 0);
    }
}

int listen_do(int handle, ztp_slot &s, unsigned timeout_s, uint16_t port)
{
    const int64_t t0 = ztp_tick_ms();
    resolve_only();
    if (open_slot_socket(s, port) != 0)
        return ERROR_ZTP_UDP_PORT_BIND_FAILED;
    ztp_loop_start(&ztp_gSlotThreads[handle], ZTP_LOOP_RECV_PROTO);
    ztp_loop_start(&ztp_gSlotThreads[handle], ZTP_LOOP_RECV_LANSEARCH);
    {
        lock_t lock(ztp_gSessionLock);
        s.login_state = 1;
    }
    run_cycles(handle, s, t0, static_cast<int64_t>(timeout_s) * 1000);
    {
        // Before the result is taken: a PunchPkt still in its LAN TCP tries then leaves the slot alone.
        lock_t lock(ztp_gSessionLock);
        s.listen_finished = 1;
    }
    const int result = listen_result(handle, s);
    ztp_loop_stop(&ztp_gSlotThreads[handle], ZTP_LOOP_RECV_PROTO);
    ztp_loop_stop(&ztp_gSlotThreads[handle], ZTP_LOOP_RECV_LANSEARCH);
    {
        lock_t lock(ztp_gSessionLock);
        for (auto &r : s.tcp) {
            ztp_FreeTCPrSessionInfo(r);
            r = nullptr;
        }
        if (s.lan_listen_sock >= 0)
            zt_TCPNBSkt_Close(s.lan_listen_sock);
        s.lan_listen_sock = -1;
        if (s.lan_tcp_sock >= 0 && s.lan_tcp_sock != s.tcp_sock) {
            zt_TCPNBSkt_Close(s.lan_tcp_sock);
            s.lan_tcp_sock = -1;
        }
    }
    report_session(s, result, t0);
    if (s.login_mode == ZTP_LOGIN_UDP_TCP)
        ztp_gLastListenStartTime = s.listen_start_ms;
    return result;
}

} // namespace

int ztp_proto_Listen(const char *did_arg, unsigned timeout_s, uint16_t udp_port, uint8_t login_mode)
{
    ztp_did did{};
    char text[24];
    char dsk[24];
    const int parsed = ztp_parse_did_arg(did_arg, &did, text, dsk);
    if (parsed == ERROR_ZTP_INVALID_ID)
        return parsed;
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (parsed != 0 || timeout_s < kTimeoutMin || timeout_s > kTimeoutMax || login_mode > ZTP_LOGIN_UDP_TCP)
        return ERROR_ZTP_INVALID_PARAMETER;

    int handle;
    ztp_slot *s;
    {
        lock_t lock(ztp_gSessionLock);
        handle = ztp_slot_reserve_locked();
        if (handle < 0)
            return handle;
        s = &ztp_gSession[handle];
        s->did = did;
        std::memcpy(s->did_text, text, sizeof s->did_text);
        std::memcpy(s->dsk, dsk, sizeof s->dsk);
        s->key = ztp_gP2PKey;
        s->role = 1;
        s->login_mode = login_mode;
        __atomic_store_n(&ztp_gFlagUserBreakListen, 0, __ATOMIC_RELEASE);
        ztp_gListenTimeOut = static_cast<int>(timeout_s);
    }
    ZEL_LOGI(kTag, "listen %s on slot %d, login mode %u\n", text, handle, login_mode);
    ++ztp_gListenRunning;
    const int result = listen_do(handle, *s, timeout_s, udp_port);
    --ztp_gListenRunning;
    if (result < 0) {
        ZEL_LOGI(kTag, "listen %s ends with %d\n", text, result);
        ztp_slot_release(handle);
        return result;
    }
    ztp_channels_open(handle);
    {
        lock_t lock(ztp_gSessionLock);
        s->stop_waiting = 0;
    }
    ztp_loop_start(&ztp_gSlotThreads[handle], ZTP_LOOP_SEND_DRW);
    ztp_loop_start(&ztp_gSlotThreads[handle], ZTP_LOOP_RECV_DRW);
    return result;
}

int ztp_SleepLogin(const char *did_arg, int sock)
{
    ztp_did did{};
    char text[24];
    char dsk[24];
    if (ztp_parse_did_arg(did_arg, &did, text, dsk) == ERROR_ZTP_INVALID_ID)
        return ERROR_ZTP_INVALID_ID;
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    lock_t lock(ztp_gSessionLock);
    ztp_dev_login login{};
    login.did = did;
    login.nat_type = ztp_gNetInfo.nat_type;
    ztp_TCPSkt_GetLocalAddr(sock, &login.local_addr);
    uint8_t msg[ZTP_MSG_BUFFER];
    const int len = ztp_write_DevLgn(ZTP_MSG_DEV_LGN1_CRC, &login, ztp_gCRCKey, msg, sizeof msg);
    if (len > 0)
        ztp_send_to_servers(sock, &ztp_gP2PKey, msg, static_cast<size_t>(len), 0);
    return 0;
}

int ztp_proto_Listen_Break(void)
{
    if (!ztp_gFlagInitialized.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    __atomic_store_n(&ztp_gFlagUserBreakListen, 1, __ATOMIC_RELEASE);
    ztp_gListenTimeOut = 0;
    return 0;
}

int ztp_proto_LoginStatus_Check(uint8_t *logged_in)
{
    if (!ztp_gFlagInitialized.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (logged_in == nullptr)
        return ERROR_ZTP_INVALID_PARAMETER;
    const int64_t udp = ztp_gLastSuccessLoginTime.load();
    const int64_t tcp = ztp_gLastSuccessLoginTimeTCP.load();
    const int64_t newest = udp > tcp ? udp : tcp;
    *logged_in = newest >= 0 && ztp_tick_ms() - newest < kLoginFreshMs;
    return 0;
}
