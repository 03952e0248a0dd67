#include "ztp_relay_service.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_rand.h"
#include "ztp_login_check.h"
#include "ztp_socket.h"
#include "ztp_state.h"
#include "ztp_tick.h"
#include "ztp_wire_msgs.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr int kWaitMs = 100;
constexpr int kLoginEveryPasses = 300;
constexpr int kSilentPassesMax = 50;
constexpr int kRdyEverySilent = 5;
constexpr int64_t kRendezvousLoginMs = 30000;
constexpr int64_t kMatchWindowMs = 2000;
constexpr int64_t kEntryStaleMs = 40000;

enum relay_state { IDLE = 0, LOGGING_IN = 1, RELAYING = 2, STOPPING = 3 };

struct service {
    const char *name;
    std::atomic<int> state{IDLE};
    std::atomic<bool> on{false};
    std::atomic<bool> exit{false};
    pthread_t thread{};
    bool started = false;
    int port_slot;
    void (*run)(service &);
    // Wakes the idle thread for a start by the servers or the exit.
    std::mutex wake_mutex;
    std::condition_variable wake;
};

void wake(service &svc)
{
    { std::lock_guard<std::mutex> g(svc.wake_mutex); }
    svc.wake.notify_one();
}

ztp_did g_did; // the camera's DID, copied at SDevRun (under the session lock)

bool keep_running(const service &svc, int state)
{
    return svc.state.load() == state && svc.on.load() && !svc.exit.load();
}

ztp_did current_did()
{
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    return g_did;
}

int open_service_socket(int port_slot)
{
    const int sock = ztp_setup_Socket();
    if (sock < 0)
        return -1;
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    for (int i = 0; i < 500; ++i) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(rand_range(2000, 9000)));
        if (bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            ztp_gServicePorts[port_slot] = ntohs(a.sin_port);
            return sock;
        }
    }
    ZEL_LOGE(kTag, "service socket: no port 2000-8999 binds\n");
    close(sock);
    return -1;
}

void close_service_socket(int sock, int port_slot)
{
    ztp_gServicePorts[port_slot] = 0;
    close(sock);
}

bool from_server(const sockaddr_in &from)
{
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    return ztp_server_index(&from) >= 0;
}

void send_msg(int sock, const uint8_t *msg, int n, const sockaddr_in &to, int times = 1)
{
    for (int i = 0; i < times && n > 0; ++i) {
        if (i > 0)
            ztp_sleep_ms(10);
        ztp_SendMessage(sock, &ztp_gP2PKey, msg, static_cast<size_t>(n), &to);
    }
}

void send_empty(int sock, uint8_t type, const sockaddr_in &to, int times = 1)
{
    uint8_t msg[ZTP_HEADER_LEN];
    send_msg(sock, msg, ztp_write_Empty(type, msg, sizeof msg), to, times);
}

void crc_key(char key[ZTP_CRC_KEY_MAX + 1])
{
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    std::memcpy(key, ztp_gCRCKey, ZTP_CRC_KEY_MAX + 1);
}

void login_to_servers(int sock, uint8_t type)
{
    const ztp_did did = current_did();
    uint8_t msg[ZTP_HEADER_LEN + ZTP_DID_BLOCK_LEN + 8];
    char key[ZTP_CRC_KEY_MAX + 1];
    crc_key(key);
    const int len = ztp_write_DidLoginCheck(type, &did, key, msg, sizeof msg);
    if (len > 0) {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        ztp_send_to_servers(sock, &ztp_gP2PKey, msg, static_cast<size_t>(len), 0);
    }
}

// One message for a service socket (P2P key string), waiting up to 100 ms.
struct received {
    sockaddr_in from{};
    uint8_t type = 0;
    uint8_t p[ZTP_MAX_DATAGRAM];
    size_t n = sizeof p;
};

bool receive(int sock, received *m)
{
    return ztp_proto_Proto_Recv_ALL(sock, &ztp_gP2PKey, kWaitMs, &m->from, &m->type, m->p, &m->n) == 0;
}

// ---- relay service ------------------------------------------------------------------------------

struct relay_sides {
    sockaddr_in a{}, b{}; // a: the side whose RlyPkt has the side byte set
    bool has_a = false, has_b = false;
    bool a_spoke = false, b_spoke = false;
    ztp_did b_did{};
};

