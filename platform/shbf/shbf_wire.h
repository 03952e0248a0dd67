// The frame reader of a link: bytes in, whole frames out; a header whose length is above the limit
// is refused before anything is allocated.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "shbf.h"

namespace shbf {

// One more holder of a frame (released by shbf_free).
void frame_ref(shbf_frame_t *frame);

class Parser {
public:
    explicit Parser(uint32_t max_length) : max_(max_length) {}
    ~Parser() { shbf_free(frame_); }
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;
    void set_max(uint32_t max_length) { max_ = max_length; }
    void reset();
    // Takes n bytes; each completed frame goes to sink(frame, ctx), which owns it. -1 when a header
    // is refused (the link must close), else 0.
    int feed(const uint8_t *p, size_t n, void (*sink)(shbf_frame_t *, void *), void *ctx);

private:
    uint32_t max_;
    uint8_t header_[SHBF_WIRE_HEADER] = {};
    size_t have_ = 0; // header bytes, then body bytes of frame_
    shbf_frame_t *frame_ = nullptr;
};

} // namespace shbf
