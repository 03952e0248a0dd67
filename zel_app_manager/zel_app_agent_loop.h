// The agent-bus side that every app module of the camera application shares: connecting as a named
// module and registering the message numbers it serves, and the receive loop that drains the
// connection into the module's handler, drops a connection the server ended and reconnects (5 s
// after a failed attempt) while gs_zelmar_app_running is set.
#pragma once

#include <pthread.h>

#include "zel_app_agent_client/agent_client.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct app_agent_module {
    const char *name;     // module name on the bus, also the log tag
    const char *log_name; // as the close line names the module: "<log_name> agent client close,fd=%d"
    const int *keys;      // message numbers served
    int key_count;
    agent_msg_handler_t handler;
    int (*announce)(int fd); // optional, sent before the registration (0 or -1)
    int fd;                  // the connection or -1; written by the receive thread only
    // Optional: held while the connection is closed or replaced and by app_agent_send, so that a send
    // from another thread never reaches a closed (or meanwhile reused) descriptor.
    pthread_mutex_t *lock;
} app_agent_module_t;

// Connects and registers: 0, or -1 (logged) with no connection left open.
int app_agent_client_init(app_agent_module_t *module);
// Ends the connection, when there is one.
void app_agent_client_deinit(app_agent_module_t *module);
// The connection as another thread sees it, or -1.
int app_agent_client_fd(const app_agent_module_t *module);
// Sends row `cmd` with `params` on the connection (send_request_api): its
// result, or -1 while there is no connection. Safe from any thread when the module has a lock.
int app_agent_send(app_agent_module_t *module, int cmd, const void *params, agent_request_cb_t callback,
                   void *user);
// Runs the receive loop on the calling thread until gs_zelmar_app_running is cleared, then ends the
// connection.
void app_agent_recv_loop(app_agent_module_t *module);

#ifdef __cplusplus
}
#endif