void send_rly_rdy(int sock, const relay_sides &r, bool to_a, bool to_b)
{
    uint8_t msg[ZTP_HEADER_LEN + ZTP_DID_BLOCK_LEN];
    const int len = ztp_write_DidOnly(ZTP_MSG_RLY_RDY, &r.b_did, msg, sizeof msg);
    if (to_a)
        send_msg(sock, msg, len, r.a);
    if (to_b)
        send_msg(sock, msg, len, r.b);
}

// Logging in: answers the servers' and the peers' probes until a peer asks for the relay port.
void relay_login(service &svc, int sock, uint32_t ticket)
{
    sockaddr_in reported{};
    for (int pass = 0; keep_running(svc, LOGGING_IN); ++pass) {
        if (pass % kLoginEveryPasses == 0)
            login_to_servers(sock, ZTP_MSG_SDEV_LGN_CRC);
        received m;
        if (!receive(sock, &m))
            continue;
        const sockaddr_in &from = m.from;
        const uint8_t type = m.type;
        const uint8_t *p = m.p;
        const size_t n = m.n;
        sockaddr_in pair[2];
        if (type == ZTP_MSG_HELLO_TO && from_server(from) && ztp_read_AddrPair(p, n, &pair[0], &pair[1]) == 0) {
            for (int i = 0; i < 4; ++i) {
                send_empty(sock, ZTP_MSG_HELLO_TO_ACK, pair[0]);
                send_empty(sock, ZTP_MSG_HELLO_TO_ACK, pair[1]);
                ztp_sleep_ms(10);
            }
        } else if (type == ZTP_MSG_RLY_HELLO && n == 0) {
            send_empty(sock, ZTP_MSG_RLY_HELLO_ACK, from);
        } else if (type == ZTP_MSG_RLY_PORT && n == 0) {
            uint8_t msg[ZTP_HEADER_LEN + 8];
            const int len = ztp_write_RlyPortAck(ticket, ztp_gServicePorts[ZTP_PORT_RELAY].load(), msg, sizeof msg);
            send_msg(sock, msg, len, from, 4);
            int expected = LOGGING_IN;
            svc.state.compare_exchange_strong(expected, RELAYING);
        } else if ((type == ZTP_MSG_SDEV_LGN || type == ZTP_MSG_SDEV_LGN_CRC) && from_server(from)) {
            uint8_t plain[ZTP_MAX_DATAGRAM];
            char key[ZTP_CRC_KEY_MAX + 1];
            crc_key(key);
            const bool checked = type == ZTP_MSG_SDEV_LGN_CRC;
            const int len = checked ? ztp_proto_CRCDec(key, p, n, plain, sizeof plain) : static_cast<int>(n);
            if (len >= ZTP_ADDR_LEN)
                ntohAddrZTP(checked ? plain : p, &reported);
        }
    }
}

