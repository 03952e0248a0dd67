// The movie header of a recording: ftyp and free at the file's start, and the moov with one video and
// one audio track whose sample tables are empty (the samples live in the fragments). The sample
// entries are shared with the plain MP4 writer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fmp4_box.h"
#include "fmp4_nal.h"

namespace fmp4 {

constexpr size_t kFtypSize = 24;
constexpr size_t kFreeSize = 136;
constexpr size_t kHeadSize = kFtypSize + kFreeSize; // where the moov starts

// The ftyp and free boxes (kHeadSize bytes).
void build_head(uint8_t out[kHeadSize]);

struct VideoParams {
    VideoCodec codec;
    uint16_t width, height;
    const ParamSetList *vps; // H.265 only
    const ParamSetList *sps;
    const ParamSetList *pps;
};

struct AudioParams {
    int codec;           // FMP4_CODEC_ALAW or FMP4_CODEC_OPUS; another codec gets no sample entry
    uint32_t sample_rate;
};

// avc1/avcC or hvc1/hvcC.
void write_video_sample_entry(BoxWriter &w, const VideoParams &v);
// alaw or Opus/dOps; nothing for another codec.
void write_audio_sample_entry(BoxWriter &w, const AudioParams &a);

struct MoovParams {
    VideoParams video;
    AudioParams audio;
    uint32_t video_time_scale;
    uint32_t audio_time_scale;
    uint32_t audio_default_duration; // ticks of one audio frame (trex)
    uint64_t unix_time;              // creation time, seconds since 1970
};

// The boxes of a track up to its open stsd (entry count written): the caller writes the sample entry,
// closes the stsd, writes the sample tables and calls close_trak.
struct TrakHeader {
    bool video = false;
    uint32_t track_id = 0;
    uint64_t unix_time = 0;
    uint32_t time_scale = 0;
    uint32_t movie_duration = 0; // tkhd, in the movie's time scale
    uint32_t media_duration = 0; // mdhd, in the track's time scale
    uint16_t width = 0, height = 0;
};
void open_trak(BoxWriter &w, const TrakHeader &t);
void close_trak(BoxWriter &w);
// mvhd with the next track id 3.
void write_mvhd(BoxWriter &w, uint64_t unix_time, uint32_t time_scale, uint32_t duration);

// The moov into w; w.ok() tells whether it fitted.
void build_moov(BoxWriter &w, const MoovParams &p);

} // namespace fmp4
