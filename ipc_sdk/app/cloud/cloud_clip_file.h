// One MP4 file of a cloud clip, cut from ring reader 1 of a video and an audio channel: opened on
// its path, fed frame by frame, then finished or thrown away.
#pragma once

#include <stdint.h>

#include <vector>

#include "common/ringbuffer/ko_av_frame.h"
#include "common/tiny_mp4/mp4_muxer.h"

inline constexpr unsigned CLOUD_READER = 1;

struct cloud_clip_source {
    unsigned video = 0;
    unsigned audio = 4;
    bool has_audio = false;
    ko_stream_chn_info vinfo{};
    ko_stream_chn_info ainfo{};
};

// The writer's codec id of a channel's encode id: 35 H.265, 33 H.264, -1 none.
int32_t cloud_video_codec(uint32_t encode);

enum class clip_step {
    wrote, // a video frame (and the audio before it) went into the file
    idle,  // nothing new in the ring
    cut,   // a key frame more than 2 s into the file: it opens the next file
};

class cloud_clip_file {
public:
    cloud_clip_file() = default;
    cloud_clip_file(const cloud_clip_file &) = delete;
    cloud_clip_file &operator=(const cloud_clip_file &) = delete;
    ~cloud_clip_file() { abort(); }

    // Opens the writer on the real path: 0, or -1 (logged).
    int open(const cloud_clip_source &src, const char *path);
    clip_step step();
    // Writes the moov and closes: the writer's result.
    int finish();
    // Closes without the moov (the caller deletes the file).
    void abort();
    // Before the file ends for the next one: the audio frame read ahead, which belongs to a later
    // video frame, is given back to the reader so that the next file starts with it.
    void put_back_audio();

    // From the first frame to the end of the last one.
    uint64_t duration_ms() const;
    uint64_t first_us() const { return first_us_; }
    uint64_t end_us() const { return last_us_ + frame_us(); }
    uint32_t video_frames() const { return video_frames_; }
    uint32_t audio_frames() const { return audio_frames_; }
    uint32_t video_errors() const { return video_errors_; }
    uint32_t audio_errors() const { return audio_errors_; }

private:
    uint64_t frame_us() const;
    void write_audio_before(uint64_t video_us);

    cloud_clip_source src_{};
    mp4_muxer_t *muxer_ = nullptr;
    std::vector<uint8_t> vbuf_, abuf_;
    // The audio frame read but not yet written (in abuf_): it goes with a later video frame.
    ko_av_frame ahead_{};
    bool has_ahead_ = false;
    uint64_t first_us_ = 0, last_us_ = 0;
    uint32_t video_frames_ = 0, audio_frames_ = 0, video_errors_ = 0, audio_errors_ = 0;
};
