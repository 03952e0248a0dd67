// The JSON-RPC link to the device daemon: two TCP connections (the internal link for "_internal." and
// "local." methods, the RPC link for everything else), id rewriting of outgoing requests, and routing
// of everything that comes down to the module that asked or registered for it.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int ko_rpc_init(void);
int ko_rpc_deinit(void);
// Sends JSON text (one or more objects) to the daemon for the application (uid 15) without waiting:
// 0, also while the link is not running (nothing is sent then); -1 for a NULL text or a length of 0
// or less, or when a link's output queue is full because the daemon does not read (refused).
int ko_rpc_send(const char *msg, int msg_len);

// The link's counters, in the order of its "rpc.info" report.
typedef struct ko_rpc_stat {
    uint32_t iner_fd_msg, rpc_fd_msg, parse_err, net_recv_err;
    uint32_t rpc_down, down_ack, down_cmd, rpc_up, up_ack, up_cmd;
    uint32_t rpc_send, rpc_send_err, rpc_reg_count, rpc_inner_max;
    uint32_t step1, step2, step3, step4;
} ko_rpc_stat;

void ko_rpc_stat_get(ko_rpc_stat *out);

#ifdef __cplusplus
}
#endif
