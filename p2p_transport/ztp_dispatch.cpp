#include "ztp_dispatch.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_dc.h"
#include "ztp_netdetect.h"
#include "ztp_ports.h"
#include "ztp_relay_service.h"
#include "ztp_socket.h"
#include "ztp_state.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int kRecvWaitMs = 50;
constexpr int kLanWaitMs = 40;
constexpr int kPunchRange = 3;
constexpr int kAnswerRepeats = 4;
constexpr int kRelayPktRepeats = 4;
constexpr uint8_t kDeviceRole = 1;

using lock_t = std::lock_guard<std::mutex>;

bool unusable(const sockaddr_in &a)
{
    return a.sin_addr.s_addr == 0 || a.sin_addr.s_addr == htonl(INADDR_BROADCAST);
}

bool did_matches(const ztp_slot &s, const ztp_did &d)
{
    return s.did.serial == d.serial && std::strcmp(s.did.prefix, d.prefix) == 0 &&
           std::strcmp(s.did.check, d.check) == 0;
}

// Another open slot already talks to `a` (as its remote or its relay). Under the lock.
bool other_slot_uses(int slot, const sockaddr_in &a, bool as_relay)
{
    for (int i = 0; i < ztp_gMaxNumSess; ++i) {
        const ztp_slot &o = ztp_gSession[i];
        if (i == slot || o.sock < 0)
            continue;
        if (as_relay ? (o.relay_named && ztp_same_addr(o.relay, a)) : (o.connected && ztp_same_addr(o.remote, a)))
            return true;
    }
    return false;
}

bool server_only(uint8_t type)
{
    switch (type) {
    case ZTP_MSG_HELLO_ACK:
    case ZTP_MSG_DEV_LGN_ACK:
    case ZTP_MSG_DEV_LGN1_CRC:
    case ZTP_MSG_SSD_PEER_LIST:
    case ZTP_MSG_SSD_DEV_LIST:
    case ZTP_MSG_SMART_PUNCH_TO:
    case ZTP_MSG_PUNCH_TO:
    case ZTP_MSG_TCP_RS_START:
    case ZTP_MSG_RLY_TO:
    case ZTP_MSG_SDEV_RUN:
    case ZTP_MSG_DC:
        return true;
    default:
        return false;
    }
}

void send_to(ztp_slot &s, const uint8_t *msg, int n, const sockaddr_in &to)
{
    if (n > 0)
        ztp_SendMessage(s.sock, &s.key, msg, static_cast<size_t>(n), &to);
}

void send_did_only(ztp_slot &s, uint8_t type, const sockaddr_in &to)
{
    uint8_t msg[ZTP_HEADER_LEN + ZTP_DID_BLOCK_LEN];
    send_to(s, msg, ztp_write_DidOnly(type, &s.did, msg, sizeof msg), to);
}

// Local address of the slot as seen towards `peer`, with the slot's port. Under the lock.
void refresh_local(ztp_slot &s, const sockaddr_in &peer)
{
    sockaddr_in local{};
    if (ztp_local_addr_towards(&peer, &local) != 0)
        return;
    local.sin_port = htons(s.port);
    s.local = local;
    zt_SA_GetIPString(&local, ztp_gNetInfo.lan_ip);
}

void mark_ready(ztp_slot &s, uint8_t mode, const sockaddr_in &remote)
{
    s.remote = remote;
    s.mode = mode;
    s.connected = 1;
    s.listen_finished = 1;
    s.ready_ms = ztp_tick_ms();
    ZEL_LOGI(kTag, "session %s ready in mode %u with %s:%u\n", s.did_text, mode, inet_ntoa(remote.sin_addr),
             ntohs(remote.sin_port));
}

void on_login_answer(ztp_slot &s, uint8_t result, bool tcp)
{
    s.login_state = result;
    if (result == 0)
        (tcp ? ztp_gLastSuccessLoginTimeTCP : ztp_gLastSuccessLoginTime) = ztp_tick_ms();
    else
        ZEL_LOGW(kTag, "login of %s refused: 0x%02X\n", s.did_text, result);
    if (!tcp && s.tcp_login == 1)
        s.tcp_login = 2;
}

void on_relay_start(ztp_slot &s, const uint8_t *p, size_t n)
{
    ztp_tcp_relay_start start{};
    if (s.login_mode != ZTP_LOGIN_UDP_TCP || ztp_read_TCPRSStart(p, n, &start) != 0)
        return;
    s.relay = start.relay;
    s.relay_ticket = start.ticket;
    s.relay_start = 1;
    s.listen_finished = 1;
}

