// The SDK core's front door: start and stop of the whole SDK core, its one information record, the
// stream channels into the frame ring buffer, snapshots, the bind information and the queries the
// application makes of the device daemon.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "common/ringbuffer/ko_av_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

// Result codes of the SDK core besides 0 and -1.
enum { KO_SDK_ERR_NOMEM = -3, KO_SDK_ERR_PARAM = -5, KO_SDK_ERR_BUSY = -9, KO_SDK_ERR_EMPTY = -10 };

// Pairing-method bits of ko_ipc_sdk_param.sc_type (reported as "2", "4" and "16").
enum { KO_SC_TYPE_2 = 2, KO_SC_TYPE_4 = 4, KO_SC_TYPE_16 = 8 };

// Camera states taken from the daemon's status words.
enum { KO_CAMERA_STATE_CLOUD_CONNECTED = 8 };

// Fills a JPEG of the channel: *data, *size, and *must_free (starts at 1; a non-zero value makes the
// SDK free(*data) afterwards). The result is not used.
typedef int (*ko_snapshot_fn)(int channel, void **data, int *size, uint8_t *must_free);
// Told every change of the camera state, with the daemon's status word.
typedef void (*ko_status_callback)(const char *status);
// Stores a JPEG of the channel for the SD recorder.
typedef int (*ko_write_pic_fn)(int channel, const void *data, int size);

typedef struct ko_ipc_sdk_param {
    uint32_t chip_type;     // 0 security chip (qelt_i2c, qelt_gpio), 1 did and certificates
    char qelt_i2c[64];
    char qelt_gpio[64];
    char did[64];           // decimal text (chip type 1)
    const char *manu_cert;  // chip type 1
    const char *dev_cert;   // chip type 1
    char oob[25];
    char vendor[64];
    char model[64];
    char data_dir[64];      // device path of the data directory ("/mnt/data")
    char fw_ver[64];
    char wpa_intf[64];
    char country[32];
    char mac[32];           // must not be empty
    uint32_t sc_type;       // KO_SC_TYPE_* bits
    uint8_t auto_ota;
    uint8_t wpa_required;   // 1: wpa_intf must be set and is reported
    ko_snapshot_fn ko_snapshot_func;
    ko_status_callback status_callback;
    uint32_t reserved;
} ko_ipc_sdk_param;

typedef struct ko_sdk_info {
    uint8_t valid;           // 1 once the start has completed
    pthread_mutex_t mutex;   // camera_state, server_time, the Wi-Fi-start busy flag and the stop
    ko_ipc_sdk_param param;
    char device_id[64];      // from the daemon's "local.did"
    char ssid[33];
    char passwd[64];
    uint8_t token[64];       // text, or raw bytes when token_type is 1
    int32_t token_len;
    int32_t token_type;
    char bind_key[64];
    char sc_type_text[32];   // "2,4,16" style list
    int32_t camera_state;    // 0 to 8
    uint32_t server_time;    // from "local.time"; 0 = not answered yet
    int32_t video_chn_count;
    uint8_t chn_inited[KO_STREAM_CHN_MAX];
    ko_stream_chn_info stream_info[KO_STREAM_CHN_MAX];
    ko_write_pic_fn local_storage_write_pic_func;
} ko_sdk_info;

// 161 bytes.
typedef struct ko_bind_info {
    char ssid[33];
    char passwd[64];
    char tz[32];
    char country_domain[32];
} ko_bind_info;

// The record; NULL before the first start.
extern ko_sdk_info *g_sdk_info;

int ko_ipc_sdk_init(const ko_ipc_sdk_param *param);
int ko_ipc_sdk_deinit(void);
ko_sdk_info *ko_ipc_get_sdk_info(void);

ko_stream_chn_info *ko_ipc_get_stream_info(unsigned chn);
int ko_ipc_stream_chn_add(ko_stream_chn_info *info);
int ko_ipc_stream_chn_del(unsigned chn);
int ko_ipc_stream_put_frame(unsigned chn, ko_av_frame *frame);

int ko_ipc_snapshot_get(int type, int channel, const char *filename);
int ko_set_local_storage_write_pic_func(ko_write_pic_fn fn);

int ko_ipc_bind_info_decode(const char *text, ko_bind_info *out);
int ko_ipc_start_register(const ko_bind_info *info);

int ko_ipc_get_server_time(uint32_t *out);
int ko_ipc_query_did(char *dst, unsigned len);
int ko_ipc_get_token(uint8_t *buf, int len);
int ko_ipc_config_reset(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(ko_bind_info) == 161, "ko_bind_info is 161 bytes");
#endif
