#include "ztp_wire_msgs.h"

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_bytes.h"
#include "ztp_login_check.h"
#include "ztp_tables.h"

using ztp::get_be16;
using ztp::get_be32;
using ztp::put_be16;
using ztp::put_be32;

namespace {

constexpr char kTag[] = "ztp";
constexpr uint8_t kChannelMark = 0xD1;
constexpr uint8_t kRlyRdyPlusMark = 0xA1;

// Payload sizes of the fixed layouts, each from its fields.
constexpr size_t kDid = ZTP_DID_BLOCK_LEN;
constexpr size_t kAddr = ZTP_ADDR_LEN;
constexpr size_t kAddr24 = ZTP_ADDR24_LEN;
constexpr size_t kDevLgnLen = kDid + 1 + 3 + kAddr; // NAT type, version, local address
constexpr size_t kDevLgnDskLen = kDevLgnLen + ZTP_DSK_FIELD_LEN;
constexpr size_t kTryLanTcpLen = kDid + kAddr24;
constexpr size_t kTcpRsStartLen = kDid + 4 + kAddr24; // ticket, relay
constexpr size_t kRlyToLen = kAddr + 4;               // relay, ticket (the rest is not read)
constexpr size_t kRlyPktLen = 4 + kDid + 4;           // ticket, DID parts, side byte and padding
constexpr size_t kRlyPortAckLen = 4 + 2 + 2;          // ticket, port, zeros
constexpr size_t kRlyRdyPlusHeader = 4 + 16 + kDid;   // mark, sub-type, length, ticket, DID
constexpr size_t kSsdListHeader = kDid + 4;           // count and padding
constexpr size_t kListReqAckHeader = 4;
constexpr size_t kSsdP2PReqLen = kDid + kAddr;
constexpr size_t kSsdDevLgnLen = kDid + 1 + 3 + kAddr;
constexpr size_t kSmartPunchToLen = kAddr + 2 + 2;
constexpr size_t kBlockHeader = 4; // mark, channel, BE16 index or count
constexpr size_t kReportSessionRdyLen = kDid + 4 + 2 + 2 + 2 + 4 + 2 + 3 * kAddr;
constexpr size_t kReportRrpLen = kDid + 4 + 4 + 3 * kAddr;
static_assert(kDevLgnLen == 40 && kDevLgnDskLen == 64 && kTryLanTcpLen == 44 && kTcpRsStartLen == 48);
static_assert(kRlyToLen == 20 && kRlyPktLen == 28 && kRlyPortAckLen == 8 && kRlyRdyPlusHeader == 40);
static_assert(kSsdListHeader == 24 && kSsdP2PReqLen == 36 && kSsdDevLgnLen == 40 && kSmartPunchToLen == 20);
static_assert(kReportSessionRdyLen == 84 && kReportRrpLen == 76);
static_assert(ZTP_DC_FIXED_LEN == ZTP_DC_HEADER_LEN + 8 && ZTP_DC_HEADER_LEN == 4 + 40 + kDid);
static_assert(ZTP_HEADER_LEN + kBlockHeader + ZTP_DRW_MAX_DATA == 1032, "a full DRW is 1032 bytes on the wire");

// Zeroes the message, writes its header; the payload, or null when it does not fit.
uint8_t *begin(uint8_t *buf, size_t size, uint8_t type, size_t payload_len)
{
    if (buf == nullptr || payload_len > 0xFFFF || size < ZTP_HEADER_LEN + payload_len)
        return nullptr;
    std::memset(buf, 0, ZTP_HEADER_LEN + payload_len);
    ztp_write_header(buf, type, static_cast<uint16_t>(payload_len));
    return buf + ZTP_HEADER_LEN;
}

int done(size_t payload_len)
{
    return static_cast<int>(ZTP_HEADER_LEN + payload_len);
}

const ztp_scramble_key &super_key()
{
    static const ztp_scramble_key key = [] {
        ztp_scramble_key k;
        ztp_scramble_key_init(&k, ztp_super_device_key);
        return k;
    }();
    return key;
}

int super_done(uint8_t *payload, size_t payload_len)
{
    ztp_scramble(&super_key(), payload, payload, payload_len);
    return done(payload_len);
}

// A message with the login check over `plain`: the check's output is the payload.
int write_checked(uint8_t type, const uint8_t *plain, size_t plain_len, const char *login_key, uint8_t *buf,
                  size_t size)
{
    uint8_t *p = begin(buf, size, type, plain_len + ZTP_LOGIN_CHECK_LEN);
    if (!p)
        return -1;
    ztp_proto_CRCEnc(login_key, plain, plain_len, p, plain_len + ZTP_LOGIN_CHECK_LEN);
    return done(plain_len + ZTP_LOGIN_CHECK_LEN);
}

} // namespace

