#include "ztp_init_string.h"

#include <cstdint>
#include <cstring>

#include "ztp_tables.h"

int ztp_proto_DecodeString(const char *text, char *out, size_t m)
{
    if (text == nullptr || out == nullptr || m == 0)
        return -1;
    out[0] = '\0';
    const char *colon = std::strchr(text, ':');
    const size_t len = colon ? static_cast<size_t>(colon - text) : std::strlen(text);
    if (len % 2 != 0)
        return -1;
    uint8_t s = 0x39;
    size_t i = 0;
    for (; i < len / 2; ++i) {
        // The last byte of out is kept for the terminator.
        if (i + 1 >= m) {
            out[i] = '\0';
            return -1;
        }
        const uint8_t h = static_cast<uint8_t>(text[2 * i]);
        const uint8_t l = static_cast<uint8_t>(text[2 * i + 1]);
        const uint8_t v = static_cast<uint8_t>(h * 16 + l - 81);
        const uint8_t b = v ^ ztp_init_table[i % ZTP_INIT_TABLE_SIZE] ^ s;
        out[i] = static_cast<char>(b);
        s ^= b;
    }
    out[i] = '\0';
    return 0;
}
