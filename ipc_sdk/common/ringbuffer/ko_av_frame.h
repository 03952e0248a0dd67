// The records of the media path: a stream channel's parameters and one encoded audio or video frame as
// a producer hands it to the frame ring buffer and as a reader gets it back.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KO_FRAME_TYPE_P = 1,     // video frame that is not a key frame
    KO_FRAME_TYPE_I = 3,     // video key frame
    KO_FRAME_TYPE_AUDIO = 4, // audio frame
};

enum { KO_STREAM_CHN_MAX = 9 }; // channel numbers 0 to 8

// Asks the encoder of a video channel for a key frame.
typedef void (*ko_force_iframe_fn)(int channel);

typedef struct ko_video_resolution {
    uint16_t width;
    uint16_t height;
} ko_video_resolution;

// Eight words on the 32-bit target.
typedef struct ko_stream_chn_info {
    uint32_t channel;
    union {
        ko_video_resolution resolution; // video
        uint32_t samplerate;            // audio, Hz
    };
    union {
        ko_force_iframe_fn force_iframe; // video; may be empty
        uint32_t samplebit;              // audio, 8 or 16
    };
    uint32_t gop;     // frames from one key frame to the next
    uint32_t encode;  // codec id
    uint32_t bitrate; // kbit/s
    uint32_t fps;
    uint32_t seconds; // seconds to buffer
} ko_stream_chn_info;

// 40 bytes on the 32-bit target. The ring assigns seq_no (1 for a channel's first frame) and
// node_index, and replaces a timestamp_us of 0 by the monotonic clock.
typedef struct ko_av_frame {
    uint32_t seq_no;
    uint32_t node_index;
    uint64_t timestamp_us;
    uint64_t timestamp_s;
    uint32_t frame_tag;  // copied unchanged (the client passes 2 for video, 0 for audio)
    uint32_t frame_type; // KO_FRAME_TYPE_*
    void *data;
    uint32_t size;
} ko_av_frame;

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(void *) != 4 || sizeof(ko_stream_chn_info) == 32, "ko_stream_chn_info is 32 bytes on the target");
static_assert(sizeof(void *) != 4 || sizeof(ko_av_frame) == 40, "ko_av_frame is 40 bytes on the 32-bit target");
#endif