int ztp_write_Empty(uint8_t type, uint8_t *buf, size_t size)
{
    return begin(buf, size, type, 0) ? done(0) : -1;
}

int ztp_write_DidOnly(uint8_t type, const ztp_did *did, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, type, ZTP_DID_BLOCK_LEN);
    if (!p)
        return -1;
    ztp_write_did(p, did);
    return done(ZTP_DID_BLOCK_LEN);
}

int ztp_read_DidOnly(const uint8_t *payload, size_t n, ztp_did *did)
{
    if (n < ZTP_DID_BLOCK_LEN)
        return -1;
    ztp_read_did(payload, did);
    return 0;
}

int ztp_write_DevLgn(uint8_t type, const ztp_dev_login *login, const char *login_key, uint8_t *buf, size_t size)
{
    uint8_t plain[kDevLgnDskLen] = {};
    ztp_write_did(plain, &login->did);
    plain[20] = login->nat_type;
    std::memcpy(plain + 21, ztp_version_bytes, 3);
    htonAddrZTP(&login->local_addr, plain + 24);
    switch (type) {
    case ZTP_MSG_DEV_LGN: {
        uint8_t *p = begin(buf, size, type, kDevLgnLen);
        if (!p)
            return -1;
        std::memcpy(p, plain, kDevLgnLen);
        return done(kDevLgnLen);
    }
    case ZTP_MSG_DEV_LGN_CRC:
    case ZTP_MSG_DEV_LGN1_CRC:
        return write_checked(type, plain, kDevLgnLen, login_key, buf, size);
    case ZTP_MSG_DEV_LGN_DSK:
        ztp_write_dsk(plain + kDevLgnLen, login->dsk);
        return write_checked(type, plain, kDevLgnDskLen, login_key, buf, size);
    default:
        return -1;
    }
}

int ztp_write_DidLoginCheck(uint8_t type, const ztp_did *did, const char *login_key, uint8_t *buf, size_t size)
{
    uint8_t plain[ZTP_DID_BLOCK_LEN];
    ztp_write_did(plain, did);
    const int len = write_checked(type, plain, sizeof plain, login_key, buf, size);
    if (len > 0 && type == ZTP_MSG_SSD_LGN_CRC)
        return super_done(buf + ZTP_HEADER_LEN, static_cast<size_t>(len) - ZTP_HEADER_LEN);
    return len;
}

int ztp_read_DevLgnAck(const uint8_t *payload, size_t n, uint8_t *result)
{
    if (n < 1)
        return -1;
    *result = payload[0];
    return 0;
}

int ztp_read_DevLgnAckCRC(const uint8_t *payload, size_t n, const char *login_key, uint8_t *result)
{
    uint8_t plain[ZTP_MAX_DATAGRAM];
    const int len = ztp_proto_CRCDec(login_key, payload, n, plain, sizeof plain);
    // An answer of the trailer alone has no result byte to take.
    if (len < 1)
        return -1;
    *result = plain[0];
    return 0;
}

int ztp_read_Addr(const uint8_t *payload, size_t n, struct sockaddr_in *addr)
{
    if (n < ZTP_ADDR_LEN)
        return -1;
    ntohAddrZTP(payload, addr);
    return 0;
}

int ztp_read_AddrPair(const uint8_t *payload, size_t n, struct sockaddr_in *first, struct sockaddr_in *second)
{
    if (n < 2 * ZTP_ADDR_LEN)
        return -1;
    ntohAddrZTP(payload, first);
    ntohAddrZTP(payload + ZTP_ADDR_LEN, second);
    return 0;
}

int ztp_read_TryLanTcp(const uint8_t *payload, size_t n, ztp_did *did, struct sockaddr_in *addr)
{
    if (n < kTryLanTcpLen)
        return -1;
    ztp_read_did(payload, did);
    ztp_ntohAddr(payload + 20, addr, nullptr);
    return 0;
}

int ztp_read_TCPRSStart(const uint8_t *payload, size_t n, ztp_tcp_relay_start *start)
{
    if (n < kTcpRsStartLen)
        return -1;
    ztp_read_did(payload, &start->did);
    start->ticket = get_be32(payload + 20);
    ztp_ntohAddr(payload + 24, &start->relay, nullptr);
    return 0;
}