// Punches `count` ports on each side of `base` (at `step`), and `base` itself unless skipped;
// ports stay within 1..65535.
void punch_range(ztp_slot &s, const sockaddr_in &peer, int base, int count, int step, bool with_base)
{
    sockaddr_in to = peer;
    for (int k = -count; k <= count; ++k) {
        const int port = base + k * step;
        if ((k == 0 && !with_base) || port < 1 || port > 65535)
            continue;
        to.sin_port = htons(static_cast<uint16_t>(port));
        send_did_only(s, ZTP_MSG_PUNCH_PKT, to);
    }
}

void on_punch_to(int slot, ztp_slot &s, const sockaddr_in &peer)
{
    if (unusable(peer) || s.connected)
        return;
    if (!s.punch_to_seen) {
        ZEL_LOGI(kTag, "PunchTo: punching towards %s:%u\n", inet_ntoa(peer.sin_addr), ntohs(peer.sin_port));
        s.punch_to_seen = 1;
        ztp_send_login(slot, static_cast<uint16_t>(ztp_punch_port(1)));
        send_did_only(s, ZTP_MSG_PUNCH_PKT, peer);
        ztp_send_login(slot, static_cast<uint16_t>(ztp_punch_port(2)));
    }
    s.last_punch_to_ms = ztp_tick_ms();
    send_did_only(s, ZTP_MSG_PUNCH_PKT, peer);
    for (int round = 0; round < 3; ++round) {
        if (peer.sin_addr.s_addr == s.wan.sin_addr.s_addr)
            send_did_only(s, ZTP_MSG_PUNCH_PKT, peer);
        else
            punch_range(s, peer, ntohs(peer.sin_port), kPunchRange, 1, true);
    }
}

// A count of up to 65535 ports each way takes a while: sent without the session lock (the slot and
// its socket stay while the listen that runs this dispatcher lasts).
void on_smart_punch_to(ztp_slot &s, const uint8_t *p, size_t n, std::unique_lock<std::mutex> &lock)
{
    sockaddr_in peer{};
    uint16_t count = 0;
    uint8_t tail[2];
    if (ztp_read_SmartPunchTo(p, n, &peer, &count, tail) != 0)
        return;
    s.smart_punch_seen = 1;
    if (unusable(peer) || s.connected)
        return;
    lock.unlock();
    punch_range(s, peer, ntohs(peer.sin_port), count, tail[0] ? tail[0] : 1, tail[1] == 0);
    lock.lock();
}

void on_ssd_list(ztp_slot &s, const uint8_t *p, size_t n)
{
    ztp_did did{};
    sockaddr_in addrs[64];
    uint16_t count = 0;
    if (ztp_read_SSDList(p, n, &did, addrs, 64, &count) != 0 || !did_matches(s, did) || s.connected)
        return;
    uint8_t msg[ZTP_HEADER_LEN + 40];
    const int len = ztp_write_SSDDevLgn(&s.did, 0, &s.local, msg, sizeof msg);
    for (uint16_t i = 0; i < count; ++i)
        send_to(s, msg, len, addrs[i]);
}

// The LAN TCP link offered on a PunchPkt that followed a LAN-search answer or a PunchTo closely.
bool offer_lan_tcp(ztp_slot &s, std::unique_lock<std::mutex> &lock)
{
    const int64_t now = ztp_tick_ms();
    int tries = 0;
    if (s.lan_answer_ms >= 0 && now - s.lan_answer_ms < 50)
        tries = 50;
    else if (s.last_punch_to_ms >= 0 && now - s.last_punch_to_ms < 20)
        tries = 20;
    ZEL_LOGD(kTag, "PunchPkt %lld ms after the LAN answer: %d LAN TCP tries\n",
             static_cast<long long>(s.lan_answer_ms >= 0 ? now - s.lan_answer_ms : -1), tries);
    if (tries == 0 || s.wan.sin_addr.s_addr == 0)
        return false;
    if (s.lan_listen_sock < 0) {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(s.port);
        s.lan_listen_sock = zt_TCPNBSkt_CreateBindListenAddr(&any, 4);
        if (s.lan_listen_sock < 0) {
            ZEL_LOGW(kTag, "LAN TCP on port %u cannot listen\n", s.port);
            return false;
        }
    }
    const int listen_sock = s.lan_listen_sock;
    lock.unlock();
    int accepted = -1;
    for (int i = 0; i < tries && accepted < 0; ++i) {
        ztp_sleep_ms(tries / 10);
        sockaddr_in from{};
        accepted = zt_TCPNBSkt_Accept(listen_sock, &from);
    }
    lock.lock();
    if (accepted < 0) {
        ZEL_LOGI(kTag, "LAN TCP: no connection in %d tries\n", tries);
        return false;
    }
    if (s.lan_tcp_sock >= 0)
        zt_TCPNBSkt_Close(s.lan_tcp_sock);
    s.lan_tcp_sock = accepted;
    return true;
}

