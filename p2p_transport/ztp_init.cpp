// ZTP_Initialize and ZTP_DeInitialize: the init text, the session table and its threads, the
// service threads; and the login-check key.
#include <cstdlib>
#include <cstring>
#include <new>

#include "zel_control/log/zel_log.h"
#include "ztp_dc.h"
#include "ztp_drw.h"
#include "ztp_relay_service.h"
#include "ztp_servers.h"
#include "ztp_session.h"
#include "ztp_state.h"
#include "ztp_tables.h"

namespace {

constexpr char kTag[] = "ztp";
constexpr size_t kInitStringMin = 18;

struct init_params {
    int max_sess = ZTP_DEFAULT_MAX_SESS;
    int alive_sec = ZTP_DEFAULT_ALIVE_SEC;
    char init_string[ZTP_INIT_TEXT_MAX + 1] = {};
};

// The flat JSON form: a number after the key's next ':' up to ',' or '}', or a string between the
// next pair of quotes. No nesting, no escapes.
const char *json_value(const char *text, const char *key)
{
    const char *at = std::strstr(text, key);
    if (at == nullptr)
        return nullptr;
    const char *colon = std::strchr(at + std::strlen(key), ':');
    return colon ? colon + 1 : nullptr;
}

int json_number(const char *text, const char *key, int lo, int hi, int *out)
{
    const char *v = json_value(text, key);
    if (v == nullptr)
        return 0;
    char *end = nullptr;
    const long n = std::strtol(v, &end, 10);
    while (end && (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r'))
        ++end;
    if (end == v || end == nullptr || (*end != ',' && *end != '}') || n < lo || n > hi)
        return -1;
    *out = static_cast<int>(n);
    return 0;
}

int read_init_text(const char *text, init_params *p)
{
    const bool json = text[0] == '{' || (text[0] != '\0' && text[1] == '{');
    const char *init = text;
    size_t len = std::strlen(text);
    if (json) {
        if (json_number(text, "\"MaxNumSess\"", 1, 256, &p->max_sess) != 0 ||
            json_number(text, "\"SessAliveSec\"", 6, 30, &p->alive_sec) != 0)
            return ERROR_ZTP_INVALID_PARAMETER;
        const char *v = json_value(text, "\"InitString\"");
        const char *open = v ? std::strchr(v, '"') : nullptr;
        const char *close = open ? std::strchr(open + 1, '"') : nullptr;
        if (close == nullptr)
            return ERROR_ZTP_INVALID_PARAMETER;
        init = open + 1;
        len = static_cast<size_t>(close - init);
    }
    if (len < kInitStringMin || len > ZTP_INIT_TEXT_MAX) {
        ZEL_LOGE(kTag, "init string of %zu characters refused\n", len);
        return ERROR_ZTP_INVALID_PARAMETER;
    }
    std::memcpy(p->init_string, init, len);
    p->init_string[len] = '\0';
    return 0;
}

void reset_globals()
{
    ztp_gMaxNumSess = ZTP_DEFAULT_MAX_SESS;
    ztp_gSessAliveSec = ZTP_DEFAULT_ALIVE_SEC;
    std::memset(ztp_gServerString, 0, sizeof ztp_gServerString);
    std::memset(ztp_gP2PServerName, 0, sizeof ztp_gP2PServerName);
    std::memset(ztp_gP2PServerAddr, 0, sizeof ztp_gP2PServerAddr);
    std::memset(ztp_gP2PKeyString, 0, sizeof ztp_gP2PKeyString);
    ztp_scramble_key_init(&ztp_gP2PKey, nullptr);
    std::memset(ztp_gCRCKey, 0, sizeof ztp_gCRCKey);
    std::memset(&ztp_gNetInfo, 0, sizeof ztp_gNetInfo);
    std::strcpy(ztp_gNetInfo.lan_ip, "0.0.0.0");
    std::strcpy(ztp_gNetInfo.wan_ip, "0.0.0.0");
    for (int i = 0; i < ZTP_SERVER_COUNT; ++i) {
        ztp_gtickServerHelloSent[i] = -1;
        ztp_gtickServerAck[i] = -1;
        ztp_gP2PServerAddr[i].sin_family = AF_INET;
    }
    ztp_gLastSuccessLoginTime = -1;
    ztp_gLastSuccessLoginTimeTCP = -1;
    ztp_gLastHelloAckTime = -1;
    ztp_gLastNetDetectTime = -1;
    ztp_gLastListenStartTime = -1;
    ztp_gListenTimeOut = 0;
    ztp_gLastHandle = -1;
    __atomic_store_n(&ztp_gFlagUserBreakListen, 0, __ATOMIC_RELEASE);
}

// Stops every thread that runs and frees the table: the end of de-initialisation, and the undo of
// an initialisation that could not start all its threads.
void stop_and_free()
{
    ztp_services_stop();
    for (int i = 0; ztp_gSlotThreads && i < ztp_gMaxNumSess; ++i)
        ztp_slot_threads_stop(&ztp_gSlotThreads[i]);
    delete[] ztp_gSlotThreads;
    ztp_gSlotThreads = nullptr;
    delete[] ztp_gSession;
    ztp_gSession = nullptr;
    reset_globals();
}

void take_key_string(const char *init_string)
{
    const char *colon = std::strchr(init_string, ':');
    if (colon)
        std::strncpy(ztp_gP2PKeyString, colon + 1, ZTP_KEY_STRING_MAX);
    ztp_scramble_key_init(&ztp_gP2PKey, ztp_gP2PKeyString);
}

} // namespace

int ztp_proto_GetAPIVersion(void)
{
    return ZTP_API_VERSION;
}

int ztp_proto_Initialize(const char *init_text)
{
    if (ztp_gFlagInitialized.load())
        return ERROR_ZTP_ALREADY_INITIALIZED;
    if (init_text == nullptr)
        return ERROR_ZTP_INVALID_PARAMETER;
    init_params p;
    const int read = read_init_text(init_text, &p);
    if (read != 0)
        return read;

    reset_globals();
    ztp_gMaxNumSess = p.max_sess;
    ztp_gSessAliveSec = p.alive_sec;
    ztp_gSession = new (std::nothrow) ztp_slot[p.max_sess];
    ztp_gSlotThreads = new (std::nothrow) ztp_slot_threads[p.max_sess];
    if (ztp_gSession == nullptr || ztp_gSlotThreads == nullptr) {
        stop_and_free();
        return ERROR_ZTP_FAIL_TO_ALLOCATE_MEMORY;
    }
    std::strcpy(ztp_gServerString, p.init_string);
    if (ztp_server_names(p.init_string, ztp_gP2PServerName) < 0) {
        stop_and_free();
        return ERROR_ZTP_INVALID_PARAMETER;
    }
    std::strcpy(ztp_gCRCKey, ztp_login_key);
    for (int i = 0; i < p.max_sess; ++i) {
        ztp_slot_clear(&ztp_gSession[i]);
        for (auto &w : ztp_gSlotThreads[i].gFlag_Run)
            w.store(ZTP_CTL_IDLE);
        ztp_gSlotThreads[i].started[0] = ztp_gSlotThreads[i].started[1] = false;
    }
    int started = ztp_services_start();
    for (int i = 0; started == 0 && i < p.max_sess; ++i)
        started = ztp_slot_threads_start(&ztp_gSlotThreads[i], i);
    if (started != 0) {
        stop_and_free();
        return ERROR_ZTP_FAIL_TO_CREATE_THREAD;
    }
    take_key_string(p.init_string);
    ztp_gFlagInitialized = 1;
    if (ztp_dc_start() != 0) {
        ztp_gFlagInitialized = 0;
        stop_and_free();
        return ERROR_ZTP_FAIL_TO_CREATE_THREAD;
    }
    ZEL_LOGI(kTag, "initialised: %d sessions, %d s alive\n", ztp_gMaxNumSess, ztp_gSessAliveSec);
    return 0;
}

int ztp_proto_DeInitialize(void)
{
    uint8_t expected = 0;
    if (!ztp_gFlagInitialized.load() || !ztp_gFlagOnDeInitialize.compare_exchange_strong(expected, 1))
        return ERROR_ZTP_NOT_INITIALIZED;
    ztp_dc_stop();
    {
        std::lock_guard<std::mutex> lock(ztp_gSessionLock);
        for (int i = 0; i < ztp_gMaxNumSess; ++i) {
            if (ztp_gSession[i].closing)
                ztp_set_stop_waiting(&ztp_gSession[i]);
            // Readers waiting on a channel see the de-initialisation and return.
            ztp_channels_post_all(&ztp_gSession[i]);
        }
    }
    // A listen that runs sees the break and returns; only then is its slot ours to free.
    ztp_proto_Listen_Break();
    ztp_wait_calls_done();
    while (ztp_gFlagOnGetAPIInformation.load() > 0)
        ztp_sleep_ms(10);
    for (int i = 0; i < ztp_gMaxNumSess; ++i)
        ztp_slot_close(i, true);
    stop_and_free();
    ztp_gFlagInitialized = 0;
    ztp_gFlagOnDeInitialize = 0;
    ZEL_LOGI(kTag, "de-initialised\n");
    return 0;
}

int ztp_proto_SetCRCKey(const char *key)
{
    ztp_call_guard guard;
    if (!guard.ok())
        return ERROR_ZTP_NOT_INITIALIZED;
    if (key == nullptr || std::strlen(key) > ZTP_CRC_KEY_MAX)
        return ERROR_ZTP_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(ztp_gSessionLock);
    std::strcpy(ztp_gCRCKey, key);
    return 0;
}
