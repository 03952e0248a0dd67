// The network check of the porting adapter: a thread that, once the clock is valid and the device is
// bound, probes every 20 s whether "wlan0" or "eth0" reaches the internet and reports each change to
// the business layer and to "RAM.default:eth0_status". Nothing in start-up starts it.
//
// The probed hosts are configuration: ZELMAR_NET_PROBE_HOST1 and ZELMAR_NET_PROBE_HOST2 replace the
// two public web hosts, ZELMAR_NET_PROBE_DNS the public DNS server address of the TCP probe.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Network status: 1 no internet, 2 internet over "wlan0", 3 over "eth0".
enum { NET_STATUS_NONE = 1, NET_STATUS_WLAN = 2, NET_STATUS_ETH = 3 };

// Starts the check thread (detached): 0, or -1.
int create_checknetwork_task(void);
// A TCP connect to the DNS server's port 53 bound to `iface`: 0 when it connects, else -1.
int connecting_try_network_by_iface(const char *iface);
// 1 when "NVM.IPC:bind_status" is exactly "1", else 0.
int get_bind_status(void);

#ifdef __cplusplus
}
#endif
