// The transport's wire format, per message: one writer for each message the camera sends and one
// reader for each message it receives. Writers build the whole plain message (header and payload)
// into `buf` and return its length, or -1 when `size` is too small or an argument is out of range.
// Readers take the payload (after ztp_proto_Proto_Parse) and return 0, or -1 for a payload that
// does not have the message's form. Messages marked "super-device" carry a payload scrambled a
// second time with the super-device key, which writers apply and readers undo.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "ztp_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZTP_DRW_MAX_DATA = 1024, // a block; also what the read staging of a channel holds
    ZTP_PSR_MAX_DATA = 1240,
    ZTP_DRW_ACK_MAX = 81,
    ZTP_DC_HEADER_LEN = 64,
    ZTP_DC_FIXED_LEN = 72,
    ZTP_RELAY_REQUEST_LEN = 28,
    ZTP_RELAY_ANSWER_LEN = 48,
};

// Messages without payload (Hello, HelloToAck, RlyHelloAck, SDevRun, Alive, AliveAck, Close, ...).
int ztp_write_Empty(uint8_t type, uint8_t *buf, size_t size);
// Messages that carry only the DID block (PunchPkt, P2PRdy, P2PRdyLanTcp, RlyRdy, SDevLgn).
int ztp_write_DidOnly(uint8_t type, const ztp_did *did, uint8_t *buf, size_t size);
int ztp_read_DidOnly(const uint8_t *payload, size_t n, ztp_did *did);

// The device login: DevLgn (0x10), DevLgn_CRC (0x12), DevLgn1_CRC (0x13) and DevLgn_DSK (0x16). The
// CRC and DSK forms carry the login check (keyed with `login_key`) over the 40 or 64 bytes.
typedef struct ztp_dev_login {
    ztp_did did;
    uint8_t nat_type;
    struct sockaddr_in local_addr;
    const char *dsk; // DevLgn_DSK only
} ztp_dev_login;
int ztp_write_DevLgn(uint8_t type, const ztp_dev_login *login, const char *login_key, uint8_t *buf, size_t size);
// SDevLgn_CRC (0x92) and SSDLgn_CRC (0x36, super-device): the DID block with the login check.
int ztp_write_DidLoginCheck(uint8_t type, const ztp_did *did, const char *login_key, uint8_t *buf, size_t size);

// Login answers. DevLgnAck (0x11): the result byte. The checked answer (0x13): the payload decoded
// with the login check; -1 also when the check fails or nothing is left after it.
int ztp_read_DevLgnAck(const uint8_t *payload, size_t n, uint8_t *result);
int ztp_read_DevLgnAckCRC(const uint8_t *payload, size_t n, const char *login_key, uint8_t *result);

// A payload that is one wire address: HelloAck (0x01), PunchTo (0x40).
int ztp_read_Addr(const uint8_t *payload, size_t n, struct sockaddr_in *addr);
// Two wire addresses at 0 and 16 (0x02, in the relay service).
int ztp_read_AddrPair(const uint8_t *payload, size_t n, struct sockaddr_in *first, struct sockaddr_in *second);

// TryLanTcp (0x43): DID block, the address to connect to (24-byte form).
int ztp_read_TryLanTcp(const uint8_t *payload, size_t n, ztp_did *did, struct sockaddr_in *addr);

// TCPRSStart (0x52): DID block, ticket, the relay's address (24-byte form).
typedef struct ztp_tcp_relay_start {
    ztp_did did;
    uint32_t ticket;
    struct sockaddr_in relay;
} ztp_tcp_relay_start;
int ztp_read_TCPRSStart(const uint8_t *payload, size_t n, ztp_tcp_relay_start *start);
// TCPRlyReqAck (0x55): two result bytes.
int ztp_read_TCPRlyReqAck(const uint8_t *payload, size_t n, uint8_t result[2]);

// RlyTo (0x82): the relay's address and the ticket.
int ztp_read_RlyTo(const uint8_t *payload, size_t n, struct sockaddr_in *relay, uint32_t *ticket);
// RlyPkt (0x83): ticket, DID parts, and the side byte.
typedef struct ztp_rly_pkt {
    uint32_t ticket;
    ztp_did did;
    uint8_t side;
} ztp_rly_pkt;
int ztp_write_RlyPkt(const ztp_rly_pkt *pkt, uint8_t *buf, size_t size);
int ztp_read_RlyPkt(const uint8_t *payload, size_t n, ztp_rly_pkt *pkt);
// RlyPortAck (0x73), sent by the relay service: ticket and port.
int ztp_write_RlyPortAck(uint32_t ticket, uint16_t port, uint8_t *buf, size_t size);

// RlyRdyPlus (0x28).
typedef struct ztp_rly_rdy_plus {
    uint8_t sub_type; // 1 PunchGo, 2 PunchTo, 3 PunchPkt, 4 PunchAck
    uint8_t ticket[16];
    ztp_did did;
    struct sockaddr_in addr[2];
    uint8_t last; // sub-types 3 and 4, when sent
} ztp_rly_rdy_plus;
int ztp_read_RlyRdyPlus(const uint8_t *payload, size_t n, ztp_rly_rdy_plus *msg);
// Sub-types 3 and 4 carry `last` after their addresses.
int ztp_write_RlyRdyPlus(const ztp_rly_rdy_plus *msg, uint8_t *buf, size_t size);

// SSDPeerList (0x39) and SSDDevList (0x3A), super-device: DID block and up to `max` addresses;
// -1 also when the count announces more addresses than the payload holds.
int ztp_read_SSDList(const uint8_t *payload, size_t n, ztp_did *did, struct sockaddr_in *addrs, size_t max,
                     uint16_t *count);
