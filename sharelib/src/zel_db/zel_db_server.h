// The settings socket server: one thread ("ipc_server") multiplexing every connection on
// "/tmp/zel_db.socket" with epoll, and the request handler that serves it from the stores.
#pragma once

#ifdef __cplusplus
#include <string>

extern "C" {
#endif

struct _dictionary_;

typedef void (*ipc_server_handler)(int fd, const char *request, int size);

// Creates the listening socket at `path` (below the path root) and starts the server thread.
// 0, or -1 when the thread cannot be made; a socket that cannot be made ends the process (status 1).
int ipc_server_init(const char *path, ipc_server_handler handler);
// Stops the server thread and waits for it, closing every connection. 0.
int ipc_server_deinit(void);
// Sends a reply. On the server thread, to one of its connections: queued and sent as the client
// takes it, never waiting; -1 when the client already leaves too much untaken. Elsewhere all
// `len` bytes are sent, waiting up to 5 s while the peer's buffer is full. `len`, or -1.
int ipc_server_send(int fd, const void *data, int len);
// The listening socket: type 1 the Unix socket at the path given to ipc_server_init, type 2 a TCP
// and type 3 a UDP socket on 127.0.0.1, port 55555 (or $ZELMAR_DB_PORT). 0, or -1 for another
// type; a socket that cannot be made ends the process (status 1).
int server_init(int *fd, int type);
int zel_set_nonblock(int fd);
void zel_db_server_callback(int fd, const char *request, int size);

// The first entry in slot order whose key contains `pattern`: 0 copied with its NUL, -1 the entry
// has no value, -2 it does not fit in `len`, -3 none, -6 an argument missing.
int get_value_fuzzy_from_db(const struct _dictionary_ *d, const char *pattern, char *dst, int len);

#ifdef __cplusplus
}

// The dump body of one store ("NVM") or of all ("all", any case): lines "STORE.section:key=value\n"
// and a closing NUL. false for an unknown store or one that was never filled.
bool zel_db_dump_body(const std::string &store, std::string *body);
#endif