// The LAN TCP socket carries the session from now on, with the addresses of its own link.
bool ready_on_lan_tcp(ztp_slot &s)
{
    sockaddr_in remote{};
    if (zt_SA_GetRemoteSockAddr(s.lan_tcp_sock, &remote) != 0)
        return false;
    s.tcp_sock = s.lan_tcp_sock;
    s.tcp_plain = 1;
    ztp_TCPSkt_GetLocalAddr(s.tcp_sock, &s.local);
    mark_ready(s, ZTP_MODE_P2P, remote);
    return true;
}

// A phone answers our PunchPkt with its own and nothing more: its PunchPkt is what makes the slot
// ready. The P2PRdy answers only tell the phone; later ones come from the channel loop until the
// phone speaks.
void on_punch_pkt(int slot, ztp_slot &s, const sockaddr_in &from, const uint8_t *p, size_t n,
                  std::unique_lock<std::mutex> &lock)
{
    ztp_did did{};
    if (ztp_read_DidOnly(p, n, &did) != 0 || !did_matches(s, did) || s.listen_finished ||
        other_slot_uses(slot, from, false))
        return;
    refresh_local(s, from);
    if (ztp_same_addr(from, s.local))
        return;
    s.remote = from;
    s.ready_ms = ztp_tick_ms();
    const bool lan_tcp = offer_lan_tcp(s, lock);
    // The listen may have ended during the tries: its result is taken, the slot is no longer its own.
    // (The listen closes a LAN TCP socket accepted meanwhile.)
    if (s.listen_finished || s.sock < 0)
        return;
    const bool on_tcp = lan_tcp && ready_on_lan_tcp(s);
    if (!on_tcp)
        mark_ready(s, ZTP_MODE_P2P, from);
    const uint8_t answer = on_tcp ? ZTP_MSG_P2P_RDY_LAN_TCP : ZTP_MSG_P2P_RDY;
    for (int i = 0; i < kAnswerRepeats; ++i) {
        if (i > 0) {
            lock.unlock();
            ztp_sleep_ms(10);
            lock.lock();
        }
        send_did_only(s, answer, from);
    }
}

void on_p2p_rdy(ztp_slot &s, const sockaddr_in &from, const uint8_t *p, size_t n)
{
    ztp_did did{};
    if (ztp_read_DidOnly(p, n, &did) != 0 || !did_matches(s, did) || s.connected)
        return;
    mark_ready(s, ZTP_MODE_P2P, from);
    refresh_local(s, from);
}

void on_try_lan_tcp(ztp_slot &s, const uint8_t *p, size_t n)
{
    ztp_did did{};
    sockaddr_in to{};
    if (s.lan_answer_ms < 0 || ztp_read_TryLanTcp(p, n, &did, &to) != 0 || !did_matches(s, did) || s.lan_tcp_sock >= 0)
        return;
    s.lan_tcp_sock = zt_TCPNBSkt_Create();
    if (s.lan_tcp_sock >= 0)
        zt_TCPNBSkt_Connect(s.lan_tcp_sock, &to);
}

void on_p2p_rdy_lan_tcp(ztp_slot &s, const uint8_t *p, size_t n)
{
    ztp_did did{};
    if (ztp_read_DidOnly(p, n, &did) != 0 || !did_matches(s, did) || s.connected || s.lan_tcp_sock < 0)
        return;
    ready_on_lan_tcp(s);
}

