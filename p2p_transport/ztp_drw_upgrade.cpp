// Moving a relayed session to a direct path: the PunchGo, PunchTo, PunchPkt and PunchAck exchange
// that the relay and the peer start inside a ready session.
#include <arpa/inet.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_drw.h"
#include "ztp_socket.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int64_t kUpgradeWithinMs = 60000;
constexpr int kPunchSpread = 3;

enum { kPunchGo = 1, kPunchTo = 2, kPunchPkt = 3, kPunchAck = 4 };

bool same_did(const ztp_did &a, const ztp_did &b)
{
    return a.serial == b.serial && std::strcmp(a.prefix, b.prefix) == 0 && std::strcmp(a.check, b.check) == 0;
}

void send_plus(ztp_slot *s, uint8_t sub, uint8_t last, const sockaddr_in &to)
{
    ztp_rly_rdy_plus m{};
    m.sub_type = sub;
    std::memcpy(m.ticket, s->chan.ticket, sizeof m.ticket);
    m.did = s->did;
    m.addr[0] = s->wan;
    m.addr[1] = s->local;
    m.last = last;
    uint8_t msg[ZTP_MSG_BUFFER];
    const int n = ztp_write_RlyRdyPlus(&m, msg, sizeof msg);
    if (n > 0)
        ztp_SendMessage(s->sock, &s->key, msg, static_cast<size_t>(n), &to);
}

void punch(ztp_slot *s)
{
    const ztp_channels &c = s->chan;
    if (c.punch[0].sin_addr.s_addr == s->wan.sin_addr.s_addr) {
        send_plus(s, kPunchPkt, 0, c.punch[0]);
        return;
    }
    for (const sockaddr_in &a : c.punch) {
        if (a.sin_addr.s_addr == 0)
            continue;
        const int port = ntohs(a.sin_port);
        for (int p = port - kPunchSpread; p <= port + kPunchSpread; ++p) {
            if (p < 0 || p > 65535)
                continue;
            sockaddr_in to = a;
            to.sin_port = htons(static_cast<uint16_t>(p));
            send_plus(s, kPunchPkt, 0, to);
        }
    }
}

void upgrade(int slot, ztp_slot *s, const sockaddr_in &peer)
{
    s->chan.upgraded = 1;
    s->chan.upgrading = 0;
    s->mode = ZTP_MODE_RELAY_TO_P2P;
    s->remote = peer;
    char ip[16];
    ZEL_LOGI(kTag, "slot %d: relayed session moves to %s:%u\n", slot, zt_SA_GetIPString(&peer, ip), ntohs(peer.sin_port));
    ztp_report_rrp_p2p_rdy r{};
    r.did = s->did;
    r.addr[0] = s->local;
    r.addr[1] = s->wan;
    r.addr[2] = peer;
    uint8_t msg[ZTP_MSG_BUFFER];
    const int n = ztp_write_ReportRRP_P2PRdy(&r, msg, sizeof msg);
    if (n > 0)
        ztp_send_to_servers(s->sock, &s->key, msg, static_cast<size_t>(n), 0);
}

} // namespace

bool ztp_upgrade_accepts(const ztp_slot *s, const struct sockaddr_in &from)
{
    if (!s->chan.upgrading)
        return false;
    for (const sockaddr_in &a : s->chan.punch)
        if (a.sin_addr.s_addr != 0 && a.sin_addr.s_addr == from.sin_addr.s_addr)
            return true;
    return false;
}

void ztp_upgrade_message(int slot, const uint8_t *payload, size_t n, const struct sockaddr_in &from)
{
    ztp_slot *s = &ztp_gSession[slot];
    ztp_rly_rdy_plus m;
    if (ztp_read_RlyRdyPlus(payload, n, &m) != 0 || !same_did(m.did, s->did))
        return;
    ztp_channels &c = s->chan;
    if (m.sub_type == kPunchGo) {
        if (c.upgraded || s->mode != ZTP_MODE_RELAY || ztp_tick_ms() - s->ready_ms >= kUpgradeWithinMs ||
            !ztp_same_addr(from, s->remote))
            return;
        c.punch[0] = m.addr[0];
        c.punch[1] = m.addr[1];
        std::memcpy(c.ticket, m.ticket, sizeof c.ticket);
        c.upgrading = 1;
        send_plus(s, kPunchTo, 0, s->remote);
        return;
    }
    if (!c.upgrading || std::memcmp(c.ticket, m.ticket, sizeof c.ticket) != 0)
        return;
    switch (m.sub_type) {
    case kPunchTo:
        c.punch[0] = m.addr[0];
        c.punch[1] = m.addr[1];
        punch(s);
        return;
    case kPunchPkt:
        send_plus(s, kPunchAck, m.last, from);
        if (m.last == 1)
            upgrade(slot, s, from);
        return;
    case kPunchAck:
        if (m.last == 1)
            upgrade(slot, s, from);
        else
            send_plus(s, kPunchPkt, 1, from);
        return;
    default:
        return;
    }
}
