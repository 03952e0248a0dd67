// The vendor requests and replies between the streaming server and the device daemon.
#pragma once

#include "vasq_internal.h"

#define VASQ_VERSION_TEXT "3.2.7.0"

enum { VASQ_CTX_START = 1, VASQ_CTX_CHECK = 2, VASQ_CTX_DIRECT_CHECK = 3 };

// What vasq_rpc_send carries with a request, given back with its reply.
typedef struct vasq_rpc_context {
    int kind;
} vasq_rpc_context;

// A new random request key.
void vasq_new_request_key(vasq_server *server);
// The reply of a direct check was processed (or the request could not be sent): another may go.
void vasq_direct_check_done(vasq_server *server);
// A vendor check succeeded: the next is due after the interval; the retry step starts again.
void vasq_vendor_changed(vasq_server *server);
// "vasq.set_vendor" or a vendor check's reply: 0 or a code.
int vasq_set_vendor(vasq_server *server, const char *text, int length);
// The reply to the start-up request: the transport starts with its parameters.
int vasq_vendor_start(vasq_server *server, const char *text, int length);
// "_sync.vasq_wakeup" (request `id`): starts the transport and answers through vasq_ack_send.
int vasq_wakeup(vasq_server *server, int id, const char *text, int length);
// Takes "p2p_key" of a reply; 19 when it is absent and `required`.
int vasq_store_p2p_key(vasq_server *server, const char *text, int length, int required);
