#include "common/utils/ko_crc32.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> make_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr auto kTable = make_table();

} // namespace

uint32_t ko_crc32_init(void)
{
    return 0xFFFFFFFFu;
}

uint32_t ko_crc32_update(uint32_t crc, const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < len; ++i)
        crc = kTable[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

uint32_t ko_crc32_finish(uint32_t crc)
{
    return ~crc;
}

uint32_t ko_crc32_total(const void *data, size_t len)
{
    if (len == 0)
        return 0;
    return ko_crc32_finish(ko_crc32_update(ko_crc32_init(), data, len));
}
