// The SDK's HTTP client over libcurl: GETs into a 4096-byte reply buffer or caller callbacks, form
// posts of files or of streamed files, text posts, the firmware download and the log upload's PUT.
// Every request checks the server against the CA file "/mnt/data/cacert.pem" and runs without signals.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <curl/curl.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { VEXA_HTTP_REPLY_SIZE = 4096 };

// Error outputs of vexa_http_download_ota.
enum { VEXA_HTTP_ERR_RESOLVE = -33002, VEXA_HTTP_ERR_CONNECT = -33003, VEXA_HTTP_ERR_TIMEOUT = -33004 };

typedef size_t (*vexa_http_data_cb)(char *data, size_t size, size_t nmemb, void *user);

typedef struct vexa_http {
    char *url;
    size_t url_len;
    char *cookie;       // or NULL
    size_t cookie_size; // length + 1
    uint8_t flag;       // the creation argument, kept for the caller
    uint8_t verbose;    // libcurl's verbose option and the result log line
    int result;         // libcurl result of the last transfer
    vexa_http_data_cb read_callback; // set by the caller before vexa_http_start_post_file_enc
    char *reply;        // zero-terminated text within reply_size bytes
    unsigned reply_size;
    // When set, asked during every transfer: non-zero aborts it (curl result 42).
    int (*abort_check)(void *user);
    void *abort_user;
} vexa_http;

// The record a caller passes as the stream of an encrypted form part; the client reads only its
// content length and hands the record to the handle's read callback as its user pointer.
typedef struct vexa_http_stream {
    int64_t content_length;
    void *user;
} vexa_http_stream;

// A caller-owned place that keeps one libcurl handle between requests (NULL when empty).
typedef CURL *vexa_http_conn;

vexa_http *vexa_http_new(const char *url, int flag, const char *cookie, int verbose);
int vexa_http_free(vexa_http *h);

// Request results: 0 when libcurl succeeded with HTTP 200; a libcurl error code when the transfer
// failed; the HTTP code itself otherwise; -1 for bad arguments or a failed handle creation.
// `conn` may be NULL (a handle of the request's own).
int vexa_http_get(vexa_http *h, int reserved, vexa_http_data_cb write_fn, void *write_data,
                  vexa_http_data_cb header_fn, void *header_data, vexa_http_conn *conn);
int vexa_http_start_request_get(vexa_http *h, vexa_http_conn *conn);
int vexa_http_start_post_file(vexa_http *h, const char *video_path, const char *img_path, vexa_http_conn *conn);
int vexa_http_start_post_file_enc(vexa_http *h, vexa_http_stream *video, vexa_http_stream *img,
                                  vexa_http_conn *conn);
int vexa_http_start_post_meta(vexa_http *h, const char *body, vexa_http_conn *conn);
int vexa_http_start_post_data(vexa_http *h, const char *body, vexa_http_conn *conn);
// 0, or -1 when the slot is null or empty.
int vexa_http_disconnect(vexa_http_conn *conn);

// 0 on success, -1 on bad arguments or a failed transfer; `*error` (when given) becomes
// VEXA_HTTP_ERR_RESOLVE, _CONNECT or _TIMEOUT for those failures. `timeout_s` 0 means 300 s.
// `ip`, when given, receives the server's address.
int vexa_http_download_ota(const char *url, int timeout_s, curl_xferinfo_callback progress_fn, void *progress_data,
                           vexa_http_data_cb write_fn, vexa_http_data_cb header_fn, void *user_data,
                           int resume_offset, int *error, char *ip, int ip_size);

// One PUT of `size` bytes that `read_fn` (curl's read callback) supplies, with a total time-out of
// `timeout_s` seconds. 0 when the transfer completed, `*http_code` holding the server's code; the
// libcurl error code when it failed (CURLE_OPERATION_TIMEDOUT after the time-out); -1 for bad
// arguments.
int vexa_http_put(const char *url, int64_t size, vexa_http_data_cb read_fn, void *user, long timeout_s,
                  long *http_code);

// The reply buffer's write function (`user` is the handle) and its reset.
size_t http_datawrite_callback(char *data, size_t size, size_t nmemb, void *user);
int http_clean_resource(vexa_http *h);

#ifdef __cplusplus
}
#endif
