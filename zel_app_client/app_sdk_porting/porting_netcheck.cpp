// The network check thread and the TCP reachability probe.
#include "app_sdk_porting/porting_netcheck.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app_sdk_porting/sdk_porting.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_thread.h"
#include "zel_db/zel_db.h"
#include "zel_control/utils/zel_time.h"
#include "zel_net_core/zel_net.h"
#include "zelmar/zel_path.h"

extern "C" int gs_zelmar_app_running;

namespace {

constexpr const char *TAG = "sdk_porting_app";
constexpr const char *kDefaultHost1 = "www.example.com";
constexpr const char *kDefaultHost2 = "www.example.net";
constexpr const char *kDefaultDns = "8.8.8.8";
constexpr time_t kClockValidAfter = 1546272000;
constexpr unsigned kCheckPeriodS = 20;
constexpr int kHasEth = 1;
constexpr int kHasWlan = 2;

const char *setting(const char *name, const char *fallback)
{
    const char *value = getenv(name);
    return value && *value ? value : fallback;
}

int read_interface_flags()
{
    FILE *dev = fopen(zel_path("/proc/net/dev").c_str(), "re");
    if (!dev) {
        ZEL_LOGE(TAG, "open /proc/net/dev failed\n");
        return 0;
    }
    int flags = 0;
    char line[256];
    while (fgets(line, sizeof line, dev)) {
        if (strstr(line, "eth0"))
            flags |= kHasEth;
        else if (strstr(line, "wlan0"))
            flags |= kHasWlan;
    }
    fclose(dev);
    return flags;
}

int probe_status(int flags)
{
    for (const char *host : {setting("ZELMAR_NET_PROBE_HOST1", kDefaultHost1),
                             setting("ZELMAR_NET_PROBE_HOST2", kDefaultHost2)}) {
        if ((flags & kHasWlan) && zel_net_ping_domain(host, "wlan0") == 0)
            return NET_STATUS_WLAN;
        if ((flags & kHasEth) && zel_net_ping_domain(host, "eth0") == 0)
            return NET_STATUS_ETH;
    }
    return NET_STATUS_NONE;
}

void report_status(int status)
{
    const char *eth0_status = "1";
    switch (status) {
    case NET_STATUS_ETH:
        ZEL_LOGI(TAG, "eth0 net is normal");
        sdk_porting_set_wired_status(0);
        sdk_porting_set_wifi_status(0);
        eth0_status = "0";
        break;
    case NET_STATUS_WLAN:
        ZEL_LOGI(TAG, "wlan0 net is normal");
        sdk_porting_set_wifi_status(2);
        sdk_porting_set_wired_status(1);
        break;
    default:
        ZEL_LOGI(TAG, "net disconnect ...");
        sdk_porting_set_wifi_status(0);
        sdk_porting_set_wired_status(1);
        break;
    }
    zel_api_db_set_value("RAM.default:eth0_status", eth0_status, 1, 0);
}

void *thread_check_network(void *)
{
    while (zel_time_wall_us() / 1000000 <= kClockValidAfter || get_bind_status() != 1) {
        ZEL_LOGI(TAG, "time err or Not bind, continue,state: ...");
        sleep(1);
    }
    const int flags = read_interface_flags();
    int previous = 0;
    while (__atomic_load_n(&gs_zelmar_app_running, __ATOMIC_ACQUIRE)) {
        const int status = probe_status(flags);
        ZEL_LOGI(TAG, "net_status:%d", status);
        if (status != previous)
            report_status(status);
        previous = status;
        sleep(kCheckPeriodS);
    }
    return nullptr;
}

} // namespace

extern "C" int get_bind_status(void)
{
    char value[8];
    memset(value, 0, sizeof value);
    zel_api_db_get_value("NVM.IPC:bind_status", value, sizeof value);
    ZEL_LOGI(TAG, "bind_status:%s", value);
    return strcmp(value, "1") == 0 ? 1 : 0;
}

extern "C" int create_checknetwork_task(void)
{
    if (zel_thread_start_detached(thread_check_network, nullptr) != 0) {
        ZEL_LOGE(TAG, "Create Check Network Task fail ...");
        return -1;
    }
    return 0;
}

extern "C" int connecting_try_network_by_iface(const char *iface)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ZEL_LOGE(TAG, "Create socket error: %m\n");
        return -1;
    }
    const timeval send_wait = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_wait, sizeof send_wait);
    char name[32] = {};
    if (iface)
        snprintf(name, sizeof name, "%s", iface);
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, sizeof name);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    inet_pton(AF_INET, setting("ZELMAR_NET_PROBE_DNS", kDefaultDns), &server.sin_addr);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
        if (errno == EINPROGRESS)
            ZEL_LOGI(TAG, "NetWork Check,timeout:%u\n", static_cast<unsigned>(time(nullptr)));
        else
            ZEL_LOGI(TAG, "NetWork Check,other error:%u\n", static_cast<unsigned>(time(nullptr)));
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}
