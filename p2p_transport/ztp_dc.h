// Server commands (DC messages): a Cmd from a server is forwarded to a local UDP port on 127.0.0.1
// and acknowledged; local answers come back on the DC socket and are queued for the servers, which
// the listen loop sends on. The queue holds at most 64 messages; what does not fit is dropped and
// logged.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "ztp_wire_msgs.h"

enum { ZTP_DC_QUEUE_MAX = 64, ZTP_DC_HISTORY = 10 };

// Opens the DC socket (127.0.0.1, any port) and starts "_DCResponse": 0 or -1.
int ztp_dc_start(void);
void ztp_dc_stop(void);
// A DC message read from a server, for `slot` (its DID checked by the caller). Call under the global
// lock.
void ztp_DC_Parser(int slot, const ztp_dc *dc);
// Sends every queued message to the servers (UDP with the slot's key, and the slot's connected TCP
// login records while its TCP login is on). Called by the listen loop.
void ztp_DC_DoSendMsg(int slot);
// The DC socket's port (0 when closed), for tests.
uint16_t ztp_dc_port(void);
