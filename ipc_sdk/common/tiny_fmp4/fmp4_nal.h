// Annex-B NAL units: the scanner that cuts an access unit at its start codes, the NAL types the
// writers care about, and the parameter-set lists of a track.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "fmp4_codec.h"

namespace fmp4 {

enum class VideoCodec { h264, h265 };

struct Nal {
    const uint8_t *data; // first byte of the NAL header, no start code
    size_t size;         // without the zero bytes in front of the next start code
};

// The next NAL unit of an Annex-B buffer from *pos on; false when none is left. Bytes before the
// first start code are not a NAL unit and are skipped.
bool next_nal(const uint8_t *buf, size_t size, size_t *pos, Nal *out);

int nal_type(VideoCodec codec, const Nal &nal);

enum class NalRole { vps, sps, pps, aud, key_slice, other };
NalRole nal_role(VideoCodec codec, const Nal &nal);

// One kind of parameter set as a sample entry stores it: entries of a 2-byte big-endian length and
// the NAL unit without start code; an entry equal to one already held is not added again.
class ParamSetList {
public:
    void add(const uint8_t *nal, size_t size);
    int count() const { return count_; }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    // The first entry's NAL unit (without its length), or null.
    const uint8_t *first(size_t *size) const;
    void clear();

private:
    std::vector<uint8_t> bytes_;
    int count_ = 0;
};

// A NAL unit that large cannot be a parameter set; a bigger one is not kept.
constexpr size_t kMaxParamSetSize = 4096;
// Parameter sets per kind kept at most.
constexpr int kMaxParamSets = 16;

} // namespace fmp4
