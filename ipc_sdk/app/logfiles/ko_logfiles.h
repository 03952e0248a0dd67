// Log upload: the camera's log files packed into a tar stream, encrypted with AES-128-CBC under a key
// the cloud hands out, and sent with one HTTP PUT to a pre-signed URL. Uploads run on the thread
// "logup" while the cloud has switched device logging on for a window the user accepted, or when the
// phone app pushed a feedback request with its own URL. Message-bus module uid 2.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KO_LOGFILES_PATH_LEN = 64,   // a path in 64 bytes (NUL-terminated within them)
    KO_LOGFILES_ENTRY_SIZE = 65, // the path, then the auto-remove byte
    KO_LOGFILES_LIST_MAX = 5,    // entries the file-list callback is given room for
    KO_LOGFILES_UPLOAD_MAX = 9,  // files one upload takes
    KO_LOGFILES_TOTAL_MAX = 2097152, // an upload's files must stay below this many bytes
};

// Fills `list` (zeroed before) with up to `max_files` entries of KO_LOGFILES_ENTRY_SIZE bytes and
// returns their number; `force` asks for the files of a user request rather than those ready by
// themselves. An entry whose byte 64 is non-zero is deleted once it has been uploaded.
typedef int (*ko_logfiles_list_cb)(char *list, unsigned max_files, unsigned force);

// 0; -1 when already started ("already init"), without a callback, or when a bus key cannot be
// registered; -11 when "upload_statistics" cannot.
int ko_logfiles_upload_init(ko_logfiles_list_cb callback);
// 0; -1 when not started ("logfiles_upload uninit!").
int ko_logfiles_upload_deinit(void);

// Results of ko_log_upload_start.
enum {
    KO_LOG_UPLOAD_OK = 0,
    KO_LOG_UPLOAD_BAD_INPUT = 1,   // no or too many files, a missing file, a time-out under 10 s
    KO_LOG_UPLOAD_TOO_LARGE = 2,   // the files reach KO_LOGFILES_TOTAL_MAX bytes
    KO_LOG_UPLOAD_NOT_ALLOWED = 3, // no feedback target and no accepted logging window
    KO_LOG_UPLOAD_NO_URL = 4,      // the cloud gave no upload target
    KO_LOG_UPLOAD_ARCHIVE = 5,     // the archive or the cipher could not be set up
    KO_LOG_UPLOAD_TIMEOUT = 6,     // the PUT timed out
    KO_LOG_UPLOAD_HTTP = 7,        // the PUT failed or was answered with another code than 200
};

// Uploads `count` files (device paths) as one encrypted archive; `timeout` in seconds, 0 for one
// from the archive's size. One of KO_LOG_UPLOAD_*.
int ko_log_upload_start(const char (*paths)[KO_LOGFILES_PATH_LEN], int count, int timeout);

// The settings of config slot 128, 24 bytes little-endian: u8 switchOpen, 3 zero bytes, u64
// startTime at 4, u64 endTime at 12, u32 accept at 20 (times in wall-clock seconds).
enum { KO_LOG_UPLOAD_CFG_SIZE = 24 };
typedef struct log_upload_cfg_t {
    uint8_t switchOpen;
    uint64_t startTime;
    uint64_t endTime;
    uint32_t accept;
} log_upload_cfg_t;
void log_upload_cfg_encode(const log_upload_cfg_t *cfg, uint8_t out[KO_LOG_UPLOAD_CFG_SIZE]);
void log_upload_cfg_decode(const uint8_t in[KO_LOG_UPLOAD_CFG_SIZE], log_upload_cfg_t *cfg);

// The SDK's side of the upload: slot 128 read and written as its 24 bytes (0, -1 for null or a
// failed slot), a text pushed to the RPC link (0 or -1), and the device id copied (its length, -1
// when it is not 1 to 39 characters or does not fit).
int ko_log_upload_cfg_read(uint8_t buffer[KO_LOG_UPLOAD_CFG_SIZE]);
int ko_log_upload_cfg_write(const uint8_t buffer[KO_LOG_UPLOAD_CFG_SIZE]);
int ko_log_upload_rpc_send(const char *text, int len);
int ko_log_upload_get_did(char *buffer, int size);

#ifdef __cplusplus
}
#endif
