// Building ISO base media boxes in memory: big-endian fields, nested boxes whose sizes are filled in
// when they close, and a writer that stops (and says so once) instead of running past its buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace fmp4 {

inline void put_be16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void put_be64(uint8_t *p, uint64_t v)
{
    put_be32(p, static_cast<uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<uint32_t>(v));
}
inline uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint64_t be64(const uint8_t *p) { return static_cast<uint64_t>(be32(p)) << 32 | be32(p + 4); }

inline void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint32_t le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// An 8-byte box header: size and four-character type.
inline void put_box_header(uint8_t *p, uint32_t size, const char *type)
{
    put_be32(p, size);
    for (int i = 0; i < 4; i++)
        p[4 + i] = static_cast<uint8_t>(type[i]);
}

class BoxWriter {
public:
    BoxWriter(uint8_t *buf, size_t capacity) : buf_(buf), cap_(capacity) {}

    void u8(uint8_t v);
    void u16(uint16_t v);
    void u24(uint32_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void bytes(const void *data, size_t n);
    void zeros(size_t n);
    void fourcc(const char *type);

    // Starts a box (a full box also writes its version and 24-bit flags); close() fills its size.
    void open(const char *type);
    void open_full(const char *type, uint8_t version, uint32_t flags);
    void close();

    // False once anything did not fit or the nesting broke; the content is then unusable.
    bool ok() const { return ok_ && depth_ == 0; }
    size_t size() const { return len_; }
    const uint8_t *data() const { return buf_; }

private:
    bool room(size_t n);

    static constexpr int kMaxDepth = 12;
    uint8_t *buf_;
    size_t cap_;
    size_t len_ = 0;
    bool ok_ = true;
    size_t stack_[kMaxDepth] = {};
    int depth_ = 0;
};

} // namespace fmp4