int ztp_read_TCPRlyReqAck(const uint8_t *payload, size_t n, uint8_t result[2])
{
    if (n < 2)
        return -1;
    result[0] = payload[0];
    result[1] = payload[1];
    return 0;
}

int ztp_read_RlyTo(const uint8_t *payload, size_t n, struct sockaddr_in *relay, uint32_t *ticket)
{
    if (n < kRlyToLen)
        return -1;
    ntohAddrZTP(payload, relay);
    *ticket = get_be32(payload + 16);
    return 0;
}

int ztp_write_RlyPkt(const ztp_rly_pkt *pkt, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, ZTP_MSG_RLY_PKT, kRlyPktLen);
    if (!p)
        return -1;
    put_be32(p, pkt->ticket);
    ztp_write_did(p + 4, &pkt->did);
    p[24] = pkt->side;
    return done(kRlyPktLen);
}

int ztp_read_RlyPkt(const uint8_t *payload, size_t n, ztp_rly_pkt *pkt)
{
    if (n < kRlyPktLen)
        return -1;
    pkt->ticket = get_be32(payload);
    ztp_read_did(payload + 4, &pkt->did);
    pkt->side = payload[24];
    return 0;
}

int ztp_write_RlyPortAck(uint32_t ticket, uint16_t port, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, ZTP_MSG_RLY_PORT_ACK, kRlyPortAckLen);
    if (!p)
        return -1;
    put_be32(p, ticket);
    put_be16(p + 4, port);
    return done(kRlyPortAckLen);
}

int ztp_read_RlyRdyPlus(const uint8_t *payload, size_t n, ztp_rly_rdy_plus *msg)
{
    if (n < kRlyRdyPlusHeader || payload[0] != kRlyRdyPlusMark)
        return -1;
    const uint8_t sub = payload[1];
    // The header's length counts what follows its 40 bytes.
    const bool punch_pair = sub == 1 || sub == 2;
    const bool punch_pkt = sub == 3 || sub == 4;
    const size_t addr_at = punch_pair ? kRlyRdyPlusHeader : kRlyRdyPlusHeader + 4;
    const size_t body = addr_at + 2 * kAddr24 - kRlyRdyPlusHeader; // 48 or 52
    if ((!punch_pair && !punch_pkt) || get_be16(payload + 2) != body || n < addr_at + 2 * kAddr24)
        return -1;
    msg->sub_type = sub;
    std::memcpy(msg->ticket, payload + 4, 16);
    ztp_read_did(payload + 20, &msg->did);
    ztp_ntohAddr(payload + addr_at, &msg->addr[0], nullptr);
    ztp_ntohAddr(payload + addr_at + 24, &msg->addr[1], nullptr);
    // The byte after the addresses of sub-types 3 and 4 lies beyond their 92 bytes: read when sent.
    const size_t last_at = addr_at + 2 * kAddr24;
    msg->last = punch_pkt && n > last_at ? payload[last_at] : 0;
    return 0;
}

int ztp_write_RlyRdyPlus(const ztp_rly_rdy_plus *msg, uint8_t *buf, size_t size)
{
    const bool punch_pair = msg->sub_type == 1 || msg->sub_type == 2;
    if (!punch_pair && msg->sub_type != 3 && msg->sub_type != 4)
        return -1;
    const size_t addr_at = punch_pair ? kRlyRdyPlusHeader : kRlyRdyPlusHeader + 4;
    const size_t len = addr_at + 2 * kAddr24 + (punch_pair ? 0 : 1);
    uint8_t *p = begin(buf, size, ZTP_MSG_RLY_RDY_PLUS, len);
    if (!p)
        return -1;
    p[0] = kRlyRdyPlusMark;
    p[1] = msg->sub_type;
    put_be16(p + 2, static_cast<uint16_t>(addr_at + 2 * kAddr24 - kRlyRdyPlusHeader));
    std::memcpy(p + 4, msg->ticket, 16);
    ztp_write_did(p + 20, &msg->did);
    ztp_htonAddr(&msg->addr[0], nullptr, p + addr_at);
    ztp_htonAddr(&msg->addr[1], nullptr, p + addr_at + kAddr24);
    if (!punch_pair)
        p[addr_at + 2 * kAddr24] = msg->last;
    return done(len);
}

