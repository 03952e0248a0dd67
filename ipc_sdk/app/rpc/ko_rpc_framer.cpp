// Cutting whole JSON objects out of a link's byte stream, string-aware, with resync after an
// oversized object and a bound on how far it skips.
#include "app/rpc/ko_rpc_framer.h"

#include <cstring>

namespace ko_rpc {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

} // namespace

void Framer::commit(size_t n)
{
    held_ += n;
    buf_[held_] = '\0';
    scan();
    if (fault_ != Fault::none || end_ != 0)
        return;
    if (!scanner_.inside()) {
        // Nothing but white space between objects: it is never part of one.
        held_ = scanned_ = 0;
        buf_[0] = '\0';
        return;
    }
    if (start_ > 0) {
        // Make room for the rest of the object now.
        drop_front(start_);
        start_ = 0;
    }
    if (space_left() == 0) {
        // The object cannot complete within the buffer: forget its bytes but keep scanning it, so
        // the stream picks up again right after it.
        if (!skipping_)
            ++oversized_;
        skipping_ = true;
        held_ = scanned_ = 0;
        buf_[0] = '\0';
    }
}

void Framer::drop_front(size_t n)
{
    std::memmove(buf_.data(), buf_.data() + n, held_ - n);
    held_ -= n;
    scanned_ -= n;
    buf_[held_] = '\0';
}

void Framer::scan()
{
    while (end_ == 0 && fault_ == Fault::none && scanned_ < held_) {
        const char c = buf_[scanned_++];
        if (!scanner_.inside()) {
            if (c == '{') {
                scanner_.open();
                start_ = scanned_ - 1;
                object_bytes_ = 1;
            } else if (!is_space(c)) {
                fault_ = Fault::junk;
            }
            continue;
        }
        if (++object_bytes_ > kMaxObject) {
            fault_ = Fault::unterminated;
            continue;
        }
        if (!scanner_.feed(c))
            continue;
        if (skipping_) {
            skipping_ = false;
            drop_front(scanned_);
        } else {
            end_ = scanned_;
        }
    }
}

bool Framer::next(const char **obj, size_t *len)
{
    if (end_ == 0)
        return false;
    *obj = buf_.data() + start_;
    *len = end_ - start_;
    return true;
}

void Framer::pop()
{
    if (end_ == 0)
        return;
    const size_t end = end_;
    end_ = 0;
    scanned_ = end;
    drop_front(end);
    start_ = 0;
    scan();
}

void Framer::reset()
{
    held_ = scanned_ = start_ = end_ = object_bytes_ = 0;
    scanner_.reset();
    skipping_ = false;
    fault_ = Fault::none;
    buf_[0] = '\0';
}

} // namespace ko_rpc
