// The listening slot's receive side: the receive dispatcher (server answers, punching, relay
// offers, LAN TCP) and the LAN-search loop. Messages that only a P2P server may send are taken only
// from the servers' addresses (or the TCP login links); RlyRdy only from the relay that RlyTo named.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

// The slot threads' loops (control words ZTP_LOOP_RECV_PROTO and ZTP_LOOP_RECV_LANSEARCH).
void ztp_Run_recv_Proto(int slot);
void ztp_Run_recv_LanSearch(int slot);

// One server message for a listening slot, already known to come from a server (a UDP datagram
// from a server address, or a TCP login link when `tcp`): login answers, relay start, DC.
void ztp_handle_server_msg(int slot, uint8_t type, const uint8_t *payload, size_t n, bool tcp);
// Sends the slot's login (DevLgn_DSK with a DSK, else DevLgn_CRC) to the servers at `port`
// (0: their own port).
void ztp_send_login(int slot, uint16_t port);