void relay_forward(service &svc, int sock, uint32_t ticket)
{
    relay_sides r;
    int silent = 0;
    bool told_stranger = false;
    while (keep_running(svc, RELAYING)) {
        uint8_t raw[ZTP_MAX_DATAGRAM];
        sockaddr_in from{};
        const int got = ztp_over_time_receive(sock, nullptr, kWaitMs, raw, sizeof raw, &from);
        if (got <= 0) {
            if (++silent > kSilentPassesMax) {
                ZEL_LOGI(kTag, "relay service: %d silent passes, stopping\n", silent);
                break;
            }
            if (r.has_a && r.has_b && silent % kRdyEverySilent == 0)
                send_rly_rdy(sock, r, !r.a_spoke || r.b_spoke, !r.b_spoke || r.a_spoke);
            continue;
        }
        silent = 0;
        uint8_t plain[ZTP_MAX_DATAGRAM];
        uint8_t payload[ZTP_MAX_DATAGRAM];
        uint8_t type = 0;
        size_t n = sizeof payload;
        ztp_rly_pkt pkt{};
        std::memcpy(plain, raw, static_cast<size_t>(got));
        const bool is_rly_pkt =
            ztp_proto_Proto_Parse(&ztp_gP2PKey, plain, static_cast<size_t>(got), &type, payload, &n) == 0 &&
            type == ZTP_MSG_RLY_PKT && ztp_read_RlyPkt(payload, n, &pkt) == 0 && pkt.ticket == ticket;
        if (is_rly_pkt) {
            const bool first_pair = !(r.has_a && r.has_b);
            // The ticket is readable by anyone who sees one RlyPkt: once paired, a side stays where it is.
            if (!first_pair && !ztp_same_addr(from, pkt.side ? r.a : r.b)) {
                if (!told_stranger)
                    ZEL_LOGW(kTag, "relay service: RlyPkt from a third address for a paired side refused\n");
                told_stranger = true;
                continue;
            }
            if (pkt.side) {
                r.a = from;
                r.has_a = true;
            } else {
                r.b = from;
                r.b_did = pkt.did;
                r.has_b = true;
            }
            if (first_pair && r.has_a && r.has_b)
                send_rly_rdy(sock, r, true, true);
            continue;
        }
        if (!(r.has_a && r.has_b))
            continue;
        // The bytes pass as they came: unscrambling and scrambling again with one key is the identity.
        if (ztp_same_addr(from, r.a)) {
            r.a_spoke = true;
            sendto(sock, raw, static_cast<size_t>(got), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&r.b), sizeof r.b);
        } else if (ztp_same_addr(from, r.b)) {
            r.b_spoke = true;
            sendto(sock, raw, static_cast<size_t>(got), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&r.a), sizeof r.a);
        }
    }
    svc.state = STOPPING;
    if (r.has_a)
        send_empty(sock, ZTP_MSG_CLOSE, r.a);
    if (r.has_b)
        send_empty(sock, ZTP_MSG_CLOSE, r.b);
}

void run_relay(service &svc)
{
    const int sock = open_service_socket(svc.port_slot);
    if (sock >= 0) {
        const uint32_t ticket = rand_long();
        ZEL_LOGI(kTag, "relay service on port %u\n", ztp_gServicePorts[svc.port_slot].load());
        relay_login(svc, sock, ticket);
        if (svc.state.load() == RELAYING)
            relay_forward(svc, sock, ticket);
        close_service_socket(sock, svc.port_slot);
    }
    svc.state = IDLE;
}

// ---- rendezvous service -------------------------------------------------------------------------

struct rendezvous_entry {
    int64_t tick;
    int64_t serial; // -1 free
    sockaddr_in sender, reported;
};

struct rendezvous_tables {
    rendezvous_entry side[2][ZTP_RENDEZVOUS_ENTRIES]; // 0 devices, 1 clients
};

void tell_to_punch(int sock, const rendezvous_entry &to, const rendezvous_entry &other)
{
    uint8_t msg[ZTP_HEADER_LEN + 20];
    const uint8_t tail[2] = {1, 0};
    send_msg(sock, msg, ztp_write_SmartPunchTo(&other.sender, 2, tail, msg, sizeof msg), to.sender);
    send_msg(sock, msg, ztp_write_Addr(ZTP_MSG_PUNCH_TO, &other.reported, msg, sizeof msg), to.sender);
}

void on_request(int sock, rendezvous_tables &t, int side, int64_t serial, const sockaddr_in &from,
                const sockaddr_in &reported)
{
    const int64_t now = ztp_tick_ms();
    for (auto &table : t.side)
        for (auto &e : table)
            if (e.serial >= 0 && now - e.tick > kMatchWindowMs)
                e.serial = -1;
    rendezvous_entry self{now, serial, from, reported};
    for (auto &e : t.side[1 - side]) {
        if (e.serial == serial) {
            tell_to_punch(sock, self, e);
            tell_to_punch(sock, e, self);
            e.serial = -1;
            return;
        }
    }
    rendezvous_entry *own = t.side[side];
    rendezvous_entry *slot = nullptr;
    for (int i = 0; i < ZTP_RENDEZVOUS_ENTRIES && !slot; ++i)
        if (own[i].serial == serial)
            slot = &own[i];
    for (int i = 0; i < ZTP_RENDEZVOUS_ENTRIES && !slot; ++i)
        if (own[i].serial < 0 || now - own[i].tick > kEntryStaleMs)
            slot = &own[i];
    if (!slot) {
        slot = &own[0];
        for (int i = 1; i < ZTP_RENDEZVOUS_ENTRIES; ++i)
            if (own[i].tick < slot->tick)
                slot = &own[i];
    }
    *slot = self;
}

