// Base64 encoder and decoder of the core library (RFC 4648, standard alphabet, "=" padding).
#include "zel_control/evtimer/zel_base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> make_decode_table()
{
    std::array<int8_t, 256> table {};
    for (auto &v : table)
        v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(ALPHABET[i])] = static_cast<int8_t>(i);
    return table;
}

constexpr auto DECODE = make_decode_table();

} // namespace

int base64_encode(const unsigned char *data, size_t len, char *buf, size_t buflen)
{
    if ((!data && len) || !buf)
        return -1;
    const size_t need = (len + 2) / 3 * 4 + 1;
    if (buflen < need || need > static_cast<size_t>(INT32_MAX))
        return -1;
    char *out = buf;
    for (size_t i = 0; i < len; i += 3) {
        const size_t rest = len - i;
        uint32_t group = static_cast<uint32_t>(data[i]) << 16;
        if (rest > 1)
            group |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (rest > 2)
            group |= data[i + 2];
        *out++ = ALPHABET[(group >> 18) & 63];
        *out++ = ALPHABET[(group >> 12) & 63];
        *out++ = rest > 1 ? ALPHABET[(group >> 6) & 63] : '=';
        *out++ = rest > 2 ? ALPHABET[group & 63] : '=';
    }
    *out = '\0';
    return static_cast<int>(out - buf) + 1;
}

int base64_decode(const char *text, size_t len, unsigned char *buf, size_t size)
{
    if ((!text && len) || (!buf && size))
        return -1;
    size_t written = 0;
    uint32_t group = 0;
    int count = 0;
    auto emit = [&](int bytes) {
        if (written + static_cast<size_t>(bytes) > size)
            return false;
        for (int k = 0; k < bytes; ++k)
            buf[written++] = static_cast<unsigned char>(group >> (16 - 8 * k));
        return true;
    };
    for (size_t i = 0; i < len; ++i) {
        const int v = DECODE[static_cast<unsigned char>(text[i])];
        if (v < 0)
            continue;
        group = group << 6 | static_cast<uint32_t>(v);
        if (++count == 4) {
            if (!emit(3))
                return -1;
            group = 0;
            count = 0;
        }
    }
    if (count >= 2) {
        group <<= 6 * (4 - count);
        if (!emit(count - 1))
            return -1;
    }
    if (written > static_cast<size_t>(INT32_MAX))
        return -1;
    return static_cast<int>(written);
}
