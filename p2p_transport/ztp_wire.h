// The transport's wire format, common part: message types, the 4-byte message header, the DID block,
// the wire addresses, and the validation of a received datagram. Every layout here is of the plain
// bytes; scrambling (ztp_scramble.h) is applied to the whole message around it.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "ztp_scramble.h"

#ifdef __cplusplus
extern "C" {
#endif

enum ztp_msg_type {
    ZTP_MSG_HELLO = 0x00,
    ZTP_MSG_HELLO_ACK = 0x01,
    ZTP_MSG_HELLO_TO = 0x02,
    ZTP_MSG_HELLO_TO_ACK = 0x03,
    ZTP_MSG_CHECK_DEVICE = 0x05,
    ZTP_MSG_CHECK_DEVICE_DSK = 0x06,
    ZTP_MSG_CHECK_DEVICE_ACK = 0x07,
    ZTP_MSG_QUERY_DID = 0x08,
    ZTP_MSG_DEV_LGN = 0x10,
    ZTP_MSG_DEV_LGN_ACK = 0x11,
    ZTP_MSG_DEV_LGN_CRC = 0x12,
    ZTP_MSG_DEV_LGN1_CRC = 0x13,
    ZTP_MSG_DEV_LGN_DSK = 0x16,
    ZTP_MSG_P2P_REQ = 0x20,
    ZTP_MSG_P2P_REQ_ACK = 0x21,
    ZTP_MSG_P2P_REQ_WI = 0x23,
    ZTP_MSG_P2P_REQ_DSK = 0x26,
    ZTP_MSG_P2P_REQ_DSK_WI = 0x27,
    ZTP_MSG_RLY_RDY_PLUS = 0x28,
    ZTP_MSG_LAN_SEARCH = 0x30,
    ZTP_MSG_SSD_LGN_CRC = 0x36,
    ZTP_MSG_SSD_PEER_LIST = 0x39,
    ZTP_MSG_SSD_DEV_LIST = 0x3A,
    ZTP_MSG_SSD_P2P_REQ = 0x3C,
    ZTP_MSG_SSD_DEV_LGN = 0x3D,
    ZTP_MSG_SMART_PUNCH_TO = 0x3F,
    ZTP_MSG_PUNCH_TO = 0x40,
    ZTP_MSG_PUNCH_PKT = 0x41,
    ZTP_MSG_P2P_RDY = 0x42,
    ZTP_MSG_TRY_LAN_TCP = 0x43,
    ZTP_MSG_P2P_RDY_LAN_TCP = 0x44,
    ZTP_MSG_TCP_RS_START = 0x52,
    ZTP_MSG_TCP_RLY_REQ = 0x53,
    ZTP_MSG_TCP_RLY_REQ_DSK = 0x54,
    ZTP_MSG_TCP_RLY_REQ_ACK = 0x55,
    ZTP_MSG_TCP_RLY_REQ_WI = 0x56,
    ZTP_MSG_TCP_RLY_REQ_DSK_WI = 0x57,
    ZTP_MSG_LIST_REQ1_WI = 0x66,
    ZTP_MSG_LIST_REQ1 = 0x67,
    ZTP_MSG_LIST_REQ = 0x68,
    ZTP_MSG_LIST_REQ_ACK = 0x69,
    ZTP_MSG_LIST_REQ_DSK = 0x6A,
    ZTP_MSG_LIST_REQ_DSK_WI = 0x6B,
    ZTP_MSG_RLY_HELLO = 0x70,
    ZTP_MSG_RLY_HELLO_ACK = 0x71,
    ZTP_MSG_RLY_PORT = 0x72,
    ZTP_MSG_RLY_PORT_ACK = 0x73,
    ZTP_MSG_RLY_REQ = 0x80,
    ZTP_MSG_RLY_REQ_ACK = 0x81,
    ZTP_MSG_RLY_TO = 0x82,
    ZTP_MSG_RLY_PKT = 0x83,
    ZTP_MSG_RLY_RDY = 0x84,
    ZTP_MSG_SDEV_RUN = 0x90,
    ZTP_MSG_SDEV_LGN = 0x91,
    ZTP_MSG_SDEV_LGN_CRC = 0x92,
    ZTP_MSG_DRW = 0xD0,
    ZTP_MSG_DRW_ACK = 0xD1,
    ZTP_MSG_PSR = 0xD8,
    ZTP_MSG_DC = 0xDC,
    ZTP_MSG_ALIVE = 0xE0,
    ZTP_MSG_ALIVE_ACK = 0xE1,
    ZTP_MSG_CLOSE = 0xF0,
    ZTP_MSG_REPORT_SESSION_RDY = 0xF9,
    ZTP_MSG_REPORT_RRP_P2P_RDY = 0xFB,
};

enum {
    ZTP_MAGIC = 0xF1,
    ZTP_HEADER_LEN = 4,
    ZTP_DID_BLOCK_LEN = 20,
    ZTP_ADDR_LEN = 16,
    ZTP_ADDR24_LEN = 24,
    ZTP_DSK_FIELD_LEN = 24,
    ZTP_DSK_MAX = 23,
    ZTP_DID_PART_MAX = 7,
    ZTP_MAX_DATAGRAM = 1440, // the largest datagram read
    ZTP_MSG_BUFFER = 1280,   // a buffer every message the camera builds fits in
};

// The version 5.0.8 sent with every login.
extern const uint8_t ztp_version_bytes[3];

// A DID in its parts (texts terminated).
typedef struct ztp_did {
    char prefix[ZTP_DID_PART_MAX + 1];
    uint32_t serial;
    char check[ZTP_DID_PART_MAX + 1];
} ztp_did;

// Message header: writes magic, type and the BE16 payload length at p.
void ztp_write_header(uint8_t *p, uint8_t type, uint16_t payload_len);

// DID block (20 bytes). Parts longer than 7 characters are cut.
void ztp_write_did(uint8_t *p, const ztp_did *did);
void ztp_read_did(const uint8_t *p, ztp_did *did);
// A DSK field of 24 bytes: at most 23 characters, zero-padded.
void ztp_write_dsk(uint8_t *p, const char *dsk);

// Wire address (16 bytes) from and to an IPv4 socket address held in network order; the family,
// port and address fields are each byte-reversed.
void htonAddrZTP(const struct sockaddr_in *addr, uint8_t wire[ZTP_ADDR_LEN]);
void ntohAddrZTP(const uint8_t wire[ZTP_ADDR_LEN], struct sockaddr_in *addr);
// The 24-byte form: the 16-byte form's first 8 bytes, then 16 bytes passed through unchanged
// (`extra`, zeros when null). Reading gives the family: AF_INET when the IPv4 field is set, else
// AF_INET6 (the address then holds no IPv4 destination).
void ztp_htonAddr(const struct sockaddr_in *addr, const uint8_t *extra, uint8_t wire[ZTP_ADDR24_LEN]);
int ztp_ntohAddr(const uint8_t wire[ZTP_ADDR24_LEN], struct sockaddr_in *addr, uint8_t *extra);

// Validation of a received datagram (after the wait), in the order the codes say:
// unscrambles `dgram` in place with `key`, then -3 when the first byte is not 0xF1, -4 when the
// size is not the payload length + 4, -5 when the payload is longer than `*payload_size` (the
// payload is then cut to it). On 0 and -5, `*type` and `*payload_size` are set.
int ztp_proto_Proto_Parse(const ztp_scramble_key *key, uint8_t *dgram, size_t n, uint8_t *type, uint8_t *payload,
                          size_t *payload_size);
// Steps 3 to 5 alone, over plain bytes.
int ztp_parse_message(const uint8_t *msg, size_t n, uint8_t *type, uint8_t *payload, size_t *payload_size);

#ifdef __cplusplus
}
#endif
