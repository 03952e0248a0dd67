// Little-endian field access for records that cross a file, a socket or a process: every field is
// stored byte by byte, so the layout is the same on any host.
#pragma once

#include <stdint.h>

inline void zel_put_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void zel_put_le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void zel_put_le64(uint8_t *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint16_t zel_get_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t zel_get_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t zel_get_le64(const uint8_t *p)
{
    return static_cast<uint64_t>(zel_get_le32(p)) | (static_cast<uint64_t>(zel_get_le32(p + 4)) << 32);
}
