// Cuts whole JSON objects out of one link's byte stream. It follows the JSON grammar, so braces
// inside texts do not count, keeps its place across reads, and skips an object larger than the
// receive buffer to the end of that object instead of losing the objects after it. Bytes between
// objects that cannot start one are dropped with the object after them. An object that can never
// complete (cut off, with the next object starting inside it) is given up at the first byte that no
// JSON can have there; when that byte is a "{", the next object begins at it, else (the cut fell
// inside a text) framing picks up again at the first "{" after the cut-off one's start from which a
// whole object follows. A stream that cannot be cut any more (kMaxObject bytes without a whole
// object) is reported as broken: only a new connection finds the next object.
#pragma once

#include <stddef.h>

#include <array>

#include "app/rpc/ko_rpc_syntax.h"

namespace ko_rpc {

class Framer {
public:
    static constexpr size_t kCapacity = 4096; // receive buffer; an object must fit in kCapacity - 1 bytes
    // This many bytes after an object's "{" without a whole object: the stream is out of step.
    static constexpr size_t kMaxObject = 64 * 1024;

    enum class Fault { none, unterminated };

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
    // Objects given up because they could never complete.
    unsigned cut_off() const { return cut_off_; }
    // Why the stream cannot be cut any further; once set, nothing more is framed until reset().
    Fault fault() const { return fault_; }

private:
    void scan();
    void restart_at_brace();
    void resync();
    bool followed_by_object(size_t pos) const;
    void drop_front(size_t n);

    std::array<char, kCapacity> buf_{};
    size_t held_ = 0;     // bytes in buf_
    size_t scanned_ = 0;  // bytes of buf_ already looked at
    size_t start_ = 0;    // offset of the current object's "{" (valid while inside one)
    size_t end_ = 0;      // one past the complete object's "}", 0 when none is complete
    size_t dropped_ = 0;  // stream bytes dropped from the front of buf_ since the last reset
    size_t sync_at_ = 0;  // stream offset of the "{" that began the search for the current object
    ObjectSyntax syntax_;
    bool skipping_ = false;  // inside an object too large to keep
    bool resyncing_ = false; // looking for the first whole object after one that was cut off
    unsigned oversized_ = 0;
    unsigned cut_off_ = 0;
    Fault fault_ = Fault::none;
};

} // namespace ko_rpc
