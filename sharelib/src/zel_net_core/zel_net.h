// Network probes: resolve a host name, find the default gateway, send ICMP echo requests over a chosen
// interface, and one check that these together reach the internet. Each probe keeps no state, so
// several threads may probe at once; an echo probe blocks its caller for up to about 12 seconds and
// needs raw-socket privilege. The same group holds the wrappers that load shared libraries at run
// time.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// The first IPv4 address of `host` as dotted text in `buf` (at most `size` bytes): 0 or -1. The
// resolver configuration is re-read first, so a name server written since start-up takes effect.
int zel_net_resolv_domain_addr(const char *host, char *buf, size_t size);
// The default gateway of "/proc/net/route" as dotted text (at most `len` bytes): 0, -1 when there is
// none or the table cannot be read, -2 when a line before it is malformed.
int zel_net_get_gateway_ip(char *buf, size_t len);
// 0 when `ip` answered an ICMP echo (sent over `ifname` when given), else -1.
int zel_net_ping_ip(const char *ip, const char *ifname);
// 0 when `host` resolves to an address other than the gateway's and that address answers an echo,
// else -1: a router that answers every name with its own address counts as no internet.
int zel_net_ping_domain(const char *host, const char *ifname);

// dlopen with lazy binding: a handle, or null.
void *zel_load_library(const char *path);
// The address of `name`, or null when the look-up reports an error (the error state is cleared first).
void *zel_load_function(void *handle, const char *name);
// dlclose's result.
int zel_close_library(void *handle);

#ifdef __cplusplus
}
#endif