// ListReqAck (0x69): the relay list; -1 also when the count does not fit the payload.
int ztp_read_ListReqAck(const uint8_t *payload, size_t n, struct sockaddr_in *addrs, size_t max, uint8_t *count);

// Super-device requests: SSDP2PReq (0x3C), SSDDevLgn (0x3D), SmartPunchTo (0x3F).
int ztp_write_SSDP2PReq(const ztp_did *did, const struct sockaddr_in *addr, uint8_t *buf, size_t size);
int ztp_write_SSDDevLgn(const ztp_did *did, uint8_t flag, const struct sockaddr_in *addr, uint8_t *buf, size_t size);
int ztp_write_SmartPunchTo(const struct sockaddr_in *addr, uint16_t value, const uint8_t tail[2], uint8_t *buf,
                           size_t size);

// SmartPunchTo (0x3F), super-device: the address to punch around, the BE16 count, the step byte
// and the byte that leaves out the base port.
int ztp_read_SmartPunchTo(const uint8_t *payload, size_t n, struct sockaddr_in *addr, uint16_t *count, uint8_t tail[2]);
// The rendezvous requests SSDP2PReq (0x3C, from a client) and SSDDevLgn (0x3D, from a device),
// super-device: the DID (its serial matches the two sides) and the address the sender reported.
int ztp_read_SSDRequest(uint8_t type, const uint8_t *payload, size_t n, ztp_did *did, struct sockaddr_in *reported);
// The rendezvous service's hello request (0x38, 52 bytes, super-device): two addresses at 0 and 16,
// a BE32 value at 32 and a flags byte at 36; the rest is not read.
enum { ZTP_MSG_SMART_HELLO_TO = 0x38 };
int ztp_read_SmartHelloTo(const uint8_t *payload, size_t n, struct sockaddr_in addrs[2], uint32_t *value,
                          uint8_t *flags);
// A message whose payload is one wire address (PunchTo, 0x40).
int ztp_write_Addr(uint8_t type, const struct sockaddr_in *addr, uint8_t *buf, size_t size);

// DRW (0xD0) and PSR (0xD8): a channel's block or packet. The readers point `data` into the payload;
// -2 (logged, and not to be acknowledged) when the data is longer than a block (DRW, 1024 bytes) or
// a packet (PSR, 1240 bytes).
typedef struct ztp_drw {
    uint8_t channel;
    uint16_t index;
    const uint8_t *data;
    size_t len;
} ztp_drw;
int ztp_write_DRW(uint8_t channel, uint16_t index, const uint8_t *data, size_t len, uint8_t *buf, size_t size);
int ztp_read_DRW(const uint8_t *payload, size_t n, ztp_drw *drw);
int ztp_write_PSR(uint8_t channel, uint16_t index, const uint8_t *data, size_t len, uint8_t *buf, size_t size);
int ztp_read_PSR(const uint8_t *payload, size_t n, ztp_drw *psr);

// DRWAck (0xD1): n block indexes of a channel. The reader refuses (-1) a payload that is not
// 4 + 2n bytes, and gives -2 for a count above 81; on 0, `*count` indexes are in `indexes`.
int ztp_write_DRWAck(uint8_t channel, const uint16_t *indexes, size_t count, uint8_t *buf, size_t size);
int ztp_read_DRWAck(const uint8_t *payload, size_t n, uint8_t *channel, uint16_t indexes[ZTP_DRW_ACK_MAX],
                    size_t *count);

// DC (0xDC): server commands and their answers.
enum {
    ZTP_DC_REQ = 1,
    ZTP_DC_REQ_ACK = 2,
    ZTP_DC_CMD = 17,
    ZTP_DC_CMD_ACK = 18,
    ZTP_DC_RESP = 33,
    ZTP_DC_RESP_ACK = 34,
};
typedef struct ztp_dc {
    uint8_t sub_type;
    char text[40]; // the transaction text, at most 39 characters
    ztp_did did;
    uint8_t bytes[4];    // Req: 1 byte, ReqAck: 4, CmdAck: 2, RespAck: 1
    uint16_t command;    // Cmd
    const uint8_t *data; // Cmd and Resp (points into the payload when read)
    uint16_t data_len;
} ztp_dc;
int ztp_write_DC(const ztp_dc *dc, uint8_t *buf, size_t size);
// -1 for an unknown sub-type, a header without 0xD1, or lengths that disagree with the payload.
int ztp_read_DC(const uint8_t *payload, size_t n, ztp_dc *dc);

// ReportSessionRdy (0xF9, super-device).
typedef struct ztp_report_session_rdy {
    ztp_did did;
    int32_t result;
    uint16_t max_sessions;
    uint16_t open_slots;
    uint16_t listen_ms;
    uint8_t role, mode, login_mode, slot_status;
    struct sockaddr_in local_addr, wan_addr, remote_addr;
} ztp_report_session_rdy;
int ztp_write_ReportSessionRdy(const ztp_report_session_rdy *report, uint8_t *buf, size_t size);
// ReportRRP_P2PRdy (0xFB, super-device).
typedef struct ztp_report_rrp_p2p_rdy {
    ztp_did did;
    uint32_t value;
    uint8_t flag;
    struct sockaddr_in addr[3];
} ztp_report_rrp_p2p_rdy;
int ztp_write_ReportRRP_P2PRdy(const ztp_report_rrp_p2p_rdy *report, uint8_t *buf, size_t size);

#ifdef __cplusplus
}
#endif
