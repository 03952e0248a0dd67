// What the upload thread and the message-bus handler of the cloud's keys share.
#pragma once

#include <stdint.h>

#include <atomic>

#include "app/cloud/cloud_http.h"
#include "common/ipc/ko_message.h"

// The credentials of the last accepted login reply, written by the bus handler under the upload
// context's mutex; the upload thread copies them into the context at the start of each request.
struct cloud_login_record {
    char domain[CLOUD_DOMAIN_SIZE];
    uint8_t key[16];
    char token[CLOUD_TOKEN_SIZE];
    uint8_t iv[16];
    uint64_t tick_s;     // monotonic time of the reply
    uint32_t generation; // counts accepted replies
};

struct cloud_upload_link {
    std::atomic<int32_t> pending_id{0}; // id of the login request waited for, 0 = none
    std::atomic<int32_t> late_id{0};    // the request before it, whose reply is still taken
    std::atomic<int> replied{0};
    std::atomic<int> file_id_reset{0};
    cloud_login_record login{};                 // under cloud_upload_ctx().mutex
    char active_file_id[CLOUD_FILE_ID_SIZE]{}; // under cloud_upload_ctx().mutex
};

cloud_upload_link &cloud_upload_shared();

// Counters of the upload thread, reported with the recorder's as "cloud.info".
enum cloud_upload_counter {
    UP_LONG_HTTP,      // posts that took more than 10 s
    UP_MP4_CACHE_MAX,  // most clips seen queued at once
    UP_MP4_ENCRYPT_ERR,
    UP_PIC_ENCRYPT_ERR,
    UP_FILE_ID,        // fileIds received
    UP_JPEG_MP4_ERR,   // queued clips whose files were missing
    UP_POST_FILE,
    UP_POST_FILE_ERR,
    UP_POST_FILE_TIMEOUT,
    UP_POST_FILE_RETRY,
    UP_POST_FILE_AVG_MS,
    UP_POST_FILE_AVG_BYTE,
    UP_POST_META,      // event-only posts
    UP_POST_META_ERR,
    UP_POST_META_TIMEOUT,
    UP_POST_META_RETRY,
    UP_POST_META_AVG_MS,
    UP_STEP1, // states 0 to 8 entered, one counter each
    UP_COUNTERS = UP_STEP1 + 9,
};
std::atomic<uint32_t> *cloud_upload_counters(void);

// Handles one text of the bus keys: the login reply or a method from the cloud.
void rpc_reply_cb(const char *text, size_t len);
// The "upload_statistics" handler: reports "cloud.info".
void msg_cb_cloud_report_stat(const ko_message_arg *arg);
// Sends the login request with a fresh id (which becomes the pending one): 0 or -1.
int cloud_login_send(void);
