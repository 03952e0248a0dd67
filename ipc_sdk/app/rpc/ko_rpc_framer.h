// Cuts whole JSON objects out of one link's byte stream. It tracks strings and escapes, so braces
// inside texts do not count, keeps its place across reads, and skips an object larger than the
// receive buffer to the end of that object instead of losing the objects after it.
#pragma once

#include <stddef.h>

#include <array>

namespace ko_rpc {

class Framer {
public:
    static constexpr size_t kCapacity = 4096; // receive buffer; an object must fit in kCapacity - 1 bytes

    // Free room for the next read (one byte is kept for a terminating NUL).
    char *space() { return buf_.data() + held_; }
    size_t space_left() const { return kCapacity - 1 - held_; }
    // Accounts for `n` bytes just read into space().
    void commit(size_t n);

    // The next whole object held: true with [*obj, *obj + *len). The object stays held until pop().
    bool next(const char **obj, size_t *len);
    // Drops everything up to the end of the object next() returned.
    void pop();
    // Drops all held bytes and any partial object (a link that closed).
    void reset();

    size_t held() const { return held_; }
    // Objects dropped because they did not fit.
    unsigned oversized() const { return oversized_; }

private:
    void scan();

    std::array<char, kCapacity> buf_{};
    size_t held_ = 0;     // bytes in buf_
    size_t scanned_ = 0;  // bytes of buf_ already looked at
    size_t start_ = 0;    // offset of the current object's "{" (valid while depth_ > 0)
    size_t end_ = 0;      // one past the complete object's "}", 0 when none is complete
    int depth_ = 0;
    bool in_string_ = false;
    bool escape_ = false;
    bool skipping_ = false; // inside an object too large to keep
    unsigned oversized_ = 0;
};

} // namespace ko_rpc