void on_rly_to(int slot, ztp_slot &s, const uint8_t *p, size_t n)
{
    sockaddr_in relay{};
    uint32_t ticket = 0;
    if (ztp_read_RlyTo(p, n, &relay, &ticket) != 0 || unusable(relay) || s.connected ||
        other_slot_uses(slot, relay, true))
        return;
    s.relay = relay;
    s.relay_ticket = ticket;
    s.relay_named = 1;
    ztp_rly_pkt pkt{ticket, s.did, s.role};
    uint8_t msg[ZTP_HEADER_LEN + 28];
    const int len = ztp_write_RlyPkt(&pkt, msg, sizeof msg);
    for (int i = 0; i < kRelayPktRepeats; ++i)
        send_to(s, msg, len, relay);
}

void on_rly_rdy(int slot, ztp_slot &s, const sockaddr_in &from, const uint8_t *p, size_t n)
{
    ztp_did did{};
    if (!s.relay_named || !ztp_same_addr(from, s.relay)) {
        ZEL_LOGW(kTag, "RlyRdy from %s:%u, not the relay named, ignored\n", inet_ntoa(from.sin_addr),
                 ntohs(from.sin_port));
        return;
    }
    if (ztp_read_DidOnly(p, n, &did) != 0 || !did_matches(s, did) || s.connected || other_slot_uses(slot, from, false))
        return;
    mark_ready(s, ZTP_MODE_RELAY, from);
    s.relay_state = 1;
    refresh_local(s, from);
}

void on_hello_ack(ztp_slot &s, const sockaddr_in &from, int server, const uint8_t *p, size_t n)
{
    sockaddr_in wan{};
    if (ztp_read_Addr(p, n, &wan) != 0)
        return;
    ztp_gLastHelloAckTime = ztp_tick_ms();
    s.wan = wan;
    refresh_local(s, from);
    if (s.tcp_login == 1)
        s.tcp_login = 2;
    int64_t none = -1;
    ztp_gtickServerAck[server].compare_exchange_strong(none, ztp_tick_ms());
}

void handle_udp(int slot, const sockaddr_in &from, uint8_t type, const uint8_t *p, size_t n)
{
    std::unique_lock<std::mutex> lock(ztp_gSessionLock);
    ztp_slot &s = ztp_gSession[slot];
    const int server = ztp_server_index(&from);
    if (server_only(type) && server < 0) {
        ZEL_LOGW(kTag, "message 0x%02X from %s:%u, not a server, ignored\n", type, inet_ntoa(from.sin_addr),
                 ntohs(from.sin_port));
        return;
    }
    switch (type) {
    case ZTP_MSG_HELLO_ACK:
        on_hello_ack(s, from, server, p, n);
        break;
    case ZTP_MSG_DEV_LGN_ACK:
    case ZTP_MSG_DEV_LGN1_CRC:
    case ZTP_MSG_TCP_RS_START:
    case ZTP_MSG_DC:
        lock.unlock();
        ztp_handle_server_msg(slot, type, p, n, false);
        if (type == ZTP_MSG_DEV_LGN_ACK || type == ZTP_MSG_DEV_LGN1_CRC) {
            lock.lock();
            if (s.tcp_login == 1)
                s.tcp_login = 2;
            if (s.login_state == 0)
                refresh_local(s, from);
        }
        break;
    case ZTP_MSG_SSD_DEV_LIST:
        on_ssd_list(s, p, n);
        break;
    case ZTP_MSG_SMART_PUNCH_TO:
        on_smart_punch_to(s, p, n, lock);
        break;
    case ZTP_MSG_PUNCH_TO: {
        sockaddr_in peer{};
        if (ztp_read_Addr(p, n, &peer) == 0)
            on_punch_to(slot, s, peer);
        break;
    }
    case ZTP_MSG_PUNCH_PKT:
        on_punch_pkt(slot, s, from, p, n, lock);
        break;
    case ZTP_MSG_P2P_RDY:
        on_p2p_rdy(s, from, p, n);
        break;
    case ZTP_MSG_TRY_LAN_TCP:
        on_try_lan_tcp(s, p, n);
        break;
    case ZTP_MSG_P2P_RDY_LAN_TCP:
        on_p2p_rdy_lan_tcp(s, p, n);
        break;
    case ZTP_MSG_LIST_REQ_ACK:
        if (s.tcp_login == 1)
            s.tcp_login = 2;
        break;
    case ZTP_MSG_RLY_TO:
        on_rly_to(slot, s, p, n);
        break;
    case ZTP_MSG_RLY_RDY:
        on_rly_rdy(slot, s, from, p, n);
        break;
    case ZTP_MSG_SDEV_RUN: {
        const ztp_did did = s.did;
        lock.unlock();
        ztp_services_on_sdev_run(&did);
        break;
    }
    default:
        break;
    }
}

