// The media of the recording benchmarks: the board's main H.265 stream looped, cut into access units,
// and 40 ms Opus frames of the board's tone to go with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "board_es_split.h"

namespace recbench {

constexpr int kFps = 20;
constexpr int kAudioFps = 25;

struct Media {
    std::vector<uint8_t> video;
    std::vector<board::AccessUnit> units;
    std::vector<std::vector<uint8_t>> audio; // 40 ms Opus frames
    uint64_t bytes = 0;                      // media bytes in all
};

// The main stream `loops` times over (6 s each) and as much audio; made once per loop count.
const Media &board_media(int loops);
// The baseline of the writers: ffmpeg stream-copies the media (written into `dir` as an H.265
// elementary stream and Opus in Ogg) into `out` with the output options `format` ("-f mp4", ...)
// once per iteration; counter "frames_per_s".
void ffmpeg_copy(benchmark::State &state, const Media &m, const std::string &dir, const std::string &out,
                 const std::string &format);
// Error-level logging only.
void quiet();

} // namespace recbench
