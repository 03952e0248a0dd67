// Frame records, the wire header and the frame reader.
#include "shbf_wire.h"

#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

// The allocation behind a frame: shared by every receiver queue that holds it.
struct Block {
    int refs;
    shbf_frame_t frame;
};

Block *block_of(void *frame)
{
    return reinterpret_cast<Block *>(static_cast<char *>(frame) - offsetof(Block, frame));
}

} // namespace

extern "C" shbf_frame_t *shbf_frame_alloc(uint32_t size)
{
    auto *b = static_cast<Block *>(malloc(sizeof(Block) + size));
    if (!b)
        return nullptr;
    b->refs = 1;
    b->frame = {};
    b->frame.data = reinterpret_cast<uint8_t *>(b + 1);
    b->frame.length = size;
    return &b->frame;
}

namespace shbf {
void frame_ref(shbf_frame_t *f) { __atomic_add_fetch(&block_of(f)->refs, 1, __ATOMIC_RELAXED); }
} // namespace shbf

extern "C" void shbf_free(void *frame)
{
    if (frame && __atomic_sub_fetch(&block_of(frame)->refs, 1, __ATOMIC_ACQ_REL) == 0)
        free(block_of(frame));
}

extern "C" void shbf_wire_put_header(uint8_t *out, uint32_t length, uint32_t flags, uint64_t timestamp)
{
    for (int i = 0; i < 4; i++) {
        out[i] = static_cast<uint8_t>(length >> (8 * i));
        out[4 + i] = static_cast<uint8_t>(flags >> (8 * i));
    }
    for (int i = 0; i < 8; i++)
        out[8 + i] = static_cast<uint8_t>(timestamp >> (8 * i));
}

extern "C" void shbf_wire_get_header(const uint8_t *in, uint32_t *length, uint32_t *flags, uint64_t *timestamp)
{
    uint32_t l = 0, f = 0;
    uint64_t t = 0;
    for (int i = 0; i < 4; i++) {
        l |= static_cast<uint32_t>(in[i]) << (8 * i);
        f |= static_cast<uint32_t>(in[4 + i]) << (8 * i);
    }
    for (int i = 0; i < 8; i++)
        t |= static_cast<uint64_t>(in[8 + i]) << (8 * i);
    *length = l;
    *flags = f;
    *timestamp = t;
}

namespace shbf {

void Parser::reset()
{
    shbf_free(frame_);
    frame_ = nullptr;
    have_ = 0;
}

int Parser::feed(const uint8_t *p, size_t n, void (*sink)(shbf_frame_t *, void *), void *ctx)
{
    while (n > 0) {
        if (!frame_) {
            size_t take = SHBF_WIRE_HEADER - have_ < n ? SHBF_WIRE_HEADER - have_ : n;
            memcpy(header_ + have_, p, take);
            have_ += take, p += take, n -= take;
            if (have_ < SHBF_WIRE_HEADER)
                return 0;
            uint32_t length, flags;
            uint64_t ts;
            shbf_wire_get_header(header_, &length, &flags, &ts);
            if (length > max_)
                return -1;
            frame_ = shbf_frame_alloc(length);
            if (!frame_)
                return -1;
            frame_->flags = flags;
            frame_->key = (flags & SHBF_FLAG_KEY) ? 1 : 0;
            frame_->timestamp = ts;
            have_ = 0;
        }
        size_t take = frame_->length - have_ < n ? frame_->length - have_ : n;
        memcpy(frame_->data + have_, p, take);
        have_ += take, p += take, n -= take;
        if (have_ == frame_->length) {
            shbf_frame_t *done = frame_;
            frame_ = nullptr;
            have_ = 0;
            sink(done, ctx);
        }
    }
    return 0;
}

} // namespace shbf
