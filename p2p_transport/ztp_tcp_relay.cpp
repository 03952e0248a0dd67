#include "ztp_tcp_relay.h"

#include <time.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_bytes.h"
#include "ztp_socket.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int kBroken = -16;
constexpr int kFailed = -24;
static_assert(ZTP_RELAY_REQUEST_LEN == ZTP_DID_BLOCK_LEN + 4 + 1 + 3, "DID parts, ticket, role, zeros");
static_assert(ZTP_RELAY_ANSWER_LEN == 2 * ZTP_ADDR24_LEN, "two addresses");

void sleep_ms(int64_t ms)
{
    if (ms <= 0)
        return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

int give_up(ztp_relay_setup_out *out, int state, const uint8_t *brk, const char *what)
{
    zt_TCPNBSkt_Close(out->sock);
    out->sock = -1;
    out->state = state;
    ZEL_LOGW(kTag, "TCP relay set-up: %s (state %d)\n", what, state);
    return ztp_break_raised(brk) ? kBroken : kFailed;
}

// Connect attempts within 5 s, at least 10 ms apart so that a refusing relay cannot make us spin.
int connect_relay(const ztp_relay_setup_in *in, ztp_relay_setup_out *out)
{
    const int64_t deadline = ztp_tick_ms() + ZTP_RELAY_STEP_MS;
    for (;;) {
        const int64_t started = ztp_tick_ms();
        out->sock = zt_TCPNBSkt_Create();
        if (out->sock < 0)
            return give_up(out, ZTP_RELAY_NO_SOCKET, in->brk, "no socket");
        ++out->attempts;
        const int r = zt_TCPNBSkt_Overtime_Connect(out->sock, &in->relay, in->brk, deadline);
        if (r == 0)
            return 0;
        if (r == -2)
            return give_up(out, ZTP_RELAY_CONNECT_FAILED, in->brk, "listen broken");
        zt_TCPNBSkt_Close(out->sock);
        out->sock = -1;
        out->state = ZTP_RELAY_CONNECT_FAILED;
        sleep_ms(started + ZTP_RELAY_PACE_MS - ztp_tick_ms());
        if (ztp_tick_ms() >= deadline || ztp_break_raised(in->brk))
            return give_up(out, ZTP_RELAY_CONNECT_FAILED, in->brk, "connect failed");
    }
}

} // namespace

int ztp_proto_TCPRelay_Setup(const ztp_relay_setup_in *in, ztp_relay_setup_out *out)
{
    std::memset(out, 0, sizeof *out);
    out->sock = -1;
    out->state = ZTP_RELAY_NOT_STARTED;
    const int connected = connect_relay(in, out);
    if (connected != 0)
        return connected;

    uint8_t request[ZTP_RELAY_REQUEST_LEN] = {};
    ztp_write_did(request, &in->did);
    ztp::put_be32(request + 20, in->ticket);
    request[24] = in->role;
    if (zt_TCPNBSkt_Overtime_Send(out->sock, request, sizeof request, in->brk, ztp_tick_ms() + ZTP_RELAY_STEP_MS) != 0)
        return give_up(out, ZTP_RELAY_REQUEST_FAILED, in->brk, "request not sent");

    uint8_t answer[ZTP_RELAY_ANSWER_LEN];
    if (zt_TCPNBSkt_Overtime_Recv(out->sock, answer, sizeof answer, in->brk, ztp_tick_ms() + ZTP_RELAY_STEP_MS) != 0)
        return give_up(out, ZTP_RELAY_REQUEST_FAILED, in->brk, "no complete answer");
    ztp_ntohAddr(answer, &out->addr[0], nullptr);
    ztp_ntohAddr(answer + ZTP_ADDR24_LEN, &out->addr[1], nullptr);
    out->state = ZTP_RELAY_CONNECTED;
    out->ready_ms = ztp_tick_ms();
    return 0;
}
