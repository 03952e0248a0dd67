#include "ztp_tcp_frame.h"

#include <cstring>

#include "zelmar/zel_rand.h"
#include "ztp_bytes.h"

static_assert(ZTP_TCP_HEADER_LEN == 2 + 1 + 1 + 2 + 2, "length, 'h', zero, random bytes, check");

int ztp_tcp_frame_write(ztp_tcp_variant variant, const ztp_scramble_key *key, const uint8_t *msg, size_t n,
                        uint8_t *out, size_t size)
{
    uint8_t r[2] = {0, 0};
    if (variant == ZTP_TCP_CHECKED)
        rand_bytes(r, sizeof r);
    return ztp_tcp_frame_write_with(variant, key, r[0], r[1], msg, n, out, size);
}

int ztp_tcp_frame_write_with(ztp_tcp_variant variant, const ztp_scramble_key *key, uint8_t r0, uint8_t r1,
                             const uint8_t *msg, size_t n, uint8_t *out, size_t size)
{
    if (msg == nullptr || out == nullptr || n > ZTP_TCP_MSG_MAX || size < ZTP_TCP_HEADER_LEN + n)
        return -1;
    uint8_t *body = out + ZTP_TCP_HEADER_LEN;
    ztp_scramble(key, msg, body, n);
    ztp::put_be16(out, static_cast<uint16_t>(n));
    out[2] = 'h';
    out[3] = 0;
    if (variant == ZTP_TCP_CHECKED) {
        _TCPRelay_Proprietary_Encrypt(r0, r1, body, body, n);
        out[4] = r0;
        out[5] = r1;
        _TCPRelay_CheckCRC_Calculate(body, n, out + 6);
    } else {
        std::memset(out + 4, 0, 4);
    }
    return static_cast<int>(ZTP_TCP_HEADER_LEN + n);
}

int ztp_tcp_header_read(const uint8_t raw[ZTP_TCP_HEADER_LEN], ztp_tcp_header *header)
{
    const uint16_t length = ztp::get_be16(raw);
    if (raw[2] != 'h' || length > ZTP_TCP_MSG_MAX)
        return -1;
    header->length = length;
    header->random[0] = raw[4];
    header->random[1] = raw[5];
    header->check[0] = raw[6];
    header->check[1] = raw[7];
    return 0;
}

int ztp_tcp_frame_open(ztp_tcp_variant variant, const ztp_scramble_key *key, const ztp_tcp_header *header,
                       const uint8_t *body, size_t n, uint8_t *out)
{
    if (n > ZTP_TCP_MSG_MAX)
        return -1;
    if (variant == ZTP_TCP_CHECKED) {
        if (_TCPRelay_CheckCRC_Verify(body, n, header->check) != 0)
            return -1;
        _TCPRelay_Proprietary_Decrypt(header->random[0], header->random[1], body, out, n);
        return ztp_unscramble(key, out, out, n);
    }
    return ztp_unscramble(key, body, out, n);
}
