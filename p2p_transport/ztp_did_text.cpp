#include "ztp_did_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "ztp_api.h"

namespace {

constexpr size_t kReadMax = 64;

bool is_upper(unsigned char c)
{
    return c >= 'A' && c <= 'Z';
}
bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

int ztp_format_did(const char *in, char *out, size_t size)
{
    if (in == nullptr || out == nullptr || size == 0)
        return -1;
    size_t n = 0;
    int last = 0; // 1 letter, 2 digit
    for (size_t i = 0; i < kReadMax && in[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(in[i])));
        if (c == '-')
            continue;
        const int kind = is_upper(c) ? 1 : is_digit(c) ? 2 : 0;
        if (kind == 0)
            break;
        const bool dash = kind != last && (last != 0 || kind == 2);
        if (n + (dash ? 2 : 1) >= size) {
            out[0] = '\0';
            return -1;
        }
        if (dash)
            out[n++] = '-';
        out[n++] = static_cast<char>(c);
        last = kind;
    }
    out[n] = '\0';
    return 0;
}

int ZTP__CheckValidDID(const char *did)
{
    if (did == nullptr || !is_upper(static_cast<unsigned char>(did[0])))
        return -1;
    int dashes = 0;
    for (size_t i = 0; i < kReadMax && did[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(did[i]);
        if (c == '-')
            ++dashes;
        else if (!is_upper(c) && !is_digit(c))
            break;
    }
    return dashes == 2 ? 0 : -1;
}

int ztp_parse_did_arg(const char *arg, ztp_did *did, char text[24], char dsk[24])
{
    if (arg == nullptr)
        return ERROR_ZTP_INVALID_ID;
    char formatted[ZTP_DID_TEXT_MAX + 1];
    if (ztp_format_did(arg, formatted, sizeof formatted) != 0 || ZTP__CheckValidDID(formatted) != 0)
        return ERROR_ZTP_INVALID_ID;
    const char *d1 = std::strchr(formatted, '-');
    const char *d2 = std::strchr(d1 + 1, '-');
    const size_t prefix_len = static_cast<size_t>(d1 - formatted);
    const size_t serial_len = static_cast<size_t>(d2 - d1 - 1);
    const size_t check_len = std::strlen(d2 + 1);
    if (prefix_len > ZTP_DID_PART_MAX || check_len > ZTP_DID_PART_MAX || serial_len == 0 || serial_len > 10)
        return ERROR_ZTP_INVALID_ID;
    unsigned long long serial = 0;
    for (const char *p = d1 + 1; p < d2; ++p)
        serial = serial * 10 + static_cast<unsigned>(*p - '0');
    if (serial > 0xFFFFFFFFull)
        return ERROR_ZTP_INVALID_ID;

    const char *colon = std::strchr(arg, ':');
    const char *key = colon ? colon + 1 : "";
    if (std::strlen(key) > ZTP_DSK_MAX)
        return ERROR_ZTP_INVALID_PARAMETER;

    std::memset(did, 0, sizeof *did);
    std::memcpy(did->prefix, formatted, prefix_len);
    did->serial = static_cast<uint32_t>(serial);
    std::memcpy(did->check, d2 + 1, check_len);
    if (std::snprintf(text, 24, "%s-%06u-%s", did->prefix, did->serial, did->check) >= 24)
        return ERROR_ZTP_INVALID_ID;
    std::snprintf(dsk, 24, "%s", key);
    return 0;
}
