#include "ztp_ports.h"

#include <cstdlib>

#include "zel_control/log/zel_log.h"

namespace {

int port_from_env(const char *name, int fallback, long highest)
{
    const char *text = std::getenv(name);
    if (!text)
        return fallback;
    char *end = nullptr;
    const long port = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && port > 0 && port <= highest)
        return static_cast<int>(port);
    ZEL_LOGW("ztp", "%s=%s is not a usable port, using %d\n", name, text, fallback);
    return fallback;
}

} // namespace

int ztp_udp_port(void)
{
    return port_from_env("ZELMAR_ZTP_UDP_PORT", ZTP_DEFAULT_UDP_PORT, 65533);
}

int ztp_punch_port(int n)
{
    return ztp_udp_port() + n;
}

int ztp_tcp_port(void)
{
    return port_from_env("ZELMAR_ZTP_TCP_PORT", ZTP_DEFAULT_TCP_PORT, 65535);
}

int ztp_lan_port(void)
{
    return port_from_env("ZELMAR_ZTP_LAN_PORT", ZTP_DEFAULT_LAN_PORT, 65535);
}
