// Interface listing and LAN broadcast of the socket layer (ztp_socket.h).
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_socket.h"

namespace {

constexpr char kTag[] = "ztp";

// The interfaces with an IPv4 address, as SIOCGIFCONF lists them into 512 bytes.
struct IfList {
    int sock = -1;
    union {
        ifreq req[512 / sizeof(ifreq)];
        char raw[512];
    } buf{};
    int count = -1;

    IfList()
    {
        sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0)
            return;
        ifconf conf{};
        conf.ifc_len = sizeof buf.raw;
        conf.ifc_buf = buf.raw;
        if (ioctl(sock, SIOCGIFCONF, &conf) == 0)
            count = conf.ifc_len / static_cast<int>(sizeof(ifreq));
        else
            ZEL_LOGE(kTag, "SIOCGIFCONF: %s\n", strerror(errno));
    }
    ~IfList()
    {
        if (sock >= 0)
            close(sock);
    }
    IfList(const IfList &) = delete;
    IfList &operator=(const IfList &) = delete;

    // The address of entry i when its interface is up. The entry's own address is taken, not the
    // interface's first one (SIOCGIFADDR), so that an interface with two addresses counts each once.
    bool address(int i, in_addr *out)
    {
        if (i < 0 || i >= count || buf.req[i].ifr_addr.sa_family != AF_INET)
            return false;
        ifreq req{};
        std::memcpy(req.ifr_name, buf.req[i].ifr_name, IFNAMSIZ);
        if (ioctl(sock, SIOCGIFFLAGS, &req) != 0 || !(req.ifr_flags & IFF_UP))
            return false;
        sockaddr_in addr;
        std::memcpy(&addr, &buf.req[i].ifr_addr, sizeof addr);
        *out = addr.sin_addr;
        return true;
    }
};

} // namespace

int zt_LanIfNum(void)
{
    return IfList().count;
}

int ZT_GetIP(int i, char out[16])
{
    IfList list;
    in_addr addr{};
    if (!list.address(i, &addr))
        return -1;
    return inet_ntop(AF_INET, &addr, out, 16) ? 0 : -1;
}

int ztp_BroadcastMessage(int sock, const ztp_scramble_key *key, const uint8_t *msg, size_t n, uint16_t port)
{
    IfList list;
    if (list.count < 0)
        return -1;
    int sent = 0;
    for (int i = 0; i < list.count; ++i) {
        in_addr addr{};
        if (!list.address(i, &addr))
            continue;
        const uint32_t host = ntohl(addr.s_addr);
        if (host == INADDR_LOOPBACK || (host >> 16) == 0xA9FE)
            continue;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(host | 0xFF);
        if (ztp_SendMessage(sock, key, msg, n, &to) < 0)
            ZEL_LOGW(kTag, "broadcast on %s: %s\n", list.buf.req[i].ifr_name, strerror(errno));
        else
            ++sent;
    }
    return sent;
}
