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

// The moov into w; w.ok() tells whether it fitted.
void build_moov(BoxWriter &w, const MoovParams &p);

} // namespace fmp4
