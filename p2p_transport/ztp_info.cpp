// ZTP_GetAPIInformation, ZTP_QueryDID and the client-role entry points, which this device offers
// with their argument checks only.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_did_text.h"
#include "ztp_state.h"
#include "ztp_tick.h"

namespace {

constexpr int64_t kAnswerLimitMs = 5001;
constexpr size_t kInfoSize = 512;

struct info_text {
    char *buf;
    size_t len;
    bool first = true;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!first)
            put(",\n");
        first = false;
        va_list ap;
        va_start(ap, fmt);
        if (len < kInfoSize) {
            const int n = std::vsnprintf(buf + len, kInfoSize - len, fmt, ap);
            len = std::min(kInfoSize - 1, len + (n > 0 ? static_cast<size_t>(n) : 0));
        }
        va_end(ap);
    }
    void put(const char *text)
    {
        const int n = std::snprintf(buf + len, kInfoSize - len, "%s", text);
        len = std::min(kInfoSize - 1, len + (n > 0 ? static_cast<size_t>(n) : 0));
    }
};

// "ip(ms),ip(ms),ip(ms)", fastest first, or empty when no server has answered.
void server_info(char *out, size_t size)
{
    struct answer {
        char ip[16];
        int ms;
    } a[ZTP_SERVER_COUNT];
    bool any = false;
    for (int i = 0; i < ZTP_SERVER_COUNT; ++i) {
        inet_ntop(AF_INET, &ztp_gP2PServerAddr[i].sin_addr, a[i].ip, sizeof a[i].ip);
        const int64_t hello = ztp_gtickServerHelloSent[i].load(), ack = ztp_gtickServerAck[i].load();
        a[i].ms = -1;
        if (hello >= 0 && ack >= 0) {
            any = true;
            if (ack - hello >= kAnswerLimitMs) {
                ztp_gtickServerHelloSent[i] = -1;
                ztp_gtickServerAck[i] = -1;
            } else {
                a[i].ms = static_cast<int>(ack - hello);
            }
        }
    }
    out[0] = '\0';
    if (!any)
        return;
    std::stable_sort(std::begin(a), std::end(a), [](const answer &x, const answer &y) {
        return static_cast<unsigned>(x.ms) < static_cast<unsigned>(y.ms);
    });
    std::snprintf(out, size, "%s(%d),%s(%d),%s(%d)", a[0].ip, a[0].ms, a[1].ip, a[1].ms, a[2].ip, a[2].ms);
}

} // namespace

const char *ztp_proto_GetAPIInformation(void)
{
    // Each thread has a text of its own, so that concurrent callers never tear each other's.
    thread_local char text[kInfoSize];
    while (ztp_gFlagOnDeInitialize.load())
        ztp_sleep_ms(10);
    ++ztp_gFlagOnGetAPIInformation;
    info_text t{text, 0};
    t.put("{\n");
    t.add("\"LibType\":\"c\"");
    t.add("\"Version\":\"%d.%d.%d.%d\"", 5, 0, 8, 0);
    t.add("\"BuiltDate\":\"%s %s\"", "Nov  3 2022", "19:46:24");
    t.add("\"MaxNumSess\":%d", ztp_gMaxNumSess);
    t.add("\"MaxNumCh\":%d", 8);
    t.add("\"SessAliveSec\":%d", ztp_gSessAliveSec);
    t.add("\"P2PPunchRange\":%d", 3);
    const bool up = ztp_gFlagInitialized.load() != 0;
    t.add("\"Initialized\":\"%s\"", up ? "Yes" : "No");
    if (up) {
        int ready = 0, listening = 0, connecting = 0;
        {
            std::lock_guard<std::mutex> lock(ztp_gSessionLock);
            for (int i = 0; ztp_gSession && i < ztp_gMaxNumSess; ++i) {
                const ztp_slot &s = ztp_gSession[i];
                if (s.sock == ZTP_SOCK_FREE)
                    continue;
                if (s.connected)
                    ++ready;
                else if (s.role == 1)
                    ++listening;
                else
                    ++connecting;
            }
        }
        t.add("\"NumSess\":%d", ready);
        t.add("\"NumRunningConnect\":%d", connecting);
        t.add("\"NumRunningListen\":%d", listening);
        if (ztp_gListenRunning.load() > 0) {
            const int64_t newest = std::max(ztp_gLastSuccessLoginTime.load(), ztp_gLastSuccessLoginTimeTCP.load());
            t.add("\"LastLoginAck\":%lld", newest < 0 ? -1LL : static_cast<long long>((ztp_tick_ms() - newest) / 1000));
        }
        char servers[3 * 24];
        server_info(servers, sizeof servers);
        if (servers[0] != '\0')
            t.add("\"ServerInfo\":\"%s\"", servers);
    }
    t.put("\n}");
    --ztp_gFlagOnGetAPIInformation;
    return text;
}

int ztp_proto_QueryDID(void)
{
    std::printf("ztp_proto_QueryDID is not supported since Version 3.0.0\n");
    return 0;
}

namespace {

int connect_checks(const char *did, uint8_t login_mode)
{
    if (!ztp_gFlagInitialized.load() || ztp_gFlagOnDeInitialize.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (did == nullptr || login_mode > ZTP_LOGIN_UDP_TCP)
        return ERROR_ZTP_INVALID_PARAMETER;
    in_addr ip{};
    ztp_did parts{};
    char text[24], dsk[24];
    if (inet_pton(AF_INET, did, &ip) != 1 && ztp_parse_did_arg(did, &parts, text, dsk) != 0)
        return ERROR_ZTP_INVALID_ID;
    ZEL_LOGI("ztp", "connect to %s: the client role is not offered\n", did);
    return ERROR_ZTP_DEVICE_NOT_ONLINE;
}

} // namespace

int ztp_proto_Connect(const char *did, uint8_t login_mode, uint16_t)
{
    return connect_checks(did, login_mode);
}

int ztp_proto_ConnectByServer(const char *did, uint8_t login_mode, uint16_t, const char *init_string)
{
    if (ztp_gFlagInitialized.load() && init_string == nullptr)
        return ERROR_ZTP_INVALID_PARAMETER;
    return connect_checks(did, login_mode);
}

int ztp_proto_Connect_Break(void)
{
    if (!ztp_gFlagInitialized.load())
        return ERROR_ZTP_NOT_INITIALIZED;
    __atomic_store_n(&ztp_gFlagUserBreakConnect, 1, __ATOMIC_RELEASE);
    return 0;
}
