// Splits an Annex-B H.264 or H.265 elementary stream into access units: byte ranges that start at the
// start code of the first NAL unit of a picture (parameter sets and SEI in front included) and end
// where the next picture's first NAL unit starts, so the units together cover the file exactly and
// match the packets of ffmpeg's stream parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace board {

enum class Codec { h264, h265 };

struct AccessUnit {
    size_t offset;
    size_t size;
    bool key; // holds an IDR picture (H.264) or an IRAP picture (H.265)
};

// The access units of `data`; empty when it holds no picture.
std::vector<AccessUnit> split_access_units(const uint8_t *data, size_t size, Codec codec);

} // namespace board
