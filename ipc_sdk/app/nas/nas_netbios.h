// NetBIOS over UDP 137: resolving a server name to its address, and the discovery of the hosts on
// the camera's networks that "nas_scan" lists. Queries go as broadcasts on every interface, or, with
// ZELMAR_NAS_NETBIOS="<ipv4>:<port>", only to that address (for tests).
#pragma once

#include <stddef.h>

struct ev_loop;

#ifdef __cplusplus
extern "C" {
#endif

enum { NAS_NB_MAX_HOSTS = 64, NAS_NB_SILENT_ROUNDS = 3 };

typedef struct nas_nb_host {
    char name[16];
    char group[16];
    char addr[16]; // dotted IPv4
} nas_nb_host;

// Blocking name query for a file server `name`: 0 with its dotted address, or -1 after timeout_ms.
int nas_netbios_resolve(const char *name, int timeout_ms, char *addr_out, size_t size);

// Discovery runs on `loop` (its socket is an ev_io there, its rounds an ev_timer); all four calls are
// made on the loop's thread. A host that stays silent for NAS_NB_SILENT_ROUNDS rounds goes offline;
// at most NAS_NB_MAX_HOSTS are kept. `round_s` is the time between rounds.
int nas_netbios_discover_start(struct ev_loop *loop, double round_s);
void nas_netbios_discover_stop(struct ev_loop *loop);
int nas_netbios_discover_running(void);
// Copies up to `max` online hosts; their number.
size_t nas_netbios_hosts(nas_nb_host *out, size_t max);

#ifdef __cplusplus
}
#endif
