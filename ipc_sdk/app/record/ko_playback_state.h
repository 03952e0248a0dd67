// The playback handle shared by the control calls (ko_playback.cpp) and the two threads
// (ko_playback_threads.cpp), and the statistics they count.
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <mutex>

#include "common/utils/ko_thread.h"
#include "ko_playback.h"

namespace pb {

enum State { kPaused = 0, kPlaying = 1, kStopping = 2 };

enum StatKey {
    kStart, kStartErr, kNoMp4File, kMp4DemuxFile, kMp4OpenErr, kMp4FrameV, kMp4FrameVErr, kVFrameSend,
    kVFrameSendErr, kMp4FrameA, kMp4FrameAErr, kAFrameSend, kAFrameSendErr, kStop, kStopEnd, kStopErr,
    kVStep1, kVStep2, kVStep3, kAStep1, kAStep2, kAStep3, kStatCount
};
void count(StatKey key);

} // namespace pb

struct ko_playback {
    std::mutex lock; // the reader, the state, the speed and the period below
    fmp4_demuxer_t *reader = nullptr; // closed only through pb::close_reader
    int state = pb::kPlaying;
    int speed = 1;
    bool stop_requested = false;
    bool audio_ended = false;
    uint32_t file_switches = 0; // bumped when another period is opened: held audio is stale
    ko_thread *video_thread = nullptr, *audio_thread = nullptr;
    ko_playback_callbacks_t callbacks{};
    void *user = nullptr, *value = nullptr;
    ko_playback_request_t request{};
    ko_playback_meta_t meta{};
    uint32_t period_start = 0;    // the period playing (Unix seconds)
    uint64_t origin_ms = 0;       // decode time of its first video frame
    uint32_t samples = 0, keys = 0; // of its video track
    bool video_sent = false;      // a frame of this period has been taken
    uint64_t last_video_us = 0;   // its time stamp: audio stays at or behind it
    uint32_t gop_frames = 0;      // frames read since the last key-frame jump
    int previous_speed = 1;       // the speed of the last video read
};

namespace pb {

// Hands a status to the caller's callback, when it gave one.
void report(ko_playback &h, int status);
// Closes the handle's reader once (lock held).
void close_reader(ko_playback &h);
// Opens the period starting at `start` (lock held): 0, or -1 logged and counted.
int open_period(ko_playback &h, uint32_t start);
void *video_thread(void *arg);
void *audio_thread(void *arg);

} // namespace pb
