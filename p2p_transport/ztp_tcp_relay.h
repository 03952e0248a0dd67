// Setting up a session over a TCP relay: connect to the relay that a relay start named, send the
// 28-byte request, read the 48-byte answer with the two addresses the relay keeps for the session.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include "ztp_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZTP_RELAY_STEP_MS = 5000, // for the connect attempts, the request and the answer each
    ZTP_RELAY_PACE_MS = 10,   // the least time between two connect attempts
};

enum ztp_relay_state {
    ZTP_RELAY_NOT_STARTED = 0,
    ZTP_RELAY_CONNECTED = 1,
    ZTP_RELAY_NO_SOCKET = 2,
    ZTP_RELAY_CONNECT_FAILED = 3,
    ZTP_RELAY_REQUEST_FAILED = 4,
};

typedef struct ztp_relay_setup_in {
    ztp_did did;
    uint8_t role; // 1 device
    uint32_t ticket;
    struct sockaddr_in relay;
    const uint8_t *brk; // the listen's break flag (may be null)
} ztp_relay_setup_in;

typedef struct ztp_relay_setup_out {
    int sock;                   // the relay socket once connected, else -1
    struct sockaddr_in addr[2]; // from the answer; addr[1] is this side's WAN address
    int state;                  // ztp_relay_state
    int attempts;               // connect attempts made
    int64_t ready_ms;           // ztp_tick_ms when the relay answered
} ztp_relay_setup_out;

// 0 with state 1; -16 when the break flag ended it; -24 otherwise (the state says where).
int ztp_proto_TCPRelay_Setup(const ztp_relay_setup_in *in, ztp_relay_setup_out *out);

#ifdef __cplusplus
}
#endif
