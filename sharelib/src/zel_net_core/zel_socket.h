// Small socket helpers: the 24-byte frame header (a magic and five big-endian 32-bit words),
// non-blocking mode and send-all.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ZEL_SOCKET_HEADER_SIZE = 24 };
#define ZEL_SOCKET_HEADER_MAGIC 0x5A5A5A5Au

// What the parser hands back besides word 2, in this order.
typedef struct zel_socket_header_fields {
    uint32_t word4;
    uint32_t word3;
    uint32_t word5;
    uint32_t word1;
} zel_socket_header_fields;

void zel_socket_header_pack(uint8_t header[ZEL_SOCKET_HEADER_SIZE], uint32_t w1, uint32_t w2, uint32_t w3,
                            uint32_t w4, uint32_t w5);
// Word 2 (as an int), or -2 for a null header or one that does not start with the magic; `out`, when
// given, receives words 4, 3, 5 and 1.
int zel_socket_header_parser(const uint8_t header[ZEL_SOCKET_HEADER_SIZE], zel_socket_header_fields *out);

// Adds O_NONBLOCK: 0, or -1.
int set_nonblock(int fd);
// Sends all `len` bytes (never raising SIGPIPE): len, or -6 when not everything could be sent (an
// error, or a peer that takes nothing for ZEL_SOCKET_SEND_STALL_MS).
enum { ZEL_SOCKET_SEND_STALL_MS = 2000 };
int socket_send(int sock, const void *data, int len);
int get_last_socket_error(void);

#ifdef __cplusplus
}
#endif
