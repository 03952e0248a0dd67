// The settings socket client for processes that do not hold the database: connection helpers, the
// key map that turns a settings key into the request fields, and the local read of the settings
// files used when the server cannot be reached.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    int fd;
    int ret;            // result of the last receive
    char reserved[64];
    int status;         // 0 connected, 1 bad arguments, 2 no socket, 3 connection refused or failed
} ipc_client_t;

typedef struct {
    const char *key;
    const char *store;
    const char *section;
} zel_dbc_map_t;

extern const zel_dbc_map_t zel_dbc_map[];
extern const int zel_dbc_map_num;

// A socket connected to the server: type 1 a Unix stream socket at `address`, type 2 TCP and type 3
// UDP to the IPv4 `address` and `port`. The outcome is in the record's status.
void ipc_client_open(ipc_client_t *client, int type, const char *address, int port);
int ipc_client_send(ipc_client_t *client, const void *data, int len);
// 1 when one receive returned bytes (their count is in client->ret), else 0.
int ipc_client_read(ipc_client_t *client, void *buf, int size);
int ipc_client_close(int fd);
void handle_error(int status);

#ifdef __cplusplus
}
#endif
