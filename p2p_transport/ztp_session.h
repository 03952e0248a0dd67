// Session slots: clearing, reserving, the session information of ZTP_Check and closing.
#pragma once

#include "ztp_state.h"

// Clears a slot to free (no sockets, no records).
void ztp_slot_clear(ztp_slot *s);
// Reserves the first free slot after the last one handed out: its index, or -17. Under the lock.
int ztp_slot_reserve_locked(void);
// Closes the slot's sockets and TCP login records and marks it free (the listen's failure path and
// the end of a close). Its channel loops must have stopped.
void ztp_slot_release(int handle);
// Tells the peer, stops the slot's channel loops and releases it. `force` drops what is unsent.
int ztp_slot_close(int handle, bool force);
// The first of a session's one-way closing flags, in the order every call reports them: 0, -14,
// -20, -13 or -12. Under the lock.
int ztp_slot_closed_code(const ztp_slot &s);
// Sends a plain message to the session's peer: over its TCP socket when it runs on one, else over UDP.
void ztp_slot_send_peer(ztp_slot *s, const uint8_t *msg, size_t n);