bool listening(int slot, ztp_loop loop)
{
    lock_t lock(ztp_gSessionLock);
    const ztp_slot &s = ztp_gSession[slot];
    return ztp_loop_running(&ztp_gSlotThreads[slot], loop) && !s.listen_finished && !s.connected;
}

} // namespace

void ztp_send_login(int slot, uint16_t port)
{
    ztp_slot &s = ztp_gSession[slot];
    ztp_dev_login login{};
    login.did = s.did;
    login.nat_type = ztp_gNetInfo.nat_type;
    login.local_addr = s.local;
    login.dsk = s.dsk;
    uint8_t msg[ZTP_MSG_BUFFER];
    const uint8_t type = s.dsk[0] ? ZTP_MSG_DEV_LGN_DSK : ZTP_MSG_DEV_LGN_CRC;
    const int len = ztp_write_DevLgn(type, &login, ztp_gCRCKey, msg, sizeof msg);
    if (len > 0)
        ztp_send_to_servers(s.sock, &s.key, msg, static_cast<size_t>(len), port);
}

void ztp_handle_server_msg(int slot, uint8_t type, const uint8_t *p, size_t n, bool tcp)
{
    lock_t lock(ztp_gSessionLock);
    ztp_slot &s = ztp_gSession[slot];
    uint8_t result = 0;
    switch (type) {
    case ZTP_MSG_DEV_LGN_ACK:
        if (ztp_read_DevLgnAck(p, n, &result) == 0)
            on_login_answer(s, result, tcp);
        break;
    case ZTP_MSG_DEV_LGN1_CRC:
        if (ztp_read_DevLgnAckCRC(p, n, ztp_gCRCKey, &result) == 0)
            on_login_answer(s, result, tcp);
        else
            ZEL_LOGW(kTag, "login answer fails its check, dropped\n");
        break;
    case ZTP_MSG_TCP_RS_START:
        on_relay_start(s, p, n);
        break;
    case ZTP_MSG_DC: {
        ztp_dc dc{};
        if (ztp_read_DC(p, n, &dc) != 0)
            break;
        if (did_matches(s, dc.did) && s.role == kDeviceRole)
            ztp_DC_Parser(slot, &dc);
        else
            ZEL_LOGW(kTag, "DC message for %s-%06u-%s, not this device, ignored\n", dc.did.prefix, dc.did.serial,
                     dc.did.check);
        break;
    }
    default:
        break;
    }
}

void ztp_Run_recv_Proto(int slot)
{
    const int sock = ztp_gSession[slot].sock;
    const ztp_scramble_key key = ztp_gSession[slot].key;
    while (listening(slot, ZTP_LOOP_RECV_PROTO)) {
        sockaddr_in from{};
        uint8_t type = 0;
        uint8_t payload[ZTP_MAX_DATAGRAM];
        size_t size = sizeof payload;
        const int r = ztp_proto_Proto_Recv_ALL(sock, &key, kRecvWaitMs, &from, &type, payload, &size);
        if (r == 0)
            handle_udp(slot, from, type, payload, size);
        else if (r == -2)
            ztp_sleep_ms(kRecvWaitMs);
    }
}

void ztp_Run_recv_LanSearch(int slot)
{
    const int lan = ztp_setup_listen_port(static_cast<uint16_t>(ztp_lan_port()));
    if (lan < 0)
        return;
    while (listening(slot, ZTP_LOOP_RECV_LANSEARCH)) {
        sockaddr_in from{};
        uint8_t type = 0;
        uint8_t payload[ZTP_MAX_DATAGRAM];
        size_t size = sizeof payload;
        if (ztp_proto_Proto_Recv_ALL(lan, &ztp_gSession[slot].key, kLanWaitMs, &from, &type, payload, &size) != 0 ||
            type != ZTP_MSG_LAN_SEARCH)
            continue;
        lock_t lock(ztp_gSessionLock);
        ztp_slot &s = ztp_gSession[slot];
        // Answered from the slot's own socket, so that the searcher learns the port to punch.
        send_did_only(s, ZTP_MSG_PUNCH_PKT, from);
        s.lan_answer_ms = ztp_tick_ms();
    }
    close(lan);
}
