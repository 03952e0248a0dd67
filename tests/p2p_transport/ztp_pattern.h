// The channel tests' stream pattern, as the test phone (ztp_channels.py) makes and checks it:
// 256-byte records {BE32 channel, BE32 record number, 244 bytes drawn from the number, BE32 CRC-32
// of the 252 bytes before it}.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace ztptest {

class Pattern {
public:
    explicit Pattern(int channel) : channel_(channel) {}
    // The next n bytes of the stream.
    std::string next(size_t n);

private:
    int channel_;
    uint64_t offset_ = 0;
};

class PatternCheck {
public:
    explicit PatternCheck(int channel) : gen_(channel) {}
    void feed(const char *data, size_t n);
    uint64_t total() const { return total_; }
    uint64_t bad() const { return bad_; }

private:
    Pattern gen_;
    uint64_t total_ = 0;
    uint64_t bad_ = 0;
};

} // namespace ztptest
