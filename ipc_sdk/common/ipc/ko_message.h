// The SDK's in-process message bus: handlers registered by (module uid, key), messages delivered in
// the sender's thread or queued for a growing and shrinking pool of worker threads.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Module uids (ko_message_uid); 0 as a receiver means every uid that registered the key.
typedef enum ko_message_uid {
    KO_UID_ALL = 0,
    KO_UID_SDK = 1,
    KO_UID_LOG_UPLOAD = 2,
    KO_UID_P2P = 3,
    KO_UID_RECORD = 4,
    KO_UID_CLOUD = 5,
    KO_UID_OTA = 6,
    KO_UID_RPC = 7,
    KO_UID_STAT = 8,
    KO_UID_RINGBUF = 9,
    KO_UID_MESSAGE = 10,
    KO_UID_PLAYBACK = 11,
    KO_UID_KV = 13,
    KO_UID_NAS = 14,
    KO_UID_APP = 15,
    KO_UID_MAX = 15,
} ko_message_uid;

enum { KO_MSG_MODE_SYNC = 1, KO_MSG_MODE_ASYNC = 2 };
enum { KO_MSG_TARGET_REG = 1, KO_MSG_TARGET_CALLBACK = 2 };
enum {
    KO_MSG_KEY_LEN = 32,
    KO_MSG_PARAM_MAX = 4096,
    KO_MSG_QUEUE_SLOTS = 256,
    KO_MSG_DEFAULT_TIMEOUT_MS = 5000,
    KO_MSG_MIN_WORKERS = 4,
    KO_MSG_MAX_WORKERS = 16,
};
// Results besides 0 and -1.
enum { KO_MSG_ERR_UID = -2, KO_MSG_ERR_KEY = -3, KO_MSG_ERR_FULL = -4 };

typedef struct ko_message_arg {
    uint32_t from_uid;
    const char *msgkey;
    const void *param; // valid only during the handler's run
    uint32_t len;
    void *user;        // the registration's user, or the message's for an own callback
} ko_message_arg;

typedef void (*ko_message_handler)(const ko_message_arg *arg);

typedef struct ko_message {
    uint32_t from_uid;
    uint32_t to_uid;                // 0 to 15; 0 = every uid that registered the key
    char msgkey[KO_MSG_KEY_LEN];    // not empty
    const void *param;              // never null
    uint32_t len;                   // 1 to KO_MSG_PARAM_MAX
    uint32_t mode;                  // KO_MSG_MODE_*
    uint32_t target;                // KO_MSG_TARGET_CALLBACK = own callback, else registered handlers
    void *user;                     // for the own callback
    uint64_t timeout_ms;            // budget of a queued own callback; 0 = 5000 ms
    ko_message_handler callback;    // own callback
} ko_message;

typedef struct ko_message_reg {
    uint32_t uid;                   // 0 to 15
    char msgkey[KO_MSG_KEY_LEN];    // not empty; at most 31 characters are kept
    void *user;
    uint64_t timeout_ms;            // budget of this handler's queued runs; 0 = 5000 ms
    ko_message_handler handler;
} ko_message_reg;

// The bus's counters, reported as "msg.info" and reset after each report.
typedef struct ko_message_stat {
    uint32_t asyn_msg, asyn_msg_err, syn_msg, syn_msg_err;
    uint32_t push, push_err, pull, pull_err;
    uint32_t cb_time_max, cb_time_toid, cb_timeout, cb_timeout_toid;
    uint32_t enough, thread_max;
} ko_message_stat;

// `config` is reserved (the SDK start passes NULL).
int ko_message_init(const void *config);
int ko_message_deinit(void);
int ko_message_register(const ko_message_reg *reg);
int ko_message_unregister(uint32_t uid, const char *msgkey);
int ko_message_push(const ko_message *msg);

// Shorthands for the common cases: a message to the handlers registered for (to_uid, msgkey) in the
// given mode, and a registration with only uid, key, handler and user set (budget 5000 ms). A key of
// 32 characters or more is refused with -1.
int ko_message_send(uint32_t from_uid, uint32_t to_uid, const char *msgkey, const void *param, uint32_t len,
                    uint32_t mode);
int ko_message_listen(uint32_t uid, const char *msgkey, ko_message_handler handler, void *user);

// A snapshot of the counters and of the pool (live and busy workers); -1 when not running.
int ko_message_stat_get(ko_message_stat *stat, int *live_workers, int *busy_workers);

#ifdef __cplusplus
}
#endif
