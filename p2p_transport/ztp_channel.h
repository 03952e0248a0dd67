// The reliable channels of a session: per channel the staging blocks, the block lists, the ack list
// and the window; per session the send period and the state of the two channel loops. Plain data in
// the session slot, guarded by the session lock.
#pragma once

#include <netinet/in.h>
#include <semaphore.h>
#include <stdint.h>

#include "ztp_blocks.h"

enum {
    ZTP_CHANNELS = 8,
    ZTP_BLOCK_MAX = 1024,
    ZTP_WINDOW_MAX = 110,
    ZTP_QUEUED_MAX = 128,          // blocks per channel sent or in flight
    ZTP_WAITING_MAX = 0x20000,     // received bytes per channel beyond which later blocks are refused
    // Received blocks per channel beyond which later blocks are refused: a block costs a whole
    // block's memory however little it carries, so bytes alone do not bound what is held. Twice
    // what a sender may have in flight; full blocks reach the byte limit first.
    ZTP_WAITING_BLOCKS_MAX = 256,
    ZTP_ACK_NOTE_MAX = 81,         // indexes in one DRWAck (a peer refuses more)
    ZTP_ACK_SEND_AT = 16,          // more noted indexes than this are acknowledged at once
    ZTP_PACKETS_MAX = 32,          // PSR packets waiting per channel
    ZTP_WRITE_MAX = 0x200000,      // one ZTP_Write
    ZTP_PERIOD_UDP_MS = 40,
    ZTP_PERIOD_TCP_MS = 10,
};

struct ztp_channel {
    uint8_t wbuf[ZTP_BLOCK_MAX];
    uint16_t wfill;
    uint16_t next_write;
    uint8_t rbuf[ZTP_BLOCK_MAX];
    uint16_t rstart, rend;
    uint16_t next_read;
    int64_t stall_ms; // 0 = not stalled
    ztp_block_list pending, send, tcp_send, inflight, received, packets;
    uint16_t next_packet_send, next_packet_expect;
    uint16_t acks[ZTP_ACK_NOTE_MAX];
    uint8_t nacks;
    int window;
};

struct ztp_channels {
    ztp_channel ch[ZTP_CHANNELS];
    sem_t *sem[ZTP_CHANNELS];
    int send_period_ms;
    int64_t last_pass_ms;
    int64_t last_tcp_send_ms;
    // A sending pass is under way. Its datagrams go out with the lock released, and a second pass
    // meanwhile would send later blocks before them, which the peer's acknowledgements would then
    // have resent as lost.
    bool passing;
    int users; // callers inside the slot's channel functions
    // Relay-to-direct upgrade.
    uint8_t upgrading, upgraded;
    uint8_t ticket[16];
    struct sockaddr_in punch[2];
};
