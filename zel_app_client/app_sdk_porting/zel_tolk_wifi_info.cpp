// The network the camera is on: address and netmask of "wlan0", the SSID (from iwgetid, else the
// bound network's settings) and the signal level.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app_sdk_porting/zel_tolk_wifi.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_system.h"
#include "zel_db/zel_db.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *TAG = "zel_tolk_wifi";
constexpr const char *kInterface = "wlan0";
// The camera's own access-point address: while it holds it, it is not on a network.
constexpr const char *kAccessPointIp = "192.168.14.1";

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

bool address_of(int fd, unsigned long request, struct ifreq *req, char *out, size_t size)
{
    if (ioctl(fd, request, req) != 0)
        return false;
    const auto *in = reinterpret_cast<const struct sockaddr_in *>(&req->ifr_addr);
    return inet_ntop(AF_INET, &in->sin_addr, out, static_cast<socklen_t>(size)) != nullptr;
}

int get_ip_cfg(const char *name, char *ip, size_t ip_size, char *mask, size_t mask_size)
{
    Socket sock;
    if (sock.fd() < 0)
        return -1;
    struct ifreq req {};
    snprintf(req.ifr_name, sizeof req.ifr_name, "%s", name);
    if (ioctl(sock.fd(), SIOCGIFFLAGS, &req) != 0) {
        ZEL_LOGE(TAG, " get interface state fail ");
        return -1;
    }
    printf("interface state: %s\n", (req.ifr_flags & IFF_UP) ? "UP" : "DOWN");
    if (!address_of(sock.fd(), SIOCGIFADDR, &req, ip, ip_size)) {
        ZEL_LOGE(TAG, " get ip addr fail ");
        return -1;
    }
    if (strcmp(ip, kAccessPointIp) == 0) {
        ZEL_LOGE(TAG, " curr ip is ap ip, not valid ");
        return -1;
    }
    if (!address_of(sock.fd(), SIOCGIFNETMASK, &req, mask, mask_size)) {
        ZEL_LOGE(TAG, " get ip mask addr fail ");
        return -1;
    }
    return 0;
}

// The signal level of "wlan0" in /proc/net/wireless; 0 when it is not listed.
int get_rssi(void)
{
    FILE *file = fopen(zel_path("/proc/net/wireless").c_str(), "r");
    if (!file) {
        ZEL_LOGE(TAG, "unable to open ");
        return 0;
    }
    char line[256];
    int rssi = 0;
    while (fgets(line, sizeof line, file)) {
        const char *start = line + strspn(line, " ");
        if (strncmp(start, kInterface, strlen(kInterface)) != 0)
            continue;
        char head[32] = {}, level[8] = {};
        if (sscanf(start, "%31[^.].%7[^.]", head, level) == 2)
            rssi = atoi(level);
        break;
    }
    fclose(file);
    return rssi;
}

void first_line(char *text)
{
    text[strcspn(text, "\r\n")] = '\0';
}

void fill_ssid(ko_wifi_info *info)
{
    char ssid[sizeof info->ssid] = {};
    run_cmd("iwgetid wlan0 -r", ssid, sizeof ssid);
    first_line(ssid);
    ZEL_LOGD(TAG, " iwgetid ssid:%s ", ssid);
    if (ssid[0]) {
        memcpy(info->ssid, ssid, sizeof info->ssid);
        return;
    }
    if (zel_api_db_get_value("NVM.BIND:wifi_ssid", info->ssid, sizeof info->ssid) != 0 ||
        zel_api_db_get_value("NVM.BIND:wifi_pwd", info->passwd, sizeof info->passwd) != 0) {
        ZEL_LOGE(TAG, " get ssid&pwd from db fail ");
        return;
    }
    ZEL_LOGD(TAG, " get ssid:%s, passwd:%s ", info->ssid, info->passwd[0] ? "******" : "");
}

} // namespace

int zel_tolk_wifi_info_get(ko_wifi_info *info)
{
    if (!info) {
        ZEL_LOGE(TAG, " invalid value ");
        return -1;
    }
    memset(info, 0, sizeof *info);
    if (get_ip_cfg(kInterface, info->ip, sizeof info->ip, info->mask, sizeof info->mask) != 0) {
        ZEL_LOGE(TAG, " zel_tolk_get_ip_cfg fail ");
        return -1;
    }
    fill_ssid(info);
    info->rssi = get_rssi();
    ZEL_LOGD(TAG, " ip: %s ,rssi = %d ", info->ip, info->rssi);
    return 0;
}
