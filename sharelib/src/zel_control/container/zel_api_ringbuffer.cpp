// The byte ring: indexes with mirror bits, so a full ring and an empty ring differ without a
// spare byte. Transfers copy in at most two pieces around the end of the buffer.
#include "zel_control/container/zel_api_ringbuffer.h"

#include <string.h>

namespace {

constexpr uint32_t kMaxSize = 0x7fffffffu;

uint32_t index_of(uint32_t word) { return word >> 1; }
uint32_t mirror_of(uint32_t word) { return word & 1u; }
uint32_t make_word(uint32_t index, uint32_t mirror) { return index << 1 | mirror; }

bool usable(const zel_api_ringbuffer_t *r)
{
    return r && r->buffer && r->size > 0;
}

// Copies `len` (<= size) bytes in at the write word and advances it.
void write_bytes(zel_api_ringbuffer_t *r, const uint8_t *data, uint32_t len)
{
    const uint32_t index = index_of(r->write);
    const uint32_t room = r->size - index;
    if (len < room) {
        memcpy(r->buffer + index, data, len);
        r->write = make_word(index + len, mirror_of(r->write));
        return;
    }
    memcpy(r->buffer + index, data, room);
    memcpy(r->buffer, data + room, len - room);
    r->write = make_word(index + len - r->size, mirror_of(r->write) ^ 1u);
}

} // namespace

extern "C" {

void zel_api_ringbuffer_init(zel_api_ringbuffer_t *ring, void *buffer, uint32_t size)
{
    if (!ring)
        return;
    const bool ok = buffer && size > 0 && size <= kMaxSize;
    ring->buffer = ok ? static_cast<uint8_t *>(buffer) : nullptr;
    ring->size = ok ? size : 0;
    ring->read = 0;
    ring->write = 0;
}

uint32_t zel_api_ringbuffer_data_len(const zel_api_ringbuffer_t *ring)
{
    if (!usable(ring))
        return 0;
    const uint32_t r = index_of(ring->read);
    const uint32_t w = index_of(ring->write);
    if (r == w)
        return mirror_of(ring->read) == mirror_of(ring->write) ? 0 : ring->size;
    return w > r ? w - r : ring->size - (r - w);
}

uint32_t zel_api_ringbuffer_space_len(const zel_api_ringbuffer_t *ring)
{
    return usable(ring) ? ring->size - zel_api_ringbuffer_data_len(ring) : 0;
}

uint32_t zel_api_ringbuffer_put(zel_api_ringbuffer_t *ring, const void *data, uint32_t len)
{
    if (!usable(ring) || !data)
        return 0;
    const uint32_t space = zel_api_ringbuffer_space_len(ring);
    if (len > space)
        len = space;
    if (len > 0)
        write_bytes(ring, static_cast<const uint8_t *>(data), len);
    return len;
}

uint32_t zel_api_ringbuffer_put_force(zel_api_ringbuffer_t *ring, const void *data, uint32_t len)
{
    if (!usable(ring) || !data)
        return 0;
    const auto *bytes = static_cast<const uint8_t *>(data);
    if (len > ring->size) {
        bytes += len - ring->size;
        len = ring->size;
    }
    const uint32_t space = zel_api_ringbuffer_space_len(ring);
    if (len == 0)
        return 0;
    write_bytes(ring, bytes, len);
    if (len > space)  // the oldest bytes were overwritten: the ring ends full
        ring->read = make_word(index_of(ring->write), mirror_of(ring->write) ^ 1u);
    return len;
}

uint32_t zel_api_ringbuffer_get(zel_api_ringbuffer_t *ring, void *out, uint32_t len)
{
    if (!usable(ring) || !out)
        return 0;
    const uint32_t held = zel_api_ringbuffer_data_len(ring);
    if (len > held)
        len = held;
    if (len == 0)
        return 0;
    auto *dst = static_cast<uint8_t *>(out);
    const uint32_t index = index_of(ring->read);
    const uint32_t room = ring->size - index;
    if (len < room) {
        memcpy(dst, ring->buffer + index, len);
        ring->read = make_word(index + len, mirror_of(ring->read));
        return len;
    }
    memcpy(dst, ring->buffer + index, room);
    memcpy(dst + room, ring->buffer, len - room);
    ring->read = make_word(index + len - ring->size, mirror_of(ring->read) ^ 1u);
    return len;
}

uint32_t zel_api_ringbuffer_putchar(zel_api_ringbuffer_t *ring, uint8_t byte)
{
    return zel_api_ringbuffer_put(ring, &byte, 1);
}

uint32_t zel_api_ringbuffer_putchar_force(zel_api_ringbuffer_t *ring, uint8_t byte)
{
    return zel_api_ringbuffer_put_force(ring, &byte, 1);
}

uint32_t zel_api_ringbuffer_getchar(zel_api_ringbuffer_t *ring, uint8_t *byte)
{
    return zel_api_ringbuffer_get(ring, byte, 1);
}

} // extern "C"
