// The login watch: the device's login to the P2P servers is checked a few seconds after the start
// and every minute after; a stale login breaks the listen, which logs in again. All ages are on the
// monotonic tick, since the wall clock is set from the server.
#include <stdlib.h>
#include <string.h>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_errors.h"
#include "zt_errors.h"
#include "zt_internal.h"

namespace {

using zt::kModule;

constexpr uint64_t kFirstCheckMs = 3000;
constexpr uint64_t kCheckMs = 60000;
constexpr int kAckStale = 59;
constexpr int kAckLost = 300;

void log_net_info(const ztp_net_info &n)
{
    KO_LOGI(kModule, "NetInfo: internet %d, server ip resolved %d, hello ack %d, nat type %d, wan %s, lan %s\n",
            n.internet_ok, n.host_resolved, n.server_hello_ok, n.nat_type, n.wan_ip, n.lan_ip);
}

// Waits until `after_ms` have passed since the last check; false when the transport stops first.
bool wait_check(vasq_server *server, uint64_t after_ms)
{
    while (zt::running(server)) {
        if (vexa_time_tick_ms() - server->login_check_tick_ms >= after_ms)
            return true;
        zt::server_wait(server, 1000);
    }
    return false;
}

void redetect(vasq_server *server, int age)
{
    ztp_net_info info{};
    const int r = ZTP_NetworkDetect(&info, 0);
    if (r < 0)
        KO_LOGW(kModule, "ZTP ZTP_NetworkDetect faild(%d,%s).\n", r, zt_error_name(r));
    else
        server->net_info = info;
    const bool lost = age > kAckLost;
    server->event_type = lost ? 101 : 0;
    server->login_report_tick_ms = vexa_time_tick_ms();
    vasq_report_login_status(server, lost ? VASQ_ERR_CONNECT_SERVER : 0);
}

void check(vasq_server *server)
{
    if (server->init_mode == 0)
        vasq_vendor_check(server, 0, 0);
    const int age = zt_login_ack_age(ZTP_GetAPIInformation());
    if (age < 0) {
        ZTP_Listen_Break();
        KO_LOGW(kModule, "No login ack , so call ZTP_Listen_Break!!\n");
        return;
    }
    if (age > kAckStale) {
        ZTP_Listen_Break();
        KO_LOGW(kModule, "The P2P LastLoginAck:%d sec before, so call ZTP_Listen_Break!!\n", age);
    }
    server->login_ack_age = age;
    const uint64_t since_report = vexa_time_tick_ms() - server->login_report_tick_ms;
    if ((age > kAckLost && since_report > server->stale_login_interval_s * 1000ull) ||
        since_report > server->vendor_check_interval_s * 1000ull)
        redetect(server, age);
}

} // namespace

int zt_login_ack_age(const char *info)
{
    static const char kKey[] = "\"LastLoginAck\"";
    const char *p = info ? strstr(info, kKey) : nullptr;
    if (!p)
        return -1;
    p += sizeof kKey - 1;
    while (*p == ' ')
        p++;
    if (*p++ != ':')
        return -1;
    char *end;
    const long v = strtol(p, &end, 10);
    return end == p || v < 0 ? -1 : static_cast<int>(v > 0x7fffffff ? 0x7fffffff : v);
}

int zt_event_type(const ztp_net_info *info, int stale)
{
    if (info->internet_ok == 1 && info->host_resolved == 1 && info->server_hello_ok == 1)
        return 0;
    if (info->internet_ok == 0 && info->host_resolved == 1 && info->server_hello_ok == 0)
        return stale ? 101 : 100;
    return 102;
}

void *zt::login_thread(void *arg)
{
    auto *server = static_cast<vasq_server *>(arg);
    const uint64_t t0 = vexa_time_tick_ms();
    ztp_net_info info{};
    const int r = ZTP_NetworkDetect(&info, 0);
    if (r < 0) {
        KO_LOGE(kModule, "ZTP ZTP_NetworkDetect faild(%d,%s).\n", r, zt_error_name(r));
        return nullptr;
    }
    KO_LOGI(kModule, "ZTP_NetworkDetect cost %llu ms\n", static_cast<unsigned long long>(vexa_time_tick_ms() - t0));
    log_net_info(info);
    server->net_info = info;
    server->event_type = zt_event_type(&info, 0);
    server->login_report_tick_ms = vexa_time_tick_ms();
    vasq_report_login_status(server, 0);
    server->login_check_tick_ms = vexa_time_tick_ms();
    for (uint64_t after = kFirstCheckMs; wait_check(server, after); after = kCheckMs) {
        server->login_check_tick_ms = vexa_time_tick_ms();
        check(server);
    }
    return nullptr;
}
