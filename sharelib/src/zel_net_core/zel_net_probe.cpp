// Name resolution, the default gateway and the host check built on them and the echo probe.
#include "zel_net_core/zel_net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_net_core";
constexpr size_t kAddressText = 32;
constexpr int kRouteLine = 256;

enum class Route { Default, Other, Malformed };

// One line of the kernel's route table: the interface name (up to the first blank or tab, at most
// IFNAMSIZ - 1 characters) and the seven numbers behind it.
Route parse_route_line(const char *line, unsigned long *gateway)
{
    const size_t name = strcspn(line, " \t");
    if (name == 0 || name >= IFNAMSIZ)
        return Route::Malformed;
    unsigned long destination = 0, mask = 0;
    unsigned flags = 0;
    int refcnt = 0, use = 0, metric = 0;
    if (sscanf(line + name, "%lx%lx%X%d%d%d%lx", &destination, gateway, &flags, &refcnt, &use, &metric, &mask) != 7)
        return Route::Malformed;
    return destination == 0 ? Route::Default : Route::Other;
}

} // namespace

extern "C" int zel_net_resolv_domain_addr(const char *host, char *buf, size_t size)
{
    if (!host || !buf) {
        ZEL_LOGE(TAG, "input param is null \n");
        return -1;
    }
    res_init();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *result = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &result);
    if (rc != 0) {
        ZEL_LOGE(TAG, "error %d: %s\n", rc, gai_strerror(rc));
        return -1;
    }
    int found = -1;
    for (const addrinfo *ai = result; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET)
            continue;
        const auto *in = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, buf, static_cast<socklen_t>(size)))
            found = 0;
        break;
    }
    freeaddrinfo(result);
    return found;
}

extern "C" int zel_net_get_gateway_ip(char *buf, size_t len)
{
    if (!buf) {
        ZEL_LOGE(TAG, "param is null!\n");
        return -1;
    }
    FILE *table = fopen(zel_path("/proc/net/route").c_str(), "re");
    if (!table)
        return -1;
    char line[kRouteLine];
    int result = -1;
    bool header = true;
    while (fgets(line, sizeof line, table)) {
        if (header) {
            header = false;
            continue;
        }
        unsigned long gateway = 0;
        const Route route = parse_route_line(line, &gateway);
        if (route == Route::Malformed) {
            result = -2;
            break;
        }
        if (route == Route::Default) {
            // The kernel prints the address as it lies in memory, so it goes back into s_addr as is.
            in_addr addr{};
            addr.s_addr = static_cast<in_addr_t>(gateway);
            result = inet_ntop(AF_INET, &addr, buf, static_cast<socklen_t>(len)) ? 0 : -1;
            break;
        }
    }
    fclose(table);
    return result;
}

extern "C" int zel_net_ping_domain(const char *host, const char *ifname)
{
    if (!host) {
        ZEL_LOGE(TAG, "param is null!\n");
        return -1;
    }
    char gateway[kAddressText] = {};
    if (zel_net_get_gateway_ip(gateway, sizeof gateway) != 0) {
        ZEL_LOGE(TAG, "get gateway ip failed!\n");
        return -1;
    }
    char address[kAddressText] = {};
    if (zel_net_resolv_domain_addr(host, address, sizeof address) != 0) {
        ZEL_LOGE(TAG, "resolve domain:%s failed!\n", host);
        return -1;
    }
    // Whole addresses are compared: 10.0.0.15 is not the gateway 10.0.0.1.
    if (strcmp(address, gateway) == 0) {
        ZEL_LOGE(TAG, "resolve domain:%s, get ip:%s is same to gate way ip:%s\n", host, address, gateway);
        return -1;
    }
    if (zel_net_ping_ip(address, ifname) != 0) {
        ZEL_LOGE(TAG, "ping ip:%s failed!\n", address);
        return -1;
    }
    return 0;
}
