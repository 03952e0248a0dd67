// The Annex-B scanner looks for the 0x01 of each start code with memchr, so a frame is scanned at
// memory speed rather than byte by byte.
#include "fmp4_nal.h"

#include <string.h>

namespace fmp4 {

namespace {

// Position of the next "00 00 01" at or after `from`, or `size`.
size_t find_start_code(const uint8_t *buf, size_t size, size_t from)
{
    size_t i = from + 2;
    while (i < size) {
        const void *hit = memchr(buf + i, 1, size - i);
        if (!hit)
            return size;
        i = static_cast<size_t>(static_cast<const uint8_t *>(hit) - buf);
        if (buf[i - 1] == 0 && buf[i - 2] == 0)
            return i - 2;
        i++;
    }
    return size;
}

} // namespace

bool next_nal(const uint8_t *buf, size_t size, size_t *pos, Nal *out)
{
    size_t sc = find_start_code(buf, size, *pos);
    while (sc < size) {
        const size_t begin = sc + 3;
        size_t end = find_start_code(buf, size, begin);
        *pos = end;
        const size_t next = end;
        while (end > begin && buf[end - 1] == 0)
            end--;
        if (end > begin) {
            out->data = buf + begin;
            out->size = end - begin;
            return true;
        }
        sc = next; // an empty unit between two start codes
    }
    *pos = size;
    return false;
}

int nal_type(VideoCodec codec, const Nal &nal)
{
    return codec == VideoCodec::h264 ? (nal.data[0] & 0x1F) : ((nal.data[0] >> 1) & 0x3F);
}

NalRole nal_role(VideoCodec codec, const Nal &nal)
{
    const int type = nal_type(codec, nal);
    if (codec == VideoCodec::h264) {
        switch (type) {
        case 7: return NalRole::sps;
        case 8: return NalRole::pps;
        case 9: return NalRole::aud;
        case 5: return NalRole::key_slice;
        default: return NalRole::other;
        }
    }
    switch (type) {
    case 32: return NalRole::vps;
    case 33: return NalRole::sps;
    case 34: return NalRole::pps;
    case 35: return NalRole::aud;
    default: return type >= 16 && type <= 21 ? NalRole::key_slice : NalRole::other;
    }
}

void ParamSetList::add(const uint8_t *nal, size_t size)
{
    if (size == 0 || size > kMaxParamSetSize || count_ >= kMaxParamSets)
        return;
    for (size_t at = 0; at + 2 <= bytes_.size();) {
        const size_t len = static_cast<size_t>(bytes_[at] << 8 | bytes_[at + 1]);
        if (len == size && memcmp(bytes_.data() + at + 2, nal, size) == 0)
            return;
        at += 2 + len;
    }
    bytes_.push_back(static_cast<uint8_t>(size >> 8));
    bytes_.push_back(static_cast<uint8_t>(size));
    bytes_.insert(bytes_.end(), nal, nal + size);
    count_++;
}

const uint8_t *ParamSetList::first(size_t *size) const
{
    if (bytes_.size() < 2)
        return nullptr;
    *size = static_cast<size_t>(bytes_[0] << 8 | bytes_[1]);
    return bytes_.data() + 2;
}

void ParamSetList::clear()
{
    bytes_.clear();
    count_ = 0;
}

} // namespace fmp4
