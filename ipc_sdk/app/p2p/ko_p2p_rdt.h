// Replies on a phone's RDT channel: a 12-byte head {type, total length, 0} (little-endian) and the
// data behind it, packed into packets of at most VASQ_RDT_MAX bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <array>

#include "vasq_api.h"

namespace ko_p2p {

enum { kRdtHead = 12 };

void put_rdt_le32(uint8_t *p, uint32_t v);
// The head of a reply of `total` bytes.
void put_rdt_head(uint8_t *p, uint32_t type, uint32_t total);
// A failed request's answer: the head alone with length 0.
int send_bare_head(vasq_session *s, uint32_t type);

// Fills full packets and sends each as soon as it is full; flush() sends the rest.
class rdt_packer {
public:
    explicit rdt_packer(vasq_session *s) : session_(s) {}
    // False once a send failed.
    bool add(const void *data, size_t n);
    bool flush();

private:
    vasq_session *session_;
    std::array<uint8_t, VASQ_RDT_MAX> packet_{};
    size_t used_ = 0;
};

// RDT 1: the recording from the index period starting at `time`, as one fragmented MP4.
void rdt_fragment_mp4(vasq_session *s, uint32_t time);

} // namespace ko_p2p
