// The streaming SDK on the P2P transport: the transport's start and stop for the server role, the
// accepted sessions and their threads, and the length-prefixed channel I/O under them.
#pragma once

#include <stddef.h>

#include "vasq_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZT_CH_CMD = 0,
    ZT_CH_RDT = 1,
    ZT_CH_VIDEO = 2,
    ZT_CH_AUDIO = 3,
    ZT_READ_SLICE_MS = 200,
    ZT_AUTH_LIMIT_MS = 30000, // a phone that has not authorised by then loses its transport slot
    ZT_ALIVE_S = 10,          // the transport ends a session whose phone has answered nothing for this long
};

// 0, -1 (an argument absent), 7 (the transport does not start) or 10 (a thread does not start).
int zt_server_init(vasq_server *server, const char *p2p_id, const char *crc_key, const char *init_string);
// Ends every accepted session, stops the listen and login threads; ZTP_DeInitialize's result.
int zt_server_finish(vasq_server *server);

// Frees a session record once its command thread has ended (or is the caller, and leaves next).
void zt_session_free(vasq_session *s);
// The session's command thread, as the listen thread set it (under the accepted list's lock).
ko_thread *zt_session_cmd_thread(vasq_session *s);
// Asks the session to end (reason 1); its command thread joins the rest and closes the transport.
void zt_session_destroy(vasq_session *s);
int zt_cmd_send(vasq_session *s, int code, const void *data, int length);
int zt_av_send(vasq_session *s, const vasq_frame_info *header, const void *payload, int is_video);
int zt_rdt_send(vasq_session *s, const void *data, int length);
int zt_local_status(vasq_session *s, int query);
// ZTP_Check of the handle, logged; the link type stored when asked.
int get_status(int handle, int *link_type);

// One block of a channel: its length, 0 for a block longer than `capacity` (read away), or a
// negated SDK code.
int zt_read(vasq_session *s, int channel, char *buffer, int capacity);
// The big-endian length, then the data; 0 or the write-path SDK code.
int zt_write(int handle, int channel, const void *data, int length);

// The transport's initialisation text for a version text "%d.%d.%d.%d": the JSON form (sessions
// max + 1, 10 s alive) from "4.2.0.0" on, else the init string; the length, or -1 when it does not fit.
int zt_init_parameter(const char *version, const char *init_string, int max_sessions, char *out, size_t size);
// The "LastLoginAck" age in the API information, -1 when absent.
int zt_login_ack_age(const char *api_information);
// The event type of a network record (101 in place of 100 when `stale`).
int zt_event_type(const ztp_net_info *info, int stale);

#ifdef __cplusplus
}
#endif