int ztp_read_SSDList(const uint8_t *payload, size_t n, ztp_did *did, struct sockaddr_in *addrs, size_t max,
                     uint16_t *count)
{
    if (n < kSsdListHeader || n > ZTP_MAX_DATAGRAM)
        return -1;
    uint8_t plain[ZTP_MAX_DATAGRAM];
    ztp_unscramble(&super_key(), payload, plain, n);
    const uint16_t announced = get_be16(plain + 20);
    if (kSsdListHeader + kAddr * announced > n) {
        ZEL_LOGW(kTag, "super-device list announces %u addresses in %zu bytes, dropped\n", announced, n);
        return -1;
    }
    ztp_read_did(plain, did);
    const size_t kept = announced < max ? announced : max;
    for (size_t i = 0; i < kept; ++i)
        ntohAddrZTP(plain + kSsdListHeader + kAddr * i, &addrs[i]);
    *count = static_cast<uint16_t>(kept);
    return 0;
}

int ztp_read_ListReqAck(const uint8_t *payload, size_t n, struct sockaddr_in *addrs, size_t max, uint8_t *count)
{
    if (n < kListReqAckHeader || kListReqAckHeader + kAddr * payload[0] > n)
        return -1;
    const size_t kept = payload[0] < max ? payload[0] : max;
    for (size_t i = 0; i < kept; ++i)
        ntohAddrZTP(payload + kListReqAckHeader + kAddr * i, &addrs[i]);
    *count = static_cast<uint8_t>(kept);
    return 0;
}

int ztp_write_SSDP2PReq(const ztp_did *did, const struct sockaddr_in *addr, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, ZTP_MSG_SSD_P2P_REQ, kSsdP2PReqLen);
    if (!p)
        return -1;
    ztp_write_did(p, did);
    htonAddrZTP(addr, p + 20);
    return super_done(p, kSsdP2PReqLen);
}

int ztp_write_SSDDevLgn(const ztp_did *did, uint8_t flag, const struct sockaddr_in *addr, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, ZTP_MSG_SSD_DEV_LGN, kSsdDevLgnLen);
    if (!p)
        return -1;
    ztp_write_did(p, did);
    p[20] = flag;
    std::memcpy(p + 21, ztp_version_bytes, 3);
    htonAddrZTP(addr, p + 24);
    return super_done(p, kSsdDevLgnLen);
}

int ztp_write_SmartPunchTo(const struct sockaddr_in *addr, uint16_t value, const uint8_t tail[2], uint8_t *buf,
                           size_t size)
{
    uint8_t *p = begin(buf, size, ZTP_MSG_SMART_PUNCH_TO, kSmartPunchToLen);
    if (!p)
        return -1;
    htonAddrZTP(addr, p);
    put_be16(p + 16, value);
    p[18] = tail[0];
    p[19] = tail[1];
    return super_done(p, kSmartPunchToLen);
}

int ztp_read_SmartPunchTo(const uint8_t *payload, size_t n, struct sockaddr_in *addr, uint16_t *count, uint8_t tail[2])
{
    if (n != kSmartPunchToLen)
        return -1;
    uint8_t plain[kSmartPunchToLen];
    ztp_unscramble(&super_key(), payload, plain, n);
    ntohAddrZTP(plain, addr);
    *count = get_be16(plain + 16);
    tail[0] = plain[18];
    tail[1] = plain[19];
    return 0;
}

int ztp_read_SSDRequest(uint8_t type, const uint8_t *payload, size_t n, ztp_did *did, struct sockaddr_in *reported)
{
    const size_t want = type == ZTP_MSG_SSD_P2P_REQ ? kSsdP2PReqLen : kSsdDevLgnLen;
    if ((type != ZTP_MSG_SSD_P2P_REQ && type != ZTP_MSG_SSD_DEV_LGN) || n != want)
        return -1;
    uint8_t plain[kSsdDevLgnLen];
    ztp_unscramble(&super_key(), payload, plain, n);
    ztp_read_did(plain, did);
    ntohAddrZTP(plain + want - kAddr, reported);
    return 0;
}

int ztp_read_SmartHelloTo(const uint8_t *payload, size_t n, struct sockaddr_in addrs[2], uint32_t *value,
                          uint8_t *flags)
{
    constexpr size_t kLen = 52;
    if (n != kLen)
        return -1;
    uint8_t plain[kLen];
    ztp_unscramble(&super_key(), payload, plain, n);
    ntohAddrZTP(plain, &addrs[0]);
    ntohAddrZTP(plain + kAddr, &addrs[1]);
    *value = get_be32(plain + 2 * kAddr);
    *flags = plain[2 * kAddr + 4];
    return 0;
}

