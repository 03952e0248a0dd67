#include "ztp_pattern.h"

#include <cstring>

#include "common/utils/ko_crc32.h"

namespace ztptest {

namespace {

constexpr size_t kRecord = 256;

void record(int channel, uint32_t n, uint8_t out[kRecord])
{
    const uint32_t head[2] = {static_cast<uint32_t>(channel), n};
    for (int k = 0; k < 2; ++k)
        for (int b = 0; b < 4; ++b)
            out[4 * k + b] = static_cast<uint8_t>(head[k] >> (24 - 8 * b));
    const unsigned start = (n * 7u) % 256u;
    for (size_t i = 0; i < 244; ++i)
        out[8 + i] = static_cast<uint8_t>((start + i) % 256);
    const uint32_t crc = ko_crc32_total(out, 252);
    for (int b = 0; b < 4; ++b)
        out[252 + b] = static_cast<uint8_t>(crc >> (24 - 8 * b));
}

} // namespace

std::string Pattern::next(size_t n)
{
    std::string out;
    out.reserve(n);
    uint8_t r[kRecord];
    while (out.size() < n) {
        const uint64_t at = offset_ % kRecord;
        record(channel_, static_cast<uint32_t>(offset_ / kRecord), r);
        const size_t take = std::min<size_t>(kRecord - at, n - out.size());
        out.append(reinterpret_cast<char *>(r) + at, take);
        offset_ += take;
    }
    return out;
}

void PatternCheck::feed(const char *data, size_t n)
{
    const std::string expected = gen_.next(n);
    // Counted per record that differs, as the phone counts.
    for (size_t i = 0; i < n;) {
        const size_t in_record = kRecord - (total_ + i) % kRecord;
        const size_t take = std::min(in_record, n - i);
        if (std::memcmp(data + i, expected.data() + i, take) != 0)
            ++bad_;
        i += take;
    }
    total_ += n;
}

} // namespace ztptest