void run_rendezvous(service &svc)
{
    const int sock = open_service_socket(svc.port_slot);
    if (sock >= 0) {
        rendezvous_tables t{};
        for (auto &table : t.side)
            for (auto &e : table)
                e.serial = -1;
        int64_t last_login = -kRendezvousLoginMs;
        while (keep_running(svc, 1)) {
            if (ztp_tick_ms() - last_login >= kRendezvousLoginMs) {
                login_to_servers(sock, ZTP_MSG_SSD_LGN_CRC);
                last_login = ztp_tick_ms();
            }
            received m;
            if (!receive(sock, &m))
                continue;
            ztp_did did{};
            sockaddr_in reported{};
            sockaddr_in pair[2];
            uint32_t value = 0;
            uint8_t flags = 0;
            if (ztp_read_SSDRequest(m.type, m.p, m.n, &did, &reported) == 0) {
                on_request(sock, t, m.type == ZTP_MSG_SSD_DEV_LGN ? 0 : 1, did.serial, m.from, reported);
            } else if (m.type == ZTP_MSG_SMART_HELLO_TO && from_server(m.from) &&
                       ztp_read_SmartHelloTo(m.p, m.n, pair, &value, &flags) == 0 && flags && value <= 10000000) {
                send_empty(sock, ZTP_MSG_HELLO_TO_ACK, pair[0]);
                send_empty(sock, ZTP_MSG_HELLO_TO_ACK, pair[1]);
            }
        }
        close_service_socket(sock, svc.port_slot);
    }
    svc.state = IDLE;
}

// ---- threads ------------------------------------------------------------------------------------

service g_relay{"_SuperDev", {}, {}, {}, {}, false, ZTP_PORT_RELAY, run_relay};
service g_rendezvous{"_SmartSuperDev", {}, {}, {}, {}, false, ZTP_PORT_RENDEZVOUS, run_rendezvous};

void *service_thread(void *p)
{
    service &svc = *static_cast<service *>(p);
    prctl(PR_SET_NAME, svc.name, 0, 0, 0);
    while (!svc.exit.load()) {
        if (svc.state.load() == 1) {
            svc.run(svc);
            continue;
        }
        std::unique_lock<std::mutex> g(svc.wake_mutex);
        svc.wake.wait(g, [&svc] { return svc.exit.load() || svc.state.load() == 1; });
    }
    return nullptr;
}

void switch_off(service &svc)
{
    svc.on = false;
    while (svc.state.load() != IDLE)
        ztp_sleep_ms(10);
}

int switch_to(service &svc, uint8_t on)
{
    if (!ztp_gFlagInitialized.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (on)
        svc.on = true;
    else
        switch_off(svc);
    return 0;
}

} // namespace

int ztp_services_start(void)
{
    for (service *svc : {&g_relay, &g_rendezvous}) {
        svc->exit = false;
        svc->on = false;
        svc->state = IDLE;
        if (pthread_create(&svc->thread, nullptr, service_thread, svc) != 0) {
            ZEL_LOGE(kTag, "%s thread cannot start\n", svc->name);
            return -1;
        }
        svc->started = true;
    }
    return 0;
}

void ztp_services_stop(void)
{
    for (service *svc : {&g_rendezvous, &g_relay}) {
        svc->on = false;
        svc->exit = true;
        wake(*svc);
        if (svc->started)
            pthread_join(svc->thread, nullptr);
        svc->started = false;
        svc->state = IDLE;
    }
}

void ztp_services_on_sdev_run(const ztp_did *did)
{
    {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        g_did = *did;
    }
    for (service *svc : {&g_relay, &g_rendezvous}) {
        int idle = IDLE;
        if (svc->on.load() && svc->state.compare_exchange_strong(idle, 1)) {
            ZEL_LOGI(kTag, "%s started by the servers\n", svc->name);
            wake(*svc);
        }
    }
}

int ztp_proto_Share_Bandwidth(uint8_t on)
{
    return switch_to(g_relay, on);
}

int ztp_proto_Enable_SmartDevice(uint8_t on)
{
    return switch_to(g_rendezvous, on);
}
