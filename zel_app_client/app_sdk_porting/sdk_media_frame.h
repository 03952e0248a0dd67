// What the main program hands to the app-client library: one encoded frame at a time from the media
// fetch threads, and detection events from the algorithm app. A frame record lives on the caller's
// stack and its bytes in the caller's buffer, both valid only during the call: a client copies what
// it keeps before it returns.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SDK_MEDIA_CHANNEL_MAIN = 0,
    SDK_MEDIA_CHANNEL_SUB = 1,
    SDK_MEDIA_CHANNEL_AUDIO = 2,
};

enum { SDK_MEDIA_TYPE_AUDIO = 0, SDK_MEDIA_TYPE_VIDEO = 1 };

typedef struct sdk_media_frame {
    void *data;
    int32_t len;      // bytes at data
    int32_t stream;   // 0 from the video threads, 1 from the audio thread; the client does not read it
    int32_t channel;  // SDK_MEDIA_CHANNEL_*
    uint64_t ts_ms;   // capture time: the board's microsecond stamp / 1000
    uint32_t seq;     // the fetch thread's frame counter
    uint8_t key;      // 1 for a video key frame
    uint8_t kind;     // 1 when the board reports frame kind 0; the client does not read it
    uint8_t type;     // SDK_MEDIA_TYPE_*
    int32_t reserved; // left zero
} sdk_media_frame_t;

#ifdef __cplusplus
// Both libraries of the 32-bit target see one layout (the 64-bit stamp 8-aligned, as on ARM EABI).
static_assert(sizeof(void *) != 4 || alignof(uint64_t) != 8 || sizeof(sdk_media_frame_t) == 40,
              "sdk_media_frame_t is 40 bytes on the 32-bit target");
#endif

// 0 while the client is not up (the frame is dropped), else the client's result: 0 accepted.
int sdk_porting_push_stream_data(sdk_media_frame_t *frame);
// A detection event (client event type); 0 while the client is not up, else the client's result.
int sdk_porting_event_push(int event_type);

#ifdef __cplusplus
}
#endif
