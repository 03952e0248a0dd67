// The automatic resolution switch of the cloud recorder: a lower stream when the clip buffer fills
// or the upload is slower than the stream, a higher one again when there is room and speed.
#pragma once

#include <stdint.h>

struct cloud_switch_input {
    unsigned channel;          // the video channel recorded now
    uint32_t free_bytes;       // clip buffer
    uint32_t buffer_size;
    uint32_t upload_speed;     // bytes per second
    uint32_t avg_bitrate;      // the ring's average of the channel, bytes per second
    bool reader_caught_up;     // reader 1 within 3 frames of the newest
    uint64_t since_switch_ms;  // since the last switch
};

// What the ring tells about a channel: whether it exists and the bytes its buffered seconds hold.
typedef bool (*cloud_channel_probe)(unsigned channel, uint64_t *buffered_bytes);

// The channel to record next (the current one when no switch is due).
unsigned cloud_switch_decide(const cloud_switch_input &in, cloud_channel_probe probe);
