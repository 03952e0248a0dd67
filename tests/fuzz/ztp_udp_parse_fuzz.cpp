// Feeds a datagram to the receive validation and its payload to every message reader; the first
// byte picks the key string and the payload buffer size.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ztp_tables.h"
#include "ztp_wire.h"
#include "ztp_wire_msgs.h"

namespace {

const char *const kKeys[] = {nullptr, "KEYSTR", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"};

void read_all(const uint8_t *p, size_t n)
{
    ztp_did did;
    sockaddr_in a, b, list[8];
    uint8_t byte, two[2];
    uint32_t ticket;
    uint16_t count16, indexes[ZTP_DRW_ACK_MAX];
    size_t count;
    ztp_tcp_relay_start start;
    ztp_rly_pkt pkt;
    ztp_rly_rdy_plus plus;
    ztp_drw drw;
    ztp_dc dc;
    ztp_read_DidOnly(p, n, &did);
    ztp_read_DevLgnAck(p, n, &byte);
    ztp_read_DevLgnAckCRC(p, n, ztp_login_key, &byte);
    ztp_read_Addr(p, n, &a);
    ztp_read_AddrPair(p, n, &a, &b);
    ztp_read_TryLanTcp(p, n, &did, &a);
    ztp_read_TCPRSStart(p, n, &start);
    ztp_read_TCPRlyReqAck(p, n, two);
    ztp_read_RlyTo(p, n, &a, &ticket);
    ztp_read_RlyPkt(p, n, &pkt);
    ztp_read_RlyRdyPlus(p, n, &plus);
    ztp_read_SSDList(p, n, &did, list, 8, &count16);
    ztp_read_ListReqAck(p, n, list, 8, &byte);
    if (ztp_read_DRW(p, n, &drw) == 0 && drw.len > ZTP_DRW_MAX_DATA)
        __builtin_trap();
    if (ztp_read_PSR(p, n, &drw) == 0 && drw.len > ZTP_PSR_MAX_DATA)
        __builtin_trap();
    if (ztp_read_DRWAck(p, n, &byte, indexes, &count) == 0 && (count > ZTP_DRW_ACK_MAX || 4 + 2 * count != n))
        __builtin_trap();
    if (ztp_read_DC(p, n, &dc) == 0 && dc.data_len > 0 && dc.data + dc.data_len > p + n)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1 + ZTP_MAX_DATAGRAM)
        return -1;
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, kKeys[data[0] % 3]);
    std::vector<uint8_t> dgram(data + 1, data + size);
    // An exact-size payload buffer, so that a reader looking past the payload is caught.
    std::vector<uint8_t> payload(data[0] & 0x80 ? 16 : ZTP_MAX_DATAGRAM);
    uint8_t type = 0;
    size_t payload_size = payload.size();
    const int r = ztp_proto_Proto_Parse(&key, dgram.data(), dgram.size(), &type, payload.data(), &payload_size);
    if (r == 0 || r == -5) {
        std::vector<uint8_t> exact(payload.begin(), payload.begin() + static_cast<long>(payload_size));
        read_all(exact.data(), exact.size());
    }
    return 0;
}
