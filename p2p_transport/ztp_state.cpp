#include "ztp_state.h"

#include <time.h>

#include <cstring>

#include "ztp_ports.h"
#include "ztp_socket.h"

std::atomic<uint8_t> ztp_gFlagInitialized{0};
std::atomic<uint8_t> ztp_gFlagOnDeInitialize{0};
uint8_t ztp_gFlagUserBreakListen = 0;
uint8_t ztp_gFlagUserBreakConnect = 0;
std::atomic<int> ztp_gFlagOnGetAPIInformation{0};
std::atomic<int> ztp_gListenRunning{0};
int ztp_gMaxNumSess = ZTP_DEFAULT_MAX_SESS;
int ztp_gSessAliveSec = ZTP_DEFAULT_ALIVE_SEC;
ztp_slot *ztp_gSession = nullptr;
ztp_slot_threads *ztp_gSlotThreads = nullptr;
char ztp_gServerString[ZTP_INIT_TEXT_MAX + 1];
char ztp_gP2PServerName[ZTP_SERVER_COUNT][64];
struct sockaddr_in ztp_gP2PServerAddr[ZTP_SERVER_COUNT];
char ztp_gP2PKeyString[ZTP_KEY_STRING_MAX + 1];
ztp_scramble_key ztp_gP2PKey;
char ztp_gCRCKey[ZTP_CRC_KEY_MAX + 1];
ztp_net_info ztp_gNetInfo;
std::atomic<int64_t> ztp_gtickServerHelloSent[ZTP_SERVER_COUNT];
std::atomic<int64_t> ztp_gtickServerAck[ZTP_SERVER_COUNT];
std::atomic<int64_t> ztp_gLastSuccessLoginTime{-1};
std::atomic<int64_t> ztp_gLastSuccessLoginTimeTCP{-1};
std::atomic<int64_t> ztp_gLastHelloAckTime{-1};
std::atomic<int64_t> ztp_gLastNetDetectTime{-1};
std::atomic<int64_t> ztp_gLastListenStartTime{-1};
std::atomic<int> ztp_gListenTimeOut{0};
int ztp_gLastHandle = -1;
std::mutex ztp_gSessionLock;
std::atomic<uint16_t> ztp_gServicePorts[3];

namespace {
std::atomic<int> g_calls{0};
}

ztp_call_guard::ztp_call_guard()
{
    g_calls.fetch_add(1, std::memory_order_acq_rel);
    ok_ = ztp_gFlagInitialized.load() != 0 && ztp_gFlagOnDeInitialize.load() == 0;
}

ztp_call_guard::~ztp_call_guard()
{
    g_calls.fetch_sub(1, std::memory_order_acq_rel);
}

void ztp_wait_calls_done(void)
{
    while (g_calls.load(std::memory_order_acquire) > 0)
        ztp_sleep_ms(10);
}

int ztp_server_index(const struct sockaddr_in *from)
{
    for (int i = 0; i < ZTP_SERVER_COUNT; ++i) {
        const in_addr_t a = ztp_gP2PServerAddr[i].sin_addr.s_addr;
        if (a != 0 && a == from->sin_addr.s_addr)
            return i;
    }
    return -1;
}

void ztp_send_to_servers(int sock, const ztp_scramble_key *key, const uint8_t *msg, size_t n, uint16_t port)
{
    for (const sockaddr_in &server : ztp_gP2PServerAddr) {
        if (server.sin_addr.s_addr == 0)
            continue;
        sockaddr_in to = server;
        if (port != 0)
            to.sin_port = htons(port);
        ztp_SendMessage(sock, key, msg, n, &to);
    }
}

bool ztp_is_transport_port(uint16_t port)
{
    if (port == ztp_lan_port())
        return true;
    for (const auto &p : ztp_gServicePorts)
        if (p.load() == port)
            return true;
    for (int i = 0; ztp_gSession && i < ztp_gMaxNumSess; ++i)
        if (ztp_gSession[i].sock >= 0 && ztp_gSession[i].port == port)
            return true;
    return false;
}

int ztp_slot_handle_check(int handle)
{
    if (ztp_gSession == nullptr || handle < 0 || handle >= ztp_gMaxNumSess || ztp_gSession[handle].sock < 0)
        return ERROR_ZTP_INVALID_SESSION_HANDLE;
    return 0;
}

int ztp_open_slots_locked(void)
{
    int open = 0;
    for (int i = 0; ztp_gSession && i < ztp_gMaxNumSess; ++i)
        open += ztp_gSession[i].sock != ZTP_SOCK_FREE;
    return open;
}

bool ztp_same_addr(const struct sockaddr_in &a, const struct sockaddr_in &b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

void ztp_sleep_ms(int64_t ms)
{
    if (ms <= 0)
        return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void ztp_set_stop_waiting(ztp_slot *s)
{
    __atomic_store_n(&s->stop_waiting, 1, __ATOMIC_RELEASE);
    // A slot of the table (not one a caller built on its own) has its loops to wake.
    if (ztp_gSession != nullptr && ztp_gSlotThreads != nullptr && s >= ztp_gSession &&
        s < ztp_gSession + ztp_gMaxNumSess) {
        ztp_slot_threads *t = &ztp_gSlotThreads[s - ztp_gSession];
        ztp_loop_wake(t, ZTP_IDLE_SEND);
        ztp_loop_wake(t, ZTP_IDLE_RECV);
    }
}