int ztp_write_Addr(uint8_t type, const struct sockaddr_in *addr, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, type, kAddr);
    if (!p)
        return -1;
    htonAddrZTP(addr, p);
    return done(kAddr);
}

namespace {

int write_block(uint8_t type, uint8_t channel, uint16_t index, const uint8_t *data, size_t len, size_t max,
                uint8_t *buf, size_t size)
{
    if (len > max || (len > 0 && data == nullptr))
        return -1;
    uint8_t *p = begin(buf, size, type, 4 + len);
    if (!p)
        return -1;
    p[0] = kChannelMark;
    p[1] = channel;
    put_be16(p + 2, index);
    if (len > 0)
        std::memcpy(p + 4, data, len);
    return done(4 + len);
}

int read_block(const char *name, const uint8_t *payload, size_t n, size_t max, ztp_drw *out)
{
    if (n < 4 || payload[0] != kChannelMark)
        return -1;
    // The receiver stages a block in a buffer of this size: more would overflow it.
    if (n - 4 > max) {
        ZEL_LOGW(kTag, "%s of %zu data bytes on channel %u is over %zu, dropped\n", name, n - 4, payload[1], max);
        return -2;
    }
    out->channel = payload[1];
    out->index = get_be16(payload + 2);
    out->data = payload + 4;
    out->len = n - 4;
    return 0;
}

} // namespace

int ztp_write_DRW(uint8_t channel, uint16_t index, const uint8_t *data, size_t len, uint8_t *buf, size_t size)
{
    return write_block(ZTP_MSG_DRW, channel, index, data, len, ZTP_DRW_MAX_DATA, buf, size);
}

int ztp_read_DRW(const uint8_t *payload, size_t n, ztp_drw *drw)
{
    return read_block("DRW", payload, n, ZTP_DRW_MAX_DATA, drw);
}

int ztp_write_PSR(uint8_t channel, uint16_t index, const uint8_t *data, size_t len, uint8_t *buf, size_t size)
{
    return write_block(ZTP_MSG_PSR, channel, index, data, len, ZTP_PSR_MAX_DATA, buf, size);
}

int ztp_read_PSR(const uint8_t *payload, size_t n, ztp_drw *psr)
{
    return read_block("PSR", payload, n, ZTP_PSR_MAX_DATA, psr);
}

int ztp_write_DRWAck(uint8_t channel, const uint16_t *indexes, size_t count, uint8_t *buf, size_t size)
{
    if (count > ZTP_DRW_ACK_MAX || (count > 0 && indexes == nullptr))
        return -1;
    uint8_t *p = begin(buf, size, ZTP_MSG_DRW_ACK, 4 + 2 * count);
    if (!p)
        return -1;
    p[0] = kChannelMark;
    p[1] = channel;
    put_be16(p + 2, static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i)
        put_be16(p + 4 + 2 * i, indexes[i]);
    return done(4 + 2 * count);
}

int ztp_read_DRWAck(const uint8_t *payload, size_t n, uint8_t *channel, uint16_t indexes[ZTP_DRW_ACK_MAX],
                    size_t *count)
{
    if (n < 4 || payload[0] != kChannelMark)
        return -1;
    const size_t announced = get_be16(payload + 2);
    // Indexes beyond the payload would be read from whatever the buffer held before.
    if (n != 4 + 2 * announced) {
        ZEL_LOGW(kTag, "DRWAck announces %zu indexes in %zu bytes, dropped\n", announced, n);
        return -1;
    }
    *channel = payload[1];
    if (announced > ZTP_DRW_ACK_MAX)
        return -2;
    for (size_t i = 0; i < announced; ++i)
        indexes[i] = get_be16(payload + 4 + 2 * i);
    *count = announced;
    return 0;
}

namespace {

// The part after the 64-byte DC header for each sub-type with a fixed form: its byte count.
int dc_fixed_bytes(uint8_t sub_type)
{
    switch (sub_type) {
    case ZTP_DC_REQ:
    case ZTP_DC_RESP_ACK:
        return 1;
    case ZTP_DC_REQ_ACK:
        return 4;
    case ZTP_DC_CMD_ACK:
        return 2;
    default:
        return -1;
    }
}

bool dc_carries_data(uint8_t sub_type)
{
    return sub_type == ZTP_DC_CMD || sub_type == ZTP_DC_RESP;
}

} // namespace

