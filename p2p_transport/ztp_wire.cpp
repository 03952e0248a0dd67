#include "ztp_wire.h"

#include <cstring>

#include "ztp_bytes.h"

using ztp::get_be16;
using ztp::get_be32;
using ztp::put_be16;
using ztp::put_be32;

static_assert(ZTP_HEADER_LEN == 1 + 1 + 2, "magic, type, BE16 payload length");
static_assert(ZTP_DID_BLOCK_LEN == 8 + 4 + 8, "prefix, BE32 serial, check code");
static_assert(ZTP_ADDR_LEN == 2 + 2 + 4 + 8 && ZTP_ADDR24_LEN == 8 + 16, "family, port, address, padding");

const uint8_t ztp_version_bytes[3] = {5, 0, 8};

void ztp_write_header(uint8_t *p, uint8_t type, uint16_t payload_len)
{
    p[0] = ZTP_MAGIC;
    p[1] = type;
    put_be16(p + 2, payload_len);
}

namespace {

// A text of at most `max` characters into a zero-padded field of `width` bytes.
void put_text(uint8_t *p, size_t width, const char *text, size_t max)
{
    std::memset(p, 0, width);
    if (text)
        std::memcpy(p, text, strnlen(text, max));
}

void get_text(const uint8_t *p, size_t max, char *out)
{
    const size_t n = strnlen(reinterpret_cast<const char *>(p), max);
    std::memcpy(out, p, n);
    out[n] = '\0';
}

} // namespace

void ztp_write_did(uint8_t *p, const ztp_did *did)
{
    put_text(p, 8, did->prefix, ZTP_DID_PART_MAX);
    put_be32(p + 8, did->serial);
    put_text(p + 12, 8, did->check, ZTP_DID_PART_MAX);
}

void ztp_read_did(const uint8_t *p, ztp_did *did)
{
    get_text(p, ZTP_DID_PART_MAX, did->prefix);
    did->serial = get_be32(p + 8);
    get_text(p + 12, ZTP_DID_PART_MAX, did->check);
}

void ztp_write_dsk(uint8_t *p, const char *dsk)
{
    put_text(p, ZTP_DSK_FIELD_LEN, dsk, ZTP_DSK_MAX);
}

void htonAddrZTP(const struct sockaddr_in *addr, uint8_t wire[ZTP_ADDR_LEN])
{
    // Family as BE16; port and address are the network-order bytes reversed.
    std::memset(wire, 0, ZTP_ADDR_LEN);
    put_be16(wire, static_cast<uint16_t>(addr->sin_family));
    const auto *port = reinterpret_cast<const uint8_t *>(&addr->sin_port);
    const auto *ip = reinterpret_cast<const uint8_t *>(&addr->sin_addr.s_addr);
    wire[2] = port[1];
    wire[3] = port[0];
    for (int i = 0; i < 4; ++i)
        wire[4 + i] = ip[3 - i];
}

void ntohAddrZTP(const uint8_t wire[ZTP_ADDR_LEN], struct sockaddr_in *addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = static_cast<sa_family_t>(get_be16(wire));
    auto *port = reinterpret_cast<uint8_t *>(&addr->sin_port);
    auto *ip = reinterpret_cast<uint8_t *>(&addr->sin_addr.s_addr);
    port[0] = wire[3];
    port[1] = wire[2];
    for (int i = 0; i < 4; ++i)
        ip[i] = wire[7 - i];
}

void ztp_htonAddr(const struct sockaddr_in *addr, const uint8_t *extra, uint8_t wire[ZTP_ADDR24_LEN])
{
    uint8_t short_form[ZTP_ADDR_LEN];
    htonAddrZTP(addr, short_form);
    std::memcpy(wire, short_form, 8);
    if (extra)
        std::memcpy(wire + 8, extra, 16);
    else
        std::memset(wire + 8, 0, 16);
}

int ztp_ntohAddr(const uint8_t wire[ZTP_ADDR24_LEN], struct sockaddr_in *addr, uint8_t *extra)
{
    uint8_t short_form[ZTP_ADDR_LEN] = {};
    std::memcpy(short_form, wire, 8);
    ntohAddrZTP(short_form, addr);
    if (extra)
        std::memcpy(extra, wire + 8, 16);
    addr->sin_family = addr->sin_addr.s_addr != 0 ? AF_INET : AF_INET6;
    return addr->sin_family;
}

int ztp_proto_Proto_Parse(const ztp_scramble_key *key, uint8_t *dgram, size_t n, uint8_t *type, uint8_t *payload,
                          size_t *payload_size)
{
    if (n > ZTP_SCRAMBLE_MAX_LEN || ztp_unscramble(key, dgram, dgram, n) != 0)
        return -4;
    return ztp_parse_message(dgram, n, type, payload, payload_size);
}

int ztp_parse_message(const uint8_t *msg, size_t n, uint8_t *type, uint8_t *payload, size_t *payload_size)
{
    if (n < 1 || msg[0] != ZTP_MAGIC)
        return -3;
    if (n < ZTP_HEADER_LEN || get_be16(msg + 2) + size_t{ZTP_HEADER_LEN} != n)
        return -4;
    *type = msg[1];
    const size_t len = n - ZTP_HEADER_LEN;
    const size_t copied = len < *payload_size ? len : *payload_size;
    if (copied > 0)
        std::memcpy(payload, msg + ZTP_HEADER_LEN, copied);
    *payload_size = copied;
    return copied < len ? -5 : 0;
}
