// The framing of messages on TCP links: an 8-byte TCP header {BE16 length, 'h', 0, two random
// bytes, 2-byte check} in front of the scrambled message. The link decides the variant, never the
// header: the TCP login and the TCP relay use the two-stage form with check, a LAN TCP link the
// plain form (P2P key only, random bytes and check zero).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ztp_scramble.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { ZTP_TCP_HEADER_LEN = 8, ZTP_TCP_MSG_MAX = 1280 };

typedef enum ztp_tcp_variant { ZTP_TCP_CHECKED = 0, ZTP_TCP_PLAIN = 1 } ztp_tcp_variant;

typedef struct ztp_tcp_header {
    uint16_t length; // bytes of the message that follows
    uint8_t random[2];
    uint8_t check[2];
} ztp_tcp_header;

// Frames the plain message `msg` (n bytes, at most 1280) into out: 8 + n, or -1 when it does not fit.
// The checked variant draws its two random bytes from the random source.
int ztp_tcp_frame_write(ztp_tcp_variant variant, const ztp_scramble_key *key, const uint8_t *msg, size_t n,
                        uint8_t *out, size_t size);
// The same with the random bytes given (for tests and benchmarks).
int ztp_tcp_frame_write_with(ztp_tcp_variant variant, const ztp_scramble_key *key, uint8_t r0, uint8_t r1,
                             const uint8_t *msg, size_t n, uint8_t *out, size_t size);
// 0 and the fields, or -1 for a header whose third byte is not 'h' or whose length is over 1280.
int ztp_tcp_header_read(const uint8_t raw[ZTP_TCP_HEADER_LEN], ztp_tcp_header *header);
// The message as received (n = header->length bytes) back to plain bytes in out (n bytes): 0, or
// -1 when the checked variant's check does not match.
int ztp_tcp_frame_open(ztp_tcp_variant variant, const ztp_scramble_key *key, const ztp_tcp_header *header,
                       const uint8_t *body, size_t n, uint8_t *out);

#ifdef __cplusplus
}
#endif
