// The agent-bus client every app module links: the shared method table, connecting to the agent
// server, registering the message numbers a module serves, sending numbered messages, and draining
// the connection into the module's handler with the acknowledgement the protocol expects.
#pragma once

#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>

#include "zel_app_agent_client/json_verify.h"
#include "zel_control/container/zel_array.h"

#ifdef __cplusplus
extern "C" {
#endif

struct json_object;

enum {
    AGENT_METHOD_COUNT = 46,
    // Kinds of a row's params.
    AGENT_PARAMS_TEXT = 0,
    AGENT_PARAMS_INT = 1,
    AGENT_PARAMS_OTA_INT = 2,
    AGENT_PARAMS_WIFI = 4,
};

// Turns the caller's params (a text, a pointer to an int32 or an agent_wifi_params_t) into a JSON value.
typedef struct json_object *(*agent_params_generator_t)(const void *params);

typedef struct request_api {
    int32_t cmd;        // number reported to receivers
    const char *method; // name on the wire
    int32_t sync;       // 1: the sender waits for the reply (0 in every row)
    agent_params_generator_t generator;
    int32_t kind;      // AGENT_PARAMS_*
    int32_t broadcast; // 1: no id, no acknowledgement; 0: request with id, acknowledged "OK"/"FAIL"
} request_api_t;

// Indexed by the sender's message number; rows 8 and 9 report each other's number.
extern const request_api_t request_api_all[AGENT_METHOD_COUNT];

// The Wi-Fi params of row 5: two NUL-terminated fields.
typedef struct agent_wifi_params {
    char ssid[64];
    char passwd[64];
} agent_wifi_params_t;

struct json_object *generate_string_params(const void *params);
struct json_object *generate_int_params(const void *params);
struct json_object *generate_ota_params(const void *params);
struct json_object *generate_wifi_params(const void *params);

// Called on the draining thread when a request's reply arrives; a request left unanswered past its
// deadline is settled with not_ok 1 by whichever thread next sends a request or drains, and one whose
// connection is stopped by the thread that stops it.
typedef int (*agent_request_cb_t)(int not_ok, void *data, void *context);
// Handler of received method messages: cmd is the row's number, params as its kind gives them.
typedef int (*agent_msg_handler_t)(int cmd, const void *params);

typedef struct agent_request {
    int32_t id;
    const char *method; // borrowed from the caller (the table)
    int32_t sync;
    sem_t sem; // initialised only for sync requests
    int32_t not_ok;
    int32_t *data;
    int32_t data_count;
    void *context;
    agent_request_cb_t callback;
    int fd;
    int64_t deadline_ms; // monotonic; an unanswered request is settled as not OK after it
} agent_request_t;

// Pending requests (a ring array of agent_request_t *) and their lock.
extern zel_array_t *requests;
extern pthread_mutex_t requests_lock;

// Connection: a non-blocking, close-on-exec seqpacket descriptor, or -1. `module` only names the log.
int start_agent_client(const char *module);
// Ends a connection for good: settles the requests still waiting for a reply on it as not OK (their
// callbacks run on the calling thread), then shuts the descriptor down and closes it. A receive loop
// calls it when message_recv_handler answers -2 or poll reports POLLERR/POLLHUP/POLLNVAL, before it
// connects again; it is also the way to leave the bus. 0, or -1 for a bad descriptor or a failed
// close (the descriptor is not to be used again either way).
int stop_agent_client(int fd, const char *module);
// Registers the first `count` message numbers of `keys`; 0, or -1 for bad arguments or when a register
// text cannot be sent: the connection is then shut down, so the module's receive loop sees the
// hang-up, stops it (stop_agent_client) and connects afresh.
int register_key_module(int fd, const int *keys, int count, const char *module);
// Announces the SDK client; 0, or -1 for a bad descriptor or when the hello cannot be sent (the
// connection is then shut down, as for register_key_module).
int sdkclient_module(int fd);

// Sends row `cmd` (taken as an unsigned byte) with `params`; 0 or -1. `reserved` is not used.
int send_request_api(int cmd, const void *params, agent_request_cb_t callback, void *context, int reserved, int fd);
// Drains the connection: -1 when no more data waits (the normal end), -2 when the server closed the
// connection before anything was read in this call (stop_agent_client, then reconnect), 0 otherwise.
// A signal during a receive is retried, never taken for an end.
int message_recv_handler(int fd, agent_msg_handler_t handler);
// Sends {"id":id,"result":"OK"} ("FAIL" when `failed`); bytes sent or negative.
int response_ack_api(int failed, int id, int fd);

// The layers under send_request_api. Both take ownership of `params`.
int send_request(const char *method, struct json_object *params, int data, int sync, agent_request_cb_t callback,
                 void *context, int fd);
int broadcast_message(const char *method, struct json_object *params, int fd);
int send_msg(int fd, const char *text, int len);

// The pending-request layer.
agent_request_t *new_request(const char *method, int data, int sync, agent_request_cb_t callback, void *context,
                             int fd);
void free_request(agent_request_t *request);
int add_request_agent_ser(agent_request_t *request);
int remove_request_agent_ser(int id);
// Settles the reply text `text`: 0, or -1 when it has no id or the id is not pending.
int remove_request_from_requests(const char *text);
// The list index of the pending request `id`, or negative; the caller holds requests_lock.
int find_request(int id);
int request_matcher(const void *item, const void *key);
int ack_request(int id);
// Settles every request whose deadline has passed as not OK; the number settled.
int requests_expire(void);
// Settles every request sent on `fd` as not OK; the number settled (stop_agent_client uses it).
int requests_settle_fd(int fd);
// Frees every pending request and the list; requests_destroy also destroys requests_lock, after
// which nothing in the process may use the bus.
void requests_clear(void);
void requests_destroy(void);
// Waits on a sync request's semaphore for `timeout_s` seconds; 0, or -1 on time-out.
int semaphore_timedwait(sem_t *sem, int timeout_s);

#ifdef __cplusplus
}
#endif
