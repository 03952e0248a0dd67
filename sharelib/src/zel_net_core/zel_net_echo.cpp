// ICMP echo request and reply formats.
#include "zel_net_core/zel_net_echo.h"

#include <cstring>

namespace zel_net {

namespace {

constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr size_t kIcmpHeader = 8;
constexpr size_t kMinIpHeader = 20;

uint16_t get_be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void put_be16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

} // namespace

uint16_t inet_checksum(const uint8_t *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += get_be16(p + i);
    if (n % 2)
        sum += static_cast<uint32_t>(p[n - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void echo_request_build(uint8_t out[kEchoRequestSize], uint16_t identifier, uint16_t sequence)
{
    memset(out, 0, kEchoRequestSize);
    out[0] = kEchoRequest;
    out[1] = 0;
    put_be16(out + 4, identifier);
    put_be16(out + 6, sequence);
    memcpy(out + kIcmpHeader, "1234567890", 10);
    put_be16(out + 2, inet_checksum(out, kEchoRequestSize));
}

bool echo_reply_matches(const uint8_t *datagram, size_t n, uint32_t source, uint16_t identifier,
                        uint16_t last_sequence)
{
    if (!datagram || n < kMinIpHeader || datagram[0] >> 4 != 4)
        return false;
    const size_t ip_header = static_cast<size_t>(datagram[0] & 0x0F) * 4;
    if (ip_header < kMinIpHeader || n < ip_header + kIcmpHeader)
        return false;
    uint32_t from;
    memcpy(&from, datagram + 12, sizeof from);
    if (from != source)
        return false;
    const uint8_t *icmp = datagram + ip_header;
    const uint16_t sequence = get_be16(icmp + 6);
    return icmp[0] == kEchoReply && icmp[1] == 0 && get_be16(icmp + 4) == identifier && sequence >= 1 &&
           sequence <= last_sequence;
}

} // namespace zel_net
