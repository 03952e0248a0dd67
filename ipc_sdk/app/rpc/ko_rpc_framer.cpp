// Cutting whole JSON objects out of a link's byte stream, grammar-aware, with resync after an
// oversized or a cut-off object and a bound on how far it searches.
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
    if (!syntax_.inside()) {
        // Bytes before the next object's "{": they are never part of one.
        drop_front(held_);
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
        drop_front(held_);
    }
}

void Framer::drop_front(size_t n)
{
    std::memmove(buf_.data(), buf_.data() + n, held_ - n);
    held_ -= n;
    scanned_ -= n;
    dropped_ += n;
    buf_[held_] = '\0';
}

void Framer::scan()
{
    while (end_ == 0 && fault_ == Fault::none && scanned_ < held_) {
        const char c = buf_[scanned_++];
        if ((syntax_.inside() || resyncing_) && dropped_ + scanned_ - sync_at_ > kMaxObject) {
            fault_ = Fault::unterminated;
            continue;
        }
        if (!syntax_.inside()) {
            // Bytes before an object's "{" are dropped with it.
            if (c == '{') {
                syntax_.open();
                start_ = scanned_ - 1;
                if (!resyncing_)
                    sync_at_ = dropped_ + start_;
            }
            continue;
        }
        const ObjectSyntax::Step step = syntax_.feed(c);
        if (step == ObjectSyntax::Step::more)
            continue;
        if (step == ObjectSyntax::Step::broken && c == '{' && !resyncing_) {
            restart_at_brace();
            continue;
        }
        if (step == ObjectSyntax::Step::broken || (resyncing_ && !followed_by_object(scanned_))) {
            resync();
            continue;
        }
        resyncing_ = false;
        if (skipping_) {
            skipping_ = false;
            drop_front(scanned_);
        } else {
            end_ = scanned_;
        }
    }
}

// The object being scanned was cut off by a "{" that it cannot hold where it stands: that is where
// the next object begins. The values nested in the cut-off one before it are never framed.
void Framer::restart_at_brace()
{
    ++cut_off_;
    skipping_ = false;
    syntax_.reset();
    scanned_ -= 1;
}

// The object being scanned can never complete, and the byte that showed it is not a "{" (the cut
// fell inside a text, which took the start of the next object in, or stray bytes followed it), or
// an object tried after it failed. The next object starts at one of the "{" after the cut-off one's
// start; each is tried in turn, and the first from which a whole object follows is taken.
void Framer::resync()
{
    if (!resyncing_)
        ++cut_off_;
    resyncing_ = true;
    const size_t from = skipping_ ? 0 : start_ + 1;
    skipping_ = false;
    syntax_.reset();
    const void *brace = std::memchr(buf_.data() + from, '{', held_ - from);
    scanned_ = brace ? static_cast<size_t>(static_cast<const char *>(brace) - buf_.data()) : held_;
}

// Objects on a link follow one another with white space between them. A whole object found while
// resyncing that is followed by anything else is taken for a value inside the cut-off one.
bool Framer::followed_by_object(size_t pos) const
{
    while (pos < held_ && is_space(buf_[pos]))
        ++pos;
    return pos == held_ || buf_[pos] == '{';
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
    held_ = scanned_ = start_ = end_ = dropped_ = sync_at_ = 0;
    syntax_.reset();
    skipping_ = resyncing_ = false;
    fault_ = Fault::none;
    buf_[0] = '\0';
}

} // namespace ko_rpc
