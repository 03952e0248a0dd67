// The transport's socket layer: UDP sockets and datagrams, non-blocking TCP sockets whose "Overtime"
// calls end at a deadline (on ztp_tick_ms) or when a break flag is raised, interface listing and LAN
// broadcast, and socket-address helpers. Every wait is a poll() (any descriptor number), every send
// uses MSG_NOSIGNAL, and EINTR is retried.
#pragma once

#include <netinet/in.h>
#include <sys/uio.h>
#include <stddef.h>
#include <stdint.h>

#include "ztp_scramble.h"

#ifdef __cplusplus
extern "C" {
#endif

// A break flag is a byte that another thread raises (non-zero) with an atomic store; the Overtime
// calls read it atomically at least every 10 ms. Null means no flag.
int ztp_break_raised(const uint8_t *brk);

// Waits up to timeout_ms for `events` on fd: 1 ready, 0 time-out, -1 error.
int ztp_poll_one(int fd, short events, int timeout_ms);

// UDP.
int ztp_setup_Socket(void);
// Binds `sock` to `port` on every address, or for port 0 to a random port 10000 to 29999 (up to 1000
// tries): the port bound (and `bound`, when given), or -18 when no bind succeeded.
int ztp_TryBind(int sock, uint16_t port, struct sockaddr_in *bound);
// A UDP socket with SO_REUSEADDR and SO_BROADCAST bound to `port`: the socket, or -1 no socket,
// -2 an option failed, -3 the bind failed.
int ztp_setup_listen_port(uint16_t port);
// "255.255.255.255" and dotted addresses, else the resolver: 0, or -1 when unresolved.
int ztp_GetInetAddrByName(const char *name, struct in_addr *out);
// Scrambles msg with key and sends it in one datagram: the result of sendto.
int ztp_SendMessage(int sock, const ztp_scramble_key *key, const uint8_t *msg, size_t n, const struct sockaddr_in *to);
// Sends `count` (at most 64) datagrams as they are, in order, with as few calls as the kernel
// allows; one that cannot be sent is skipped, as a lost datagram. The number sent.
int ztp_send_datagrams(int sock, const struct sockaddr_in *to, const struct iovec *dgrams, unsigned count);
// Waits up to timeout_ms for one datagram, receives it (with its sender) and unscrambles it in buf:
// its size, 0 when none came (also on EAGAIN), -1 on a socket error. A null key leaves it scrambled.
int ztp_over_time_receive(int sock, const ztp_scramble_key *key, int timeout_ms, uint8_t *buf, size_t size,
                          struct sockaddr_in *from);
// One datagram of up to 1440 bytes, validated (ztp_proto_Proto_Parse): 0, -1 none within the time-out,
// -2 socket error, -3 bad first byte, -4 bad size, -5 payload cut to *payload_size.
int ztp_proto_Proto_Recv_ALL(int sock, const ztp_scramble_key *key, int timeout_ms, struct sockaddr_in *from,
                             uint8_t *type, uint8_t *payload, size_t *payload_size);

// Interfaces and broadcast.
// The number of interfaces the kernel lists (SIOCGIFCONF over a 512-byte buffer), or -1.
int zt_LanIfNum(void);
// The dotted address of interface i (0-based) into out (16 bytes) when it is up: 0, else -1.
int ZT_GetIP(int i, char out[16]);
// Sends msg (scrambled) to `port` at the broadcast address (last byte 255) of every interface that
// is up, except 127.0.0.1 and 169.254.x.x: the number of interfaces sent to, or -1.
int ztp_BroadcastMessage(int sock, const ztp_scramble_key *key, const uint8_t *msg, size_t n, uint16_t port);

// Non-blocking TCP.
int zt_TCPNBSkt_Create(void);
int zt_TCPNBSkt_CreateBind(uint16_t port);
int zt_TCPNBSkt_CreateBindAddr(const struct sockaddr_in *addr);
int zt_TCPNBSkt_CreateBindListenAddr(const struct sockaddr_in *addr, int backlog);
// One connect step: 0 connected, -1 in progress, -2 failed.
int zt_TCPNBSkt_Connect(int sock, const struct sockaddr_in *to);
// 0 connected, -1 failed, -2 the break flag was raised, -3 the deadline passed.
int zt_TCPNBSkt_Overtime_Connect(int sock, const struct sockaddr_in *to, const uint8_t *brk, int64_t deadline_ms);
// One send: bytes sent, 0 would block, -1 error.
int zt_TCPNBSkt_Send(int sock, const void *data, size_t n);
// All n bytes: 0 done, -1 error, -2 break flag, -3 deadline.
int zt_TCPNBSkt_Overtime_Send(int sock, const void *data, size_t n, const uint8_t *brk, int64_t deadline_ms);
// One receive: bytes, 0 would block, -1 closed by the peer, -2 error.
int zt_TCPNBSkt_Recv(int sock, void *buf, size_t n);
// Exactly n bytes: 0 done, -1 error or closed, -2 break flag, -3 deadline.
int zt_TCPNBSkt_Overtime_Recv(int sock, void *buf, size_t n, const uint8_t *brk, int64_t deadline_ms);
// The 1-based position of the first of `count` sockets that is readable (writable), 0 on time-out,
// -1 on error.
int zt_TCPNBSkt_Select(const int *socks, int count, int timeout_ms);
int zt_TCPNBSkt_WriteSelect(const int *socks, int count, int timeout_ms);
int zt_TCPNBSkt_Listen(int sock, int backlog);
// One accept: the new (non-blocking) socket, -1 none waiting, -2 error.
int zt_TCPNBSkt_Accept(int sock, struct sockaddr_in *from);
// The new socket, -1 error, -2 break flag, -3 deadline.
int zt_TCPNBSkt_Overtime_Accept(int sock, struct sockaddr_in *from, const uint8_t *brk, int64_t deadline_ms);
void zt_TCPNBSkt_Close(int sock);
void zt_TCPSkt_Close(int sock);

// Socket addresses (all in network order inside sockaddr_in; ports given and returned in host order).
int ztp_TCPSkt_GetLocalAddr(int sock, struct sockaddr_in *addr);
int zt_SA_GetRemoteSockAddr(int sock, struct sockaddr_in *addr);
// Dotted text into out (16 bytes); returns out.
const char *zt_SA_GetIPString(const struct sockaddr_in *addr, char out[16]);
uint16_t zt_SA_GetPort(const struct sockaddr_in *addr);
// 0, or -1 when ip is not a dotted address.
int zt_SA_SetSockAddr(struct sockaddr_in *addr, const char *ip, uint16_t port);
int zt_SA_GetIPStringByName(const char *name, char out[16]);
int zt_SA_GetLocalIPString(int sock, char out[16]);
// The local port, or -1.
int zt_SA_GetLocalPort(int sock);

#ifdef __cplusplus
}
#endif
