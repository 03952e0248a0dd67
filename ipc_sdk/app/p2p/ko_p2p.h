// The P2P service as the app client starts and uses it: its start record with the client's callbacks
// (phone commands, talk-back audio, audio switches), the keep-alive switch, commands to a phone's
// session and the count of phones online. It runs the streaming server, one client slot per phone,
// and sends each watching phone live video and audio.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Talk-back audio as it comes from a phone; the bytes are valid during the call only.
typedef struct ko_p2p_audio_frame {
    uint32_t seq;
    uint64_t time_ms;    // the time stamp of the phone's frame header
    int32_t media_type;  // KO_P2P_MEDIA_AUDIO
    const void *data;
    int32_t len;
    uint32_t codec; // KO_AUDIO_CODEC_* of the phone's encoder
} ko_p2p_audio_frame;

#define KO_P2P_MEDIA_AUDIO 4

// A phone command that the service does not handle itself: session slot, command code, the payload
// (`size` bytes, not terminated). The result is logged by the service only.
typedef int (*ko_p2p_cmd_fn)(int session, int cmd, const char *data, int size);
// The frame, then its sequence and media type once more.
typedef void (*ko_p2p_audio_fn)(ko_p2p_audio_frame *frame, uint32_t seq, int media_type);
// kind 1 live audio to the phone, kind 0 the speaker (talk-back); on 1 or 0.
typedef void (*ko_p2p_audio_status_fn)(int kind, bool on);

typedef struct ko_p2p_param {
    int32_t max_session; // number of client slots, not 0
    int32_t send_video_buf;
    int32_t send_audio_buf;
    int32_t recv_video_buf;
    int32_t recv_audio_buf;
    ko_p2p_cmd_fn user_recv_cmd;
    ko_p2p_audio_fn recv_audio;
    ko_p2p_audio_status_fn audio_status; // required
    int32_t encrypt_type;
    int32_t option;
} ko_p2p_param;

typedef struct ko_p2p_conn_info {
    int32_t online;        // sessions online
    uint32_t last_user_op; // wall-clock seconds of the last phone's leaving (the updater's idle test)
} ko_p2p_conn_info;

// 0; -9 already started; -5 no sessions or no audio-status callback; -1 the SDK not started or a
// start step failed.
int ko_p2p_init(const ko_p2p_param *param);
// 0, or -1 when not started.
int ko_p2p_deinit(void);
int ko_p2p_alive_enable(int enable);
// 0 sent; -1 for a NULL payload, a length below 1, an unknown or offline session, or not started.
int ko_p2p_user_cmd_send(int session, int cmd, const void *data, int length);
// Stops the slot's custom-record file transfer: 0 once it is idle (within 200 ms), -1 for a bad slot
// or a transfer that did not stop in time.
int ko_p2p_interrupt_custom_file_transfer(int slot);
// 0 (a NULL record is left alone), or -1 when not started.
int ko_p2p_get_clients_conn_info(ko_p2p_conn_info *info);

#ifdef __cplusplus
}
#endif
