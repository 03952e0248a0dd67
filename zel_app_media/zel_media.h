// The media app (app 6, agent module "ZEL_APP_MEIDA"): it owns the board media library inside the main
// program. Its fetch threads hand every encoded frame to the app-client library; its wrappers are the
// only way the rest of the system reaches the board (image switches, ISP, snapshots, key frames), and
// its agent handler applies flip, watermark, speaker, WDR and lens-correction changes at run time.
// Sound prompts and the speaker queue are in zel_sound_play.h.
#pragma once

#include "zel_app_object.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Exported for the board side; the app reads only `reloading` and writes only `sub_video_switch`.
typedef struct media_dev_status {
    int32_t values[2]; // 3, 50
    uint8_t flags[6];  // 1, 0, 1, 1, 0, 0
    uint8_t reloading; // while set, the fetch threads pause and snapshots are refused
    uint8_t reserved1;
    uint8_t sub_video_switch; // agent key 34: "video_on" 1, "video_off" 0
    uint8_t reserved2[3];
} media_dev_status_t;

extern media_dev_status_t dev_status;
extern int chn_index[2];      // {0, 1}: the arguments of the two video threads
extern int chn_status[2];     // 1 while that channel's thread pauses for `reloading`
extern int g_jpeg_is_getting; // 1 while no snapshot is being taken
extern app_object_t *g_media_mgr;

app_object_t *media_app_create(int arg);
// 0 or the OR of the failed steps' results; the threads start whatever the result.
int zel_media_init(void);
// Stops the threads, waits (bounded) until none is inside the board library, then closes it; 0.
int zel_media_deinit(void);

// Thread starters and bodies (detached threads).
int create_fetch_stream_thread(void);
int create_fetch_audio_thread(void);
int create_osd_thread(void);
void *video_stream_thread(void *chn); // chn: int * (0 main, 1 sub)
void *fetch_audio_thread(void *arg);
void *osd_display_thread(void *arg);

// Board wrappers: -1 with "media no init, pls check\n" while the board library is not started, else
// the board function's result.
int zel_req_IDR_one(int chn);
int zel_req_IDR(void);
int zel_start_stream(int a, int b, int c);
int zel_stop_stream(int a, int b, int c);
int zel_set_video_vflip(void);
int zel_set_video_nomal(void);
int zel_enable_osd(void);
int zel_disable_osd(void);
int zel_enable_wdr(void);
int zel_disable_wdr(void);
int zel_enable_speaker(void);
int zel_disable_speaker(void);
int zel_set_speaker_vol(int vol);
int zel_play_sound(const void *data, int len, int arg);
int zel_get_isp_dnmode(int *mode); // 0 day, 1 night
int zel_get_isp_ev(int *ev);
int zel_set_isp_wb(int mode);
int zel_get_isp_wb(int *mode);
int zel_get_raw_frame(int chn, void *buf, int cap, int flag);

// Setters of the stored settings (value texts read with atoi; NULL does nothing).
void zel_wdr_set(const char *value);
void zel_video_flip_set(const char *value);
void zel_osd_set(const char *value);
void zel_video_ldc_set(const char *value);
void zel_video_speaker_set(const char *value);
void zel_video_speaker_mute_set(const char *value);
void zel_video_osd_logo_set(const char *value);

typedef struct media_db_row {
    char key[64];
    void (*setter)(const char *value);
} media_db_row_t;
extern const media_db_row_t media_db_get[6];

// 1 while `reloading` is set, else 0.
int zel_get_hot_config_status(void);
// Applies media_db_get in order; the code of the last read.
int zel_media_db_get_init(void);
// Switches the ISP day/night mode on the media app's worker, requests in the order given (a failed
// switch is retried once after 10 s unless a newer request came meanwhile); 0, or -1 when not
// started or the worker cannot be started.
int zel_set_isp_dnmode(int mode);
// A JPEG of the current picture in the calling thread's own buffer, valid until that thread's next
// snapshot: its length (0 when the board failed or it does not fit 131072 bytes), or -1 when not
// started or reloading.
int zel_media_get_snapshot(void **jpeg, int *len);

// The agent side ("ZEL_APP_MEIDA": keys 21, 22, 26, 33, 34, 37, 41).
int handle_zel_media_message(int cmd, const void *param);
int _zel_media_agent_client_init(void);
void _zel_media_agent_client_deinit(void);
void *start_zel_media_recv_from_agent_thread(void *arg);

#ifdef __cplusplus
}
#endif
