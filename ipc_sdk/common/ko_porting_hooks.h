// The porting hooks: functions the SDK calls by name and the app-client library provides.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A JSON-RPC text from the device daemon that no SDK module registered for.
int ko_rpc_receive(const char *msg, int len);
// The SDK is about to end the process because of an unrecoverable error.
int ko_ipc_on_error(int code);

// Wi-Fi join modes of ko_wifi_connect_info.
enum { KO_WIFI_MODE_NORMAL = 0, KO_WIFI_MODE_HIDDEN = 1, KO_WIFI_MODE_MASTER = 2, KO_WIFI_MODE_WIRED = 3 };

// A connection request; texts are NULL when not given.
typedef struct ko_wifi_connect_info {
    const char *ssid;
    const char *passwd;
    const char *ssid_5g;
    const char *passwd_5g;
    const char *bssid;
    const char *tz;
    const char *country_domain;
    int32_t mode; // KO_WIFI_MODE_*
} ko_wifi_connect_info;

// The current network, 220 bytes.
typedef struct ko_wifi_info {
    char ssid[33];
    char bssid[32];
    char passwd[64];
    char gw[20];
    char ip[20];
    char mask[20];
    int32_t rssi;
    int32_t freq;
    char extra[20]; // reported as "bssid" of a wired network (empty ssid)
} ko_wifi_info;

// *bound = 1 when the camera is bound to an account, else 0.
int ko_ipc_wifi_mode_get(int *bound);
// Joins a network (may take minutes): 0 on success.
int ko_ipc_wifi_connect_start(ko_wifi_connect_info *info);
// The daemon found the network abnormal: 0 reconnect, 1 reload. 0 on success.
int ko_ipc_wifi_reload(int reload);
int ko_ipc_wifi_info_get(ko_wifi_info *info);
int ko_ipc_wifi_show_pin(const char *pin);
// Result of a binding: 0 bound, 1 not.
int ko_ipc_on_bind(int status);

// Sizes in bytes of the card's file system ("/mnt/sdcard"): 0, non-zero on failure.
int ko_storage_get_capacity(uint64_t *total, uint64_t *used, uint64_t *free_bytes);
// The card's CID as text (up to 40 characters) at buf and its file-system type (up to 30) at buf + 40:
// 1 on success, 0 on failure.
int ko_storage_get_hw_info(char *buf);
// The card status as last learned from the card app: 0 usable for recording, 2 usable but nothing is
// recorded, anything else no usable card.
int ko_storage_get_status(void);

// A notice of the P2P service to the application. Type 0 (video quality): `quality` 0 to 3 asks for
// a stream; the hook answers in `answer` (1 when served) and `channel`.
enum { KO_P2P_NOTICE_VIDEO_QUALITY = 0 };
typedef struct ko_p2p_msg_notice {
    int32_t type;
    uint16_t quality;
    uint16_t answer;
    uint8_t channel;
} ko_p2p_msg_notice;
int ko_p2p_message_notice(ko_p2p_msg_notice *notice);
// Per-session payload encryption of the application: the `length` bytes at data stay as they are
// and the result is `length`.
int ko_p2p_encrypt_data(int length, uint8_t *data, int size);
int ko_p2p_decrypt_data(int length, uint8_t *data, int size);
// The cloud recorder's GOP and key-frame offsets: logged, 0.
int ko_cloud_set_video_gop(int gop, int offset, int non_offset);

// Firmware update. onstat: the update's state (1 a user's request waits for ko_ota_start, 2 and 3 an
// automatic one; 4 verified, 5 installed, 6 failed). ondata: the verified image's payload, once and in
// order, as it arrives (verified only once write_image comes). write_image: the payload is complete and verified; install it (the SDK's progress runs from
// `from` to `to` percent of `total`): 0, or negative when the install failed.
int ko_ota_onstat(unsigned status);
int ko_ota_ondata(const void *data, int len);
int ko_ota_write_image(int from, int to, int total);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(ko_wifi_info) == 220, "ko_wifi_info is 220 bytes");
#endif
