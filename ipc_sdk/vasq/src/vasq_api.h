// The streaming SDK's public face: the server and its sessions, the sends towards a phone, and the
// hooks that the SDK calls in the P2P service.
#pragma once

#include <stdint.h>

#include "vasq_frame_info.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vasq_session vasq_session;
typedef struct vasq_server vasq_server;

typedef struct vasq_device_info {
    const char *name; // at most 15 characters; "unknown" when absent
    const char *did;  // 1 to 63 characters
    const char *model; // 1 to 63 characters
} vasq_device_info;

typedef struct vasq_server_config {
    int max_sessions;
    const uint8_t *token;
    int token_len;
    int send_video_size, send_audio_size, recv_video_size, recv_audio_size; // 0 (audio receive <= 0): defaults
    int encrypt_type; // 0 ChaCha20, other: AES through the encryption hooks
    int ignore_uuid;  // phones' uuids are not used for eviction
    int init_mode;    // 0: ask the daemon for the vendor at start; 1: wait for its wake-up
} vasq_server_config;

// The request handed to the frame encryption and to the AES hooks.
typedef struct vasq_crypt_req {
    const uint8_t *in;
    int in_len;
    uint8_t *out;
    int out_cap;
    int head_len; // bytes in front of the payload: 8 for ChaCha20, 4 for AES
    int iv_len;   // 16 for AES, else 0
    int pad_len;  // AES only
    int encrypt_type;
    int out_len; // set on success
} vasq_crypt_req;

enum { VASQ_CMD_PARAM_MAX = 1024, VASQ_RDT_MAX = 2048 };

int vasq_server_init(const vasq_device_info *info, const vasq_server_config *config);
void vasq_server_finish(void);
void vasq_server_session_close(vasq_session *s);
int vasq_server_change_vendor(vasq_server *server, int vendor, int force);
// A reply of the daemon (context given back from vasq_rpc_send) or one of its requests (no
// context); no text: the request got no answer.
int vasq_rpc_process(void *context, const char *text, int length);

// The header's length is the payload's on entry.
int vasq_video_send(vasq_session *s, const vasq_frame_info *header, const void *data);
int vasq_audio_send(vasq_session *s, const vasq_frame_info *header, const void *data);
int vasq_cmd_send(vasq_session *s, int code, const void *data, int length);
int vasq_rdt_send(vasq_session *s, const void *data, int length);
int vasq_session_query(vasq_session *s, int code, void *out);
int vasq_statistics_set(vasq_session *s, int type, const void *data, int length);

// The frame statistics record of vasq_statistics_set type 1.
typedef struct vasq_frame_stats {
    int video_frames, video_dropped;
    uint64_t video_bytes, duration_ms;
    int audio_frames, audio_errors;
    uint64_t audio_bytes;
    int auto_switches;
} vasq_frame_stats;

const char *vasq_get_err_info(int code);
const char *vasq_get_session_stat_info(int state);
const char *vasq_get_cmd_info(int code);

// Hooks of the P2P service. vasq_on_connect returns 0 to take the session and may set *user_data,
// which every later hook of the session is given.
int vasq_on_connect(vasq_session *s, void **user_data);
void vasq_on_disconnect(vasq_session *s, int code, void *user_data);
void vasq_on_error(vasq_session *s, int code, void *user_data);
int vasq_on_cmd(vasq_session *s, int code, const char *data, int length, void *user_data);
int vasq_on_video_data(vasq_session *s, const vasq_frame_info *header, const char *data, int length, void *user_data);
int vasq_on_audio_data(vasq_session *s, const vasq_frame_info *header, const char *data, int length, void *user_data);
int vasq_on_rdt_data(vasq_session *s, const char *data, int length, void *user_data);
int vasq_on_server_ready(void);
int vasq_rpc_send(void *context, const char *method, const char *params);
int vasq_ack_send(const char *text, int length);
int vasq_statistics(vasq_session *s, const char *text, int length);
// AES of the padded payload in place (req->out + 20, req->in_len + req->pad_len bytes).
int vasq_encrypt_data(vasq_crypt_req *req, const uint8_t key[16], const uint8_t iv[16]);
int vasq_decrypt_data(vasq_crypt_req *req, const uint8_t key[16], const uint8_t iv[16]);

#ifdef __cplusplus
}
#endif
