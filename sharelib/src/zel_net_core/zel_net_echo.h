// The ICMP echo request and reply formats of the echo probe, as pure functions over buffers.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zel_net {

constexpr size_t kEchoRequestSize = 20;

// RFC 1071 Internet checksum of `n` bytes (big-endian 16-bit words), as a host-order value.
uint16_t inet_checksum(const uint8_t *p, size_t n);

// Type 8, code 0, checksum, identifier and sequence (network byte order) and the payload
// "1234567890" with two zero bytes.
void echo_request_build(uint8_t out[kEchoRequestSize], uint16_t identifier, uint16_t sequence);

// Whether `n` received bytes (an IPv4 datagram as a raw socket gives it) are an echo reply from
// `source` (network byte order) with `identifier` and a sequence within 1..last_sequence. The IP
// header length is taken from the datagram and nothing is read beyond the n bytes.
bool echo_reply_matches(const uint8_t *datagram, size_t n, uint32_t source, uint16_t identifier,
                        uint16_t last_sequence);

} // namespace zel_net
