// The shared-buffer broadcaster of the media app: six named endpoints ("/run/<name>" below the path
// root) through which other processes take the camera's media, and through which they send back
// audio to play (endpoint 5) or key-frame requests ("REQ_IDR", the others). Every libev call runs on
// "nas_ev", the thread of the default loop, through its hand-over; frames are broadcast from any
// thread and never wait for a receiver. Nothing in start-up starts it.
//
// What a receiver reads (the shared-buffer wire format, shbf.h): per frame a 16-byte little-endian
// header {u32 length, u32 flags (bit 0 key frame), u64 time stamp in ms} and `length` bytes. What it
// may send: the same header and the message bytes.
#pragma once

#include <atomic>
#include <mutex>

#include "shbf.h"

enum {
    SHBF_TYPE_VIDEO_MAIN = 0,
    SHBF_TYPE_VIDEO_SUB = 1,
    SHBF_TYPE_VIDEO_RAW = 2,
    SHBF_TYPE_JPEG_SNAP = 3,
    SHBF_TYPE_AUDIO_IN = 4,
    SHBF_TYPE_AUDIO_PLAY = 5,
    SHBF_TYPE_COUNT = 6
};

// One endpoint. `lock` guards `handle` between the loop thread, which creates and destroys it, and
// the threads that broadcast.
struct shbf_server_t {
    std::mutex lock;
    shbfev_brd_t *handle = nullptr;
    std::atomic<int> count{0};
    int type = 0;
};
extern shbf_server_t shbf_server[SHBF_TYPE_COUNT];

extern "C" {

// Starts zel_shbf_thread (detached).
void zel_shbf_init(void);
// Creates the six broadcasters in type order, then stays while gs_zelmar_app_running is set and
// destroys them afterwards.
void *zel_shbf_thread(void *arg);
// A frame of `size` bytes from the type's broadcaster, or null when it is not created or the type is
// outside 0..5. Fill data, length (<= size), key and timestamp, then hand it to broadcast_av.
void *shbfev_alloc(int type, int size);
// Publishes a frame from shbfev_alloc to every receiver of the type; the frame is always consumed.
// 0 when it was sent or nobody listens, -1 when refused.
int broadcast_av(int type, void *buf);
// Stops the default loop (on "nas_ev").
void sig_stop_ev(void);
}
