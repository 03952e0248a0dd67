// Cutting whole JSON objects out of a link's byte stream, string-aware, with resync after an oversized object.
#include "app/rpc/ko_rpc_framer.h"

#include <cstring>

namespace ko_rpc {

void Framer::commit(size_t n)
{
    held_ += n;
    buf_[held_] = '\0';
    scan();
    if (end_ == 0 && depth_ > 0 && start_ > 0) {
        // Bytes before the object's "{" are dropped with it; make room for the rest of it now.
        std::memmove(buf_.data(), buf_.data() + start_, held_ - start_);
        held_ -= start_;
        scanned_ -= start_;
        start_ = 0;
        buf_[held_] = '\0';
    }
    if (end_ == 0 && space_left() == 0 && depth_ > 0) {
        // The object cannot complete within the buffer: forget its bytes but keep counting its
        // braces, so the stream picks up again right after it.
        if (!skipping_)
            ++oversized_;
        skipping_ = true;
        held_ = scanned_ = start_ = 0;
        buf_[0] = '\0';
    } else if (end_ == 0 && depth_ == 0) {
        // Nothing but bytes between objects: they are never part of one.
        held_ = scanned_ = 0;
        buf_[0] = '\0';
    }
}

void Framer::scan()
{
    while (end_ == 0 && scanned_ < held_) {
        const char c = buf_[scanned_++];
        if (depth_ == 0) {
            if (c == '{') {
                depth_ = 1;
                start_ = scanned_ - 1;
            }
            continue;
        }
        if (in_string_) {
            if (escape_)
                escape_ = false;
            else if (c == '\\')
                escape_ = true;
            else if (c == '"')
                in_string_ = false;
            continue;
        }
        if (c == '"') {
            in_string_ = true;
        } else if (c == '{') {
            ++depth_;
        } else if (c == '}' && --depth_ == 0) {
            if (skipping_) {
                skipping_ = false;
                std::memmove(buf_.data(), buf_.data() + scanned_, held_ - scanned_);
                held_ -= scanned_;
                scanned_ = 0;
                buf_[held_] = '\0';
            } else {
                end_ = scanned_;
            }
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
    std::memmove(buf_.data(), buf_.data() + end_, held_ - end_);
    held_ -= end_;
    scanned_ = 0;
    end_ = 0;
    buf_[held_] = '\0';
    scan();
}

void Framer::reset()
{
    held_ = scanned_ = start_ = end_ = 0;
    depth_ = 0;
    in_string_ = escape_ = skipping_ = false;
    buf_[0] = '\0';
}

} // namespace ko_rpc
