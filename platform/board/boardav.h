// The board media library: capture and encoders (main and sub video stream, 16 kHz mono audio), key-frame
// requests, JPEG snapshots, ISP day/night mode and white balance, image features, speaker and
// talk-back playback, OSD time stamp, baby-cry and loud-sound detection. Results: 0 means success
// unless stated.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { BOARD_FRAME_H265 = 0, BOARD_FRAME_H264 = 1 };

// One encoded video frame: an access unit in Annex-B form, parameter sets in front of every key frame.
typedef struct board_video_frame_info {
    int32_t frame_type; // BOARD_FRAME_H265 or BOARD_FRAME_H264
    uint64_t timestamp; // capture time, monotonic clock in microseconds
    int32_t length;     // bytes written to the caller's buffer; 0 = no frame
    int32_t key_frame;  // 1 for a key frame
} board_video_frame_info_t;

// One audio frame: 16-bit little-endian PCM, 16000 Hz, mono, 40 ms (1280 bytes).
typedef struct board_audio_frame_info {
    uint64_t timestamp; // capture time, monotonic clock in microseconds
    int32_t length;     // bytes written; 0 = no frame
} board_audio_frame_info_t;

typedef struct board_jpeg_info {
    int32_t width;
    int32_t height;
    int32_t quality;
    int32_t reserved;
    int32_t length; // bytes of JPEG written to the caller's buffer
} board_jpeg_info_t;

// Start and stream.
int set_main_stream_info(void); // before board_system_init: main stream 2560 x 1440 instead of 2880 x 1620
int board_system_init(int video_on, int reserved);
int board_system_exit(void);
int start_stream(int a, int b, int c);
int stop_stream(int a, int b, int c);
// Waits up to 100 ms for the next frame of channel 0 (main) or 1 (sub). 0 with a frame or with length 0
// (none yet); -1 error (not started, bad argument); -2 frames were lost (a frame larger than `cap`, or
// the reader fell more than 2 s behind): request a key frame.
int get_video_stream(int chn, void *buf, int cap, board_video_frame_info_t *info);
// Waits up to 100 ms for the next audio frame. 0 with a frame or length 0; -1 error.
int get_audio_stream_ex(void *buf, int cap, board_audio_frame_info_t *info);
int req_IDR_one(int chn); // the next frame of that channel is a key frame
int req_IDR(void);        // the next frame of every video channel is a key frame

// Image.
int set_video_Vflip(void);
int set_video_normal(void);
int enable_logo(void);
int disable_logo(void);
int enable_osd(void);
int disable_osd(void);
int enable_ldc(void);
int disable_ldc(void);
int enable_wdr(void);
int disable_wdr(void);
int osd_update_timestamp(int mode);
int set_isp_dnmode(int mode); // 0 colour (day), 1 black and white (night)
int get_isp_dnmode(int *mode);
int get_isp_ev(int *ev);
int set_isp_wb(int mode);
int get_isp_wb(int *mode);
// An NV12 picture of the sub stream's size (864 x 480) into buf; the length, or -1.
int get_raw_frame(int chn, void *buf, int cap, uint8_t flag);
// JPEG of the current picture; -1 not started, -2 does not fit in cap.
int get_jpeg_snap(void *buf, int cap, board_jpeg_info_t *info);

// Speaker.
int enable_speaker(void);
int disable_speaker(void);
int enable_aec(void);
int disable_aec(void);
int set_speaker_vol(int vol);
int set_speaker_vol_percentage(int percent); // 0 to 100
int set_speaker_mute(uint8_t mute);
int play_sound(const void *data, int len);    // prompt files, any length
int play_sound_ex(const void *data, int len); // talk-back chunks of up to 1280 bytes

// Microphone gain of the audio input: 0 lowers it (the audio frames carry silence), 1 restores it.
int dorvi_set_mic_gain(int on);

// Audio detection.
int get_soc_babycry_result(int *result); // 0 = read; *result 1 = crying detected
int set_soc_lsd_threshold(int sensitivity);

#ifdef __cplusplus
}
#endif
