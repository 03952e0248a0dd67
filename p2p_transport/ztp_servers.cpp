#include "ztp_servers.h"

#include <arpa/inet.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "ztp_init_string.h"
#include "ztp_ports.h"
#include "ztp_socket.h"

int ztp_server_names(const char *init_string, char names[ZTP_SERVER_COUNT][64])
{
    std::memset(names, 0, ZTP_SERVER_COUNT * 64);
    char decoded[512];
    if (ztp_proto_DecodeString(init_string, decoded, sizeof decoded) != 0) {
        ZEL_LOGE("ztp", "init string does not decode\n");
        return -1;
    }
    int count = 0;
    const char *start = decoded;
    for (const char *comma = std::strchr(start, ','); comma && count < ZTP_SERVER_COUNT;
         start = comma + 1, comma = std::strchr(start, ',')) {
        const size_t len = static_cast<size_t>(comma - start);
        if (len == 0 || len >= 64)
            continue;
        std::memcpy(names[count], start, len);
        ++count;
    }
    return count;
}

int ztp_resolve_servers(const char names[ZTP_SERVER_COUNT][64], struct sockaddr_in addrs[ZTP_SERVER_COUNT])
{
    for (int i = 0; i < ZTP_SERVER_COUNT; ++i) {
        std::memset(&addrs[i], 0, sizeof addrs[i]);
        addrs[i].sin_family = AF_INET;
        addrs[i].sin_port = htons(static_cast<uint16_t>(ztp_udp_port()));
    }
    for (int i = 0; i < ZTP_SERVER_COUNT && names[i][0] != '\0'; ++i) {
        if (ztp_GetInetAddrByName(names[i], &addrs[i].sin_addr) != 0) {
            ZEL_LOGW("ztp", "server %s does not resolve\n", names[i]);
            return 0;
        }
    }
    return 1;
}
