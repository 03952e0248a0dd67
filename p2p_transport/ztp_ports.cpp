#include "ztp_ports.h"

#include "zelmar/zel_env.h"

int ztp_udp_port(void)
{
    return zel_env_port("ZELMAR_ZTP_UDP_PORT", ZTP_DEFAULT_UDP_PORT, 65533);
}

int ztp_punch_port(int n)
{
    return ztp_udp_port() + n;
}

int ztp_tcp_port(void)
{
    return zel_env_port("ZELMAR_ZTP_TCP_PORT", ZTP_DEFAULT_TCP_PORT, 65535);
}

int ztp_lan_port(void)
{
    return zel_env_port("ZELMAR_ZTP_LAN_PORT", ZTP_DEFAULT_LAN_PORT, 65535);
}
