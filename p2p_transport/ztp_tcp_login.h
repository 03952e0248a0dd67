// The TCP login to the P2P servers: one record per server, driven by a listen loop through
// non-blocking steps (connect, send the login, read what arrived, take a complete message). Every
// failure resets the record, and a server is connected again no sooner than 10 s after the last try.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "ztp_scramble.h"
#include "ztp_tcp_frame.h"
#include "ztp_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZTP_TCP_RETRY_MS = 10000,
    ZTP_TCP_SEND_MS = 1000, // the longest a login send may wait for room in the socket
};

// What ztp_Do_TCPConnect raises once a record is connected.
enum ztp_tcp_request {
    ZTP_TCP_REQ_LOGIN = 1,
    ZTP_TCP_REQ_LOGIN_DSK = 2,
    ZTP_TCP_REQ_RLY_PRE = 3,
    ZTP_TCP_REQ_RLY_PRE_DSK = 4,
};

typedef struct ztp_tcp_session_info {
    char name[8]; // "Server1" to "Server3"
    struct sockaddr_in server;
    int sock; // -1 none
    uint8_t connected;
    uint8_t attempted;       // last_attempt_ms is set
    int64_t last_attempt_ms; // ztp_tick_ms of the last connect start or end
    // Request flags.
    uint8_t send_login, send_login_dsk;
    uint8_t send_rly_req, send_rly_req_dsk, send_rly_pre_req, send_rly_pre_req_dsk;
    int rly_req_retry;
    // Receive state.
    uint8_t header_got; // 0 to 8
    uint8_t header_raw[ZTP_TCP_HEADER_LEN];
    ztp_tcp_header header;
    uint16_t msg_got;
    uint8_t *buf; // the message, plain once ready
    size_t buf_size;
    uint8_t msg_ready;
} ztp_tcp_session_info;

// A new record without a socket, or null when the address is not a dotted IPv4 text, the buffer
// is smaller than a TCP message, or memory runs out.
ztp_tcp_session_info *ztp_AllocTCPSessionInfo(const char *name, const char *server_ip, uint16_t port, size_t buf_size);
// Closes the socket and clears the record, keeping name, address, buffer and the last attempt.
void ztp_ResetTCPrSessionInfo(ztp_tcp_session_info *info);
void ztp_FreeTCPrSessionInfo(ztp_tcp_session_info *info);

// The login as the records send it.
typedef struct ztp_tcp_login_params {
    ztp_did did;
    uint8_t nat_type;
    const char *dsk;             // ztp_Do_TCPSendDevLgnDSK
    const char *login_key;       // the login check's key
    const ztp_scramble_key *key; // the P2P key string
} ztp_tcp_login_params;

// One step of each of `count` records (null entries are skipped).
void ztp_Do_TCPConnect(ztp_tcp_session_info **records, int count, int request);
void ztp_Do_TCPSendDevLgn(ztp_tcp_session_info **records, int count, const ztp_tcp_login_params *params);
void ztp_Do_TCPSendDevLgnDSK(ztp_tcp_session_info **records, int count, const ztp_tcp_login_params *params);
// Reads without blocking; a complete message is checked and made plain (two-stage scrambling with
// `key`) and waits in the record until Check_MSG_Ready takes it.
void ztp_Do_TCPRecv(ztp_tcp_session_info **records, int count, const ztp_scramble_key *key);
// Takes the ready message: 0 with its type and payload (cut to *payload_size: -5), -3 a bad header,
// -4 a size that is not the payload length + 4, -1 nothing ready. The receive state is cleared.
int Check_MSG_Ready(ztp_tcp_session_info *info, uint8_t *type, uint8_t *payload, size_t *payload_size);

#ifdef __cplusplus
}
#endif
