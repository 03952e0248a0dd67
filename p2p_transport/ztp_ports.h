// The transport's fixed ports, in one place. Each can be moved by an environment variable so that
// tests running side by side do not meet on one port (two SO_REUSEADDR binds of a port both succeed,
// and unicast then reaches only one of them).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZTP_DEFAULT_UDP_PORT = 32100, // server login; punching uses the next two ports
    ZTP_DEFAULT_TCP_PORT = 443,   // TCP login to the servers
    ZTP_DEFAULT_LAN_PORT = 32108, // LAN search broadcasts
};

// ZELMAR_ZTP_UDP_PORT, at most 65533 so that both punch ports exist.
int ztp_udp_port(void);
int ztp_punch_port(int n); // n = 1 or 2: ztp_udp_port() + n
// ZELMAR_ZTP_TCP_PORT.
int ztp_tcp_port(void);
// ZELMAR_ZTP_LAN_PORT.
int ztp_lan_port(void);

#ifdef __cplusplus
}
#endif
