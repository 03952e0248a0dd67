// The transport's one instance: the globals behind the public calls, the session table and its
// lock, and the calls-in-progress count that lets ZTP_DeInitialize wait before it frees anything.
// Internal to the transport.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

#include "ztp_api.h"
#include "ztp_channel.h"
#include "ztp_scramble.h"
#include "ztp_slot_threads.h"
#include "ztp_tcp_login.h"
#include "ztp_wire.h"

enum { ZTP_SERVER_COUNT = 3, ZTP_DEFAULT_MAX_SESS = 5, ZTP_DEFAULT_ALIVE_SEC = 6 };

enum { ZTP_SOCK_FREE = -1, ZTP_SOCK_RESERVED = -2 };

// One session slot. Plain data, guarded by ztp_gSessionLock unless a field says otherwise; the
// listen that owns a reserved or listening slot and its receive thread work on it without the lock
// only where the other cannot touch the same field.
struct ztp_slot {
    int sock; // ZTP_SOCK_FREE, ZTP_SOCK_RESERVED or the UDP socket
    uint16_t port;
    struct sockaddr_in remote, local, wan;
    int64_t ready_ms;
    char did_text[24];
    uint8_t role, mode, login_mode;
    // Session flags.
    uint8_t connected, listen_finished, closed_timeout, closed_remote, closed_called, broken, closing, stop_waiting;
    // Listen state.
    uint8_t login_state;
    uint8_t relay_state;
    uint8_t punch_to_seen, smart_punch_seen;
    int64_t last_punch_to_ms;
    int64_t lan_answer_ms;    // -1 none
    struct sockaddr_in relay; // named by RlyTo; RlyRdy is taken from it alone
    uint8_t relay_named;
    uint32_t relay_ticket;
    ztp_did did;
    char dsk[24];
    ztp_scramble_key key;
    // TCP relay fallback and LAN TCP.
    uint8_t tcp_login; // 0 off, 1 on, 2 UDP answers again
    uint8_t relay_start;
    int relay_setup_state;
    int64_t listen_start_ms;
    ztp_tcp_session_info *tcp[ZTP_SERVER_COUNT];
    int tcp_sock;        // the session's TCP socket (relay or LAN), -1 none
    uint8_t tcp_plain;   // LAN TCP: plain framing
    int lan_listen_sock; // -1 none
    int lan_tcp_sock;    // -1 none
    struct sockaddr_in relay_addrs[2];
    ztp_channels chan;
};

// Globals (reset by ZTP_DeInitialize).
extern std::atomic<uint8_t> ztp_gFlagInitialized;
extern std::atomic<uint8_t> ztp_gFlagOnDeInitialize;
extern uint8_t ztp_gFlagUserBreakListen; // atomic access: the socket layer's break flag
extern uint8_t ztp_gFlagUserBreakConnect; // atomic access
// Running ZTP_GetAPIInformation calls and running listens.
extern std::atomic<int> ztp_gFlagOnGetAPIInformation;
extern std::atomic<int> ztp_gListenRunning;
extern int ztp_gMaxNumSess;
extern int ztp_gSessAliveSec;
extern ztp_slot *ztp_gSession;
extern ztp_slot_threads *ztp_gSlotThreads;
extern char ztp_gServerString[ZTP_INIT_TEXT_MAX + 1];
extern char ztp_gP2PServerName[ZTP_SERVER_COUNT][64];
extern struct sockaddr_in ztp_gP2PServerAddr[ZTP_SERVER_COUNT];
extern char ztp_gP2PKeyString[ZTP_KEY_STRING_MAX + 1];
extern ztp_scramble_key ztp_gP2PKey;
extern char ztp_gCRCKey[ZTP_CRC_KEY_MAX + 1];
extern ztp_net_info ztp_gNetInfo;
// Ages are ticks of the monotonic clock (ztp_tick_ms); -1 = never.
extern std::atomic<int64_t> ztp_gtickServerHelloSent[ZTP_SERVER_COUNT];
extern std::atomic<int64_t> ztp_gtickServerAck[ZTP_SERVER_COUNT];
extern std::atomic<int64_t> ztp_gLastSuccessLoginTime;
extern std::atomic<int64_t> ztp_gLastSuccessLoginTimeTCP;
extern std::atomic<int64_t> ztp_gLastHelloAckTime;
extern std::atomic<int64_t> ztp_gLastNetDetectTime;
extern std::atomic<int64_t> ztp_gLastListenStartTime;
extern std::atomic<int> ztp_gListenTimeOut;
extern int ztp_gLastHandle;
extern std::mutex ztp_gSessionLock;
// The ports of the relay, rendezvous and DC sockets while they are open (0 none).
enum { ZTP_PORT_RELAY = 0, ZTP_PORT_RENDEZVOUS = 1, ZTP_PORT_DC = 2 };
extern std::atomic<uint16_t> ztp_gServicePorts[3];

// A public call that needs the library running: counts itself while it runs so that
// ZTP_DeInitialize waits for it. ok() is false before initialisation or during de-initialisation.
class ztp_call_guard {
public:
    ztp_call_guard();
    ~ztp_call_guard();
    ztp_call_guard(const ztp_call_guard &) = delete;
    ztp_call_guard &operator=(const ztp_call_guard &) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};
// Waits until no guarded call runs.
void ztp_wait_calls_done(void);

// Index of the server whose address is `from`'s (any port), or -1. A zero address never matches.
int ztp_server_index(const struct sockaddr_in *from);
// Sends `msg` to the three servers (those with an address) at `port`, 0 for their own port.
void ztp_send_to_servers(int sock, const ztp_scramble_key *key, const uint8_t *msg, size_t n, uint16_t port);
// True when `port` is bound by one of the transport's own UDP sockets. Call under the lock.
bool ztp_is_transport_port(uint16_t port);
// The slot's handle check: 0, or -11 (bad handle or free slot). Call under the lock.
int ztp_slot_handle_check(int handle);
int ztp_open_slots_locked(void);

// Same IPv4 address and port.
bool ztp_same_addr(const struct sockaddr_in &a, const struct sockaddr_in &b);

void ztp_sleep_ms(int64_t ms);

// Raises the slot's stop-waiting flag, which the socket layer reads as a break flag, and wakes the
// slot's channel loops so that they see it.
void ztp_set_stop_waiting(ztp_slot *s);
inline bool ztp_stop_waiting(const ztp_slot *s)
{
    return __atomic_load_n(&s->stop_waiting, __ATOMIC_ACQUIRE) != 0;
}