int ztp_write_DC(const ztp_dc *dc, uint8_t *buf, size_t size)
{
    const bool with_data = dc_carries_data(dc->sub_type);
    if (!with_data && dc_fixed_bytes(dc->sub_type) < 0)
        return -1;
    const size_t data_len = with_data ? dc->data_len : 0;
    if (data_len > 0 && dc->data == nullptr)
        return -1;
    const size_t payload_len = ZTP_DC_FIXED_LEN + data_len;
    uint8_t *p = begin(buf, size, ZTP_MSG_DC, payload_len);
    if (!p)
        return -1;
    p[0] = kChannelMark;
    p[1] = dc->sub_type;
    put_be16(p + 2, static_cast<uint16_t>(payload_len - ZTP_DC_HEADER_LEN));
    std::memcpy(p + 4, dc->text, strnlen(dc->text, sizeof dc->text - 1));
    ztp_write_did(p + 44, &dc->did); // prefix at 44, serial at 52, check code at 56
    if (dc->sub_type == ZTP_DC_CMD) {
        put_be16(p + 64, dc->command);
        put_be16(p + 66, dc->data_len);
    } else if (dc->sub_type == ZTP_DC_RESP) {
        put_be16(p + 64, dc->data_len);
    } else {
        std::memcpy(p + 64, dc->bytes, static_cast<size_t>(dc_fixed_bytes(dc->sub_type)));
    }
    if (data_len > 0)
        std::memcpy(p + ZTP_DC_FIXED_LEN, dc->data, data_len);
    return done(payload_len);
}

int ztp_read_DC(const uint8_t *payload, size_t n, ztp_dc *dc)
{
    if (n < ZTP_DC_FIXED_LEN || payload[0] != kChannelMark || get_be16(payload + 2) != n - ZTP_DC_HEADER_LEN)
        return -1;
    std::memset(dc, 0, sizeof *dc);
    dc->sub_type = payload[1];
    if (dc_carries_data(dc->sub_type)) {
        dc->data_len = get_be16(payload + (dc->sub_type == ZTP_DC_CMD ? 66 : 64));
        if (dc->data_len != n - ZTP_DC_FIXED_LEN)
            return -1;
        dc->command = dc->sub_type == ZTP_DC_CMD ? get_be16(payload + 64) : 0;
        dc->data = payload + ZTP_DC_FIXED_LEN;
    } else {
        const int fixed = dc_fixed_bytes(dc->sub_type);
        if (fixed < 0 || n != ZTP_DC_FIXED_LEN)
            return -1;
        std::memcpy(dc->bytes, payload + 64, static_cast<size_t>(fixed));
    }
    std::memcpy(dc->text, payload + 4, 39);
    dc->text[39] = '\0';
    ztp_read_did(payload + 44, &dc->did);
    return 0;
}

int ztp_write_ReportSessionRdy(const ztp_report_session_rdy *r, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, ZTP_MSG_REPORT_SESSION_RDY, kReportSessionRdyLen);
    if (!p)
        return -1;
    ztp_write_did(p, &r->did);
    put_be32(p + 20, static_cast<uint32_t>(r->result));
    put_be16(p + 24, r->max_sessions);
    put_be16(p + 26, r->open_slots);
    put_be16(p + 28, r->listen_ms);
    p[30] = r->role;
    p[31] = r->mode;
    p[32] = r->login_mode;
    p[33] = r->slot_status;
    htonAddrZTP(&r->local_addr, p + 36);
    htonAddrZTP(&r->wan_addr, p + 52);
    htonAddrZTP(&r->remote_addr, p + 68);
    return super_done(p, kReportSessionRdyLen);
}

int ztp_write_ReportRRP_P2PRdy(const ztp_report_rrp_p2p_rdy *r, uint8_t *buf, size_t size)
{
    uint8_t *p = begin(buf, size, ZTP_MSG_REPORT_RRP_P2P_RDY, kReportRrpLen);
    if (!p)
        return -1;
    ztp_write_did(p, &r->did);
    put_be32(p + 20, r->value);
    p[24] = r->flag;
    for (int i = 0; i < 3; ++i)
        htonAddrZTP(&r->addr[i], p + 28 + 16 * i);
    return super_done(p, kReportRrpLen);
}
