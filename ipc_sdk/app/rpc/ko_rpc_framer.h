// Cuts whole JSON objects out of one link's byte stream. It tracks strings and escapes, so braces
// inside texts do not count, keeps its place across reads, and skips an object larger than the
// receive buffer to the end of that object instead of losing the objects after it. A stream that
// cannot be cut any more (an object that does not end within kMaxObject bytes, or bytes between
// objects that cannot start one) is reported as broken: only a new connection finds the next object.
#pragma once

#include <stddef.h>

#include <array>

#include "common/utils/ko_json_scanner.h"

namespace ko_rpc {

class Framer {
public:
    static constexpr size_t kCapacity = 4096; // receive buffer; an object must fit in kCapacity - 1 bytes
    // An object still open this many bytes after its "{" will not end: the stream is out of step.
    static constexpr size_t kMaxObject = 64 * 1024;

    enum class Fault { none, junk, unterminated };

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
    // Why the stream cannot be cut any further; once set, nothing more is framed until reset().
    Fault fault() const { return fault_; }

private:
    void scan();
    void drop_front(size_t n);

    std::array<char, kCapacity> buf_{};
    size_t held_ = 0;     // bytes in buf_
    size_t scanned_ = 0;  // bytes of buf_ already looked at
    size_t start_ = 0;    // offset of the current object's "{" (valid while inside one)
    size_t end_ = 0;      // one past the complete object's "}", 0 when none is complete
    size_t object_bytes_ = 0; // bytes of the current object seen so far, skipped ones included
    ko_json::ObjectScanner scanner_;
    bool skipping_ = false; // inside an object too large to keep
    unsigned oversized_ = 0;
    Fault fault_ = Fault::none;
};

} // namespace ko_rpc
