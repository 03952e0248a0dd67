// The streaming server and session records that the SDK's modules share, and the calls the
// transport adapter makes into the session protocol, the server API and the reports.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "common/utils/ko_thread.h"
#include "vasq_api.h"
#include "vasq_ring.h"
#include "ztp_api.h"

#ifdef __cplusplus
extern "C" {
#endif

enum vasq_session_state {
    VASQ_STATE_PREINIT = 0,
    VASQ_STATE_INIT = 1,
    VASQ_STATE_CONNECT = 2,
    VASQ_STATE_AUTHENTICATING = 3,
    VASQ_STATE_NORMAL = 4,
    VASQ_STATE_DISCONNECT = 5,
};

enum { VASQ_VENDOR_ZTP = 4 };

enum {
    VASQ_DEFAULT_SEND_VIDEO = 0x80000,
    VASQ_DEFAULT_SEND_AUDIO = 0x8000,
    VASQ_DEFAULT_RECV_VIDEO = 0x80000,
    VASQ_DEFAULT_RECV_AUDIO = 0x8000,
    VASQ_CMD_MAX = 1088, // one command as read from the command channel
};

typedef struct vasq_list_node {
    struct vasq_list_node *prev, *next;
} vasq_list_node;

struct vasq_session {
    vasq_list_node node; // in the server's session list (authorised sessions)
    int state;           // vasq_session_state; atomic access only
    int vendor;
    int link_type; // 1 p2p, 2 relay, 4 tcp, 5 relay-RP2P, 0 other
    int handle;    // transport session, -1 once closed; under handle_lock
    int send_video_size, send_audio_size, recv_video_size, recv_audio_size;
    uint64_t connect_time_ms;
    uint64_t auth_time_ms; // all ones until authorised
    uint64_t video_start_ms; // monotonic: command 258 sent or received
    int first_frame;
    char did[64], model[64], sdk_type[16];
    int error_code; // the first reason recorded sticks
    pthread_mutex_t error_lock;
    pthread_mutex_t handle_lock;
    pthread_mutex_t send_lock;
    pthread_mutex_t cond_lock;
    pthread_cond_t send_cond;
    vasq_ring *video_ring, *audio_ring;
    ko_thread *cmd_thread, *send_thread, *audio_thread, *video_thread, *rdt_thread, *stat_thread;

    // Session protocol.
    char uuid[64];
    int session_type; // 1 pre-linked, 0 normal
    int encrypt_type;
    int support_encrypt;
    uint8_t shared_key[32];
    uint8_t aes_key[16];
    int connected; // counted in the server; under the server's lock
    int evicted;   // another session took it out of the list and owns its end; under the server's lock
    int proving;   // authorised, but others give way only once its first command decrypts; command thread only
    int closing;
    pthread_mutex_t closing_lock;
    void *user_data;

    // Transport adapter.
    vasq_server *server;
    vasq_list_node accepted;  // in the adapter's list of every accepted session
    uint64_t accept_tick_ms;  // monotonic: the bound on the time to authorise
    int force_close;          // the end closes the transport session without waiting for unsent data
    unsigned send_pause_count;
    int connection_reported;

    // Reports.
    uint64_t channel_id;
    uint64_t connect_cost_ms, rpc_cost_ms, first_frame_cost_ms;
    int retry_count;
    int preload;
};

struct vasq_server {
    int max_sessions;
    int session_count;
    vasq_list_node sessions;
    pthread_mutex_t lock;
    int running;

    char dev_name[16], did[64], model[64];
    uint8_t *token;
    int token_len;
    int send_video_size, send_audio_size, recv_video_size, recv_audio_size;
    int encrypt_type, ignore_uuid, init_mode;
    int vendor, forced, vendor_change_pending;
    char p2p_key[65];
    uint8_t public_key[32], secret_key[32], req_key[16];
    void *user_data;
    uint64_t create_tick_ms;

    // Vendor checks, on the monotonic clock in seconds.
    int64_t check_stamp_s;   // a timed check is due at check_stamp_s + vendor_check_interval_s
    int64_t check_request_s; // the last request sent
    int64_t last_change_s;   // the last vendor change
    int64_t last_connect_s;  // the last session authorised; INT64_MIN: none yet
    int64_t direct_check_s;  // the last direct check sent (after a failed authorisation)
    int direct_check_pending; // its reply has not been processed yet
    int64_t retry_step_s;
    int retry_count;

    // Transport adapter.
    int zt_ready; // its locks and list made
    char *p2p_id, *crc_key, *init_string;
    int zt_running; // atomic access only
    ko_thread *listen_thread, *login_thread;
    int listen_done; // atomic: the listen thread has left its loop
    pthread_mutex_t wake_lock; // wakes the login watch when the transport stops
    pthread_cond_t wake;
    int last_zt_error;
    ztp_net_info net_info;
    int login_ack_age;
    int event_type;
    uint64_t login_check_tick_ms;
    uint64_t login_report_tick_ms;
    uint32_t vendor_check_interval_s;
    uint32_t stale_login_interval_s;
    pthread_mutex_t accepted_lock; // the accepted list: held only to choose, never across a wait
    pthread_cond_t accepted_left;
    vasq_list_node accepted;
};

void vasq_list_init(vasq_list_node *head);
void vasq_list_add_tail(vasq_list_node *head, vasq_list_node *node);
void vasq_list_del(vasq_list_node *node); // a node not on a list is left alone
int vasq_list_empty(const vasq_list_node *head);

#define VASQ_CONTAINER(ptr, type, member) ((type *)((char *)(ptr) - offsetof(type, member)))

int vasq_state(const vasq_session *s);
void vasq_set_state(vasq_session *s, int state);
// Records `code` as the session's reason when none is recorded yet.
void session_error_code(vasq_session *s, int code);

// The session protocol: one received command (0 keeps the session), one received frame or block.
int vasq_cmd_process(vasq_session *s, int code, char *data, int length);
int vasq_video_process(vasq_session *s, char *buffer, char *payload, int length);
int vasq_audio_process(vasq_session *s, char *buffer, char *payload, int length);
int vasq_rdt_process(vasq_session *s, char *buffer, char *payload, int length);
int vasq_vendor_check(vasq_server *server, int direct, int with_request_key);

// The server of this process, none before init and after finish.
vasq_server *vasq_server_get(void);
// The session protocol's start of a session's video: the first key frame (flags & 3 == 1) while the
// marker is -1 makes the first-frame and full-time reports.
void vasq_first_frame(vasq_session *s, uint32_t flags);
// Command 256: the authorisation exchange; 0 keeps the session.
int vasq_auth_process(vasq_session *s, const char *request, int length);
int vasq_authorized(vasq_server *server, vasq_session *s, const char *public_key_hex, const char *sign_hex);
// The first command of a session that waits for its place, decrypted to `code`: a known code takes
// the place (evicting whom it must); 0 keeps the session.
int vasq_auth_proved(vasq_session *s, int code);
// A code of the command table (what a key other than the session's would hardly decrypt to).
int vasq_cmd_known(int code);
int vasq_server_get_vendor(vasq_server *server);
void vasq_set_retry_time(vasq_server *server);
// Takes every listed session out of the list and ends it with `reason` through the disconnect hook.
void vasq_close_listed(vasq_server *server, int reason);
// Ends a session that another one took out of the list (its connected flag already cleared).
void vasq_evict(vasq_session *s, int reason);
// The monotonic clock in seconds.
int64_t vasq_tick_s(void);

// Session reports.
int vasq_report_login_status(vasq_server *server, int status);
int vasq_report_connection(vasq_session *s, int code);
int vasq_report_first_frame(vasq_session *s);
int vasq_report_full_time(vasq_session *s);
int vasq_report_command(vasq_session *s, int code, const char *param, int length);
int vasq_report_error(vasq_server *server, vasq_session *s, int code);
int vasq_report_disconnection(vasq_session *s, int code);
int vasq_report_frames(vasq_session *s, const vasq_frame_stats *stats);
void vasq_report_set_uuid(const char *uuid, int length);
void vasq_report_set_net_type(const char *net, int length);

#ifdef __cplusplus
}
#endif
