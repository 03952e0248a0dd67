// The cloud HTTP protocol: signed GETs for the upload parameters, encrypted clip and event posts,
// and the check and decryption of the {"data","sign","iv"} replies. Called by the upload thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <mutex>

#include "app/cloud/cloud_types.h"
#include "common/http/vexa_http.h"

enum { CLOUD_DOMAIN_SIZE = 256, CLOUD_TOKEN_SIZE = 512, CLOUD_FILE_ID_SIZE = 128, CLOUD_URL_SIZE = 256 };

// Result of a reply whose text holds "401 Unauthorized".
inline constexpr int CLOUD_HTTP_UNAUTHORIZED = -401;

struct cloud_upload_slot_t {
    int32_t state; // 2 = filled
    char file_id[CLOUD_FILE_ID_SIZE];
    char storage_url[CLOUD_URL_SIZE];
};

struct cloud_upload_ctx_t {
    std::mutex mutex; // domain, key, token and login time, written by the login reply
    char domain[CLOUD_DOMAIN_SIZE];
    uint8_t session_key[32];
    char token[CLOUD_TOKEN_SIZE];
    int64_t login_time_s;
    uint8_t token_valid;
    char model[64];
    uint8_t iv[16];
    cloud_upload_slot_t active;
    cloud_upload_slot_t prefetch;
    int32_t offset; // files uploaded with the active fileId
    vexa_http_conn get_conn;
    vexa_http_conn post_conn;
    uint64_t get_used_ms;
    uint64_t post_used_ms;
    // What the last post went through, for the upload thread's counters.
    uint32_t post_retries;       // attempts after the first
    uint32_t mp4_encrypt_errors; // attempts whose mp4 could not be opened for encryption
    cloud_record_state_t *rec;
};

// The one upload context.
cloud_upload_ctx_t &cloud_upload_ctx();

// Requests; each returns 0, -1 (local or reply-format failure), CLOUD_HTTP_UNAUTHORIZED, the curl
// result of a failed transfer (28 a time-out), the HTTP status of a refused one, or the "code" of a
// reply whose "result" is not "ok".
int cloud_http_config_get_gop(cloud_upload_ctx_t *ctx);
int cloud_http_config_get(cloud_upload_ctx_t *ctx);
int cloud_http_get_vipstatus(cloud_upload_ctx_t *ctx);
int cloud_http_pre_upload_request(cloud_upload_ctx_t *ctx, cloud_upload_slot_t *slot);
int cloud_http_file_post(cloud_upload_ctx_t *ctx, const cloud_file_node_t *node);
int cloud_http_post_event(cloud_upload_ctx_t *ctx, const cloud_file_node_t *node);
// Encrypts the node's face photo into CLOUD_FACE_ENC_PATH and posts it with the face's id and
// features.
int cloud_http_face_jpeg_post(cloud_upload_ctx_t *ctx, const cloud_file_node_t *node);
void cloud_http_disconnect(vexa_http_conn *conn);

// Building blocks, exposed for the tests and the benchmark.

// base64url(SHA-256(text)) into out (at least 44 bytes): the length, or -1.
int cloud_encrypt_sign(const char *text, char *out, size_t out_size);
// AES-128-CBC/PKCS#7 under the session key and the current IV, base64url-encoded: the text length,
// or -1 when out is under (c + 2) / 3 * 4 + 1 bytes for the c = (len / 16 + 1) * 16 cipher bytes.
int _data_encrypt_and_base64_endcode(const cloud_upload_ctx_t *ctx, const void *in, size_t len, char *out,
                                     size_t out_size);
// Checks and decrypts a reply into out (zero-terminated): the plain length, -1 or
// CLOUD_HTTP_UNAUTHORIZED.
int http_response_decrypt(const cloud_upload_ctx_t *ctx, const char *reply, char *out, size_t out_size);
// The outcome of a decrypted reply: 0 for "result" "ok" (any case), the non-zero integer "code"
// otherwise, -1 when there is none.
int cloud_reply_result(const char *plain);

// The names of the event flag bits joined by ":" into out: the length, or -1.
int parse_event_flag(uint32_t flags, char *out, int out_len);
// "h264", "h265", "opus", "g711a" or "g711u" for the codec ids 33, 35, 1032, 1027, 1026; else NULL.
const char *get_codec_name(int codec);

// The encrypting body stream of one file for vexa_http_start_post_file_enc: the cipher text, then
// the 64-character encrypted digest of the cipher text. `path` is a device path.
struct cloud_file_enc;
cloud_file_enc *cloud_file_enc_open(const cloud_upload_ctx_t *ctx, const char *path);
void cloud_file_enc_close(cloud_file_enc *enc);
// The stream record to hand to the HTTP client (content length = padded size).
vexa_http_stream *cloud_file_enc_stream(cloud_file_enc *enc);
size_t http_read_file_callback(char *buf, size_t size, size_t nmemb, void *user);

inline constexpr const char *CLOUD_FACE_ENC_PATH = "/tmp/encrypt_face.jpeg";
// Writes the cipher text of a file (device paths) and gives base64url(SHA-256(cipher text)) in
// `sign`: 0 or -1.
int encrypt_file(const cloud_upload_ctx_t *ctx, const char *in_path, const char *out_path, char *sign,
                 size_t sign_size);
