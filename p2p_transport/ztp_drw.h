// The reliable channels' engine: the block queue behind ZTP_Write, the sending pass and loop, the
// UDP and TCP receiving loops, and the set-up and release of a session's channels.
#pragma once

#include <mutex>

#include "ztp_state.h"
#include "ztp_wire_msgs.h"

// Creates the slot's eight channel semaphores and resets its channels (a listen that became ready).
void ztp_channels_open(int slot);
// Frees the slot's lists and closes its semaphores. Its channel loops must have stopped.
void ztp_channels_free(ztp_slot *s);
// Posts every semaphore of the slot (under the lock).
void ztp_channels_post_all(ztp_slot *s);
enum { ZTP_BLOCK_NO_ROOM = 1 };
// Queues one block with the channel's next write index: 0; ZTP_BLOCK_NO_ROOM while the channel's
// lists cannot take another block until the peer acknowledges (nothing changed); or -20 (the
// session is then broken).
int ztp_proto_Write_Block(ztp_slot *s, int channel, const uint8_t *data, size_t len);
// Bytes still to be sent on a channel (staged, queued, in flight).
uint64_t ztp_channel_unsent(const ztp_channel &c);
// True when a block of the session waits for its acknowledgement (under the lock).
bool ztp_channels_in_flight(const ztp_slot *s);
// Marks the session broken or timed out and ends its loops.
void ztp_session_fail_locked(ztp_slot *s, uint8_t *flag);

// The datagrams of a sending pass, written under the session lock, scrambled and sent once it is
// released, so that the other sessions' calls do not wait behind this session's sends. Each loop, and
// each writer thread, that runs passes has its own.
struct ztp_pass_batch {
    enum { MAX = 16 };
    int count = 0;
    uint16_t len[MAX];
    uint8_t data[MAX][ZTP_HEADER_LEN + 4 + ZTP_DRW_MAX_DATA];
};
// The sending pass; `lock` holds the session lock (released around the sends).
void ztp_DoDRWSend(int slot, std::unique_lock<std::mutex> &lock, ztp_pass_batch *batch);
// Under the lock, for whoever gives the sending loop work (a write, an ack to send, a block to send
// again), with a batch of the caller's own: while the loop waits idle and its period would run the
// next pass now, the caller runs that pass itself, sparing the loop a wake-up. Then, when the
// session still has something to send and the loop waits idle, the delay to the next moment of the
// loop's period, at which the caller is to wake it once the lock is released (ztp_loop_wake_in);
// else -1.
int64_t ztp_send_now_or_wake_delay(int slot, std::unique_lock<std::mutex> &lock, ztp_pass_batch *batch);
void ztp_Run_send_DRW(int slot);
void ztp_Run_recv_DRW(int slot);
// A DRW of the session's peer (channel checked): acknowledged and stored as the window and the
// waiting bytes allow. A DRWAck of the peer: the blocks acknowledged are done, those sent before
// them and still in flight go back to the send list. Under the lock.
void ztp_drw_on_data(ztp_slot *s, const ztp_drw &d);
void ztp_drw_on_ack(ztp_slot *s, uint8_t channel, const uint16_t *indexes, size_t count);
// The relay-to-direct messages of the UDP receiving loop (under the lock).
void ztp_upgrade_message(int slot, const uint8_t *payload, size_t n, const struct sockaddr_in &from);
// True when `from` is one of the addresses an upgrade punches (under the lock).
bool ztp_upgrade_accepts(const ztp_slot *s, const struct sockaddr_in &from);
