// Base64 encoders and decoders over the standard and the URL-safe alphabet (RFC 4648).
#include "common/utils/vexa_base64.h"

#include <cstddef>

#include "common/utils/ko_log.h"

namespace {

const char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Encodes in groups of three; returns the length of the text without padding.
size_t encode(const unsigned char *in, unsigned len, char *out, const char *alphabet, bool pad)
{
    size_t o = 0;
    unsigned i = 0;
    for (; i + 3 <= len; i += 3) {
        const unsigned v = static_cast<unsigned>(in[i]) << 16 | static_cast<unsigned>(in[i + 1]) << 8 | in[i + 2];
        out[o++] = alphabet[v >> 18 & 63];
        out[o++] = alphabet[v >> 12 & 63];
        out[o++] = alphabet[v >> 6 & 63];
        out[o++] = alphabet[v & 63];
    }
    const unsigned rest = len - i;
    if (rest == 0)
        return o;
    const unsigned v = static_cast<unsigned>(in[i]) << 16 | (rest == 2 ? static_cast<unsigned>(in[i + 1]) << 8 : 0u);
    out[o++] = alphabet[v >> 18 & 63];
    out[o++] = alphabet[v >> 12 & 63];
    if (rest == 2)
        out[o++] = alphabet[v >> 6 & 63];
    const size_t text = o;
    for (unsigned k = rest; k < 3; ++k)
        out[o++] = pad ? '=' : '\0';
    return text;
}

int sextet(char c, bool url)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+' || (url && c == '-'))
        return 62;
    if (c == '/' || (url && c == '_'))
        return 63;
    return -1;
}

unsigned decode(const char *in, unsigned len, unsigned char *out, unsigned out_size, bool url)
{
    if (!in || (!out && out_size))
        return static_cast<unsigned>(-1);
    unsigned o = 0;
    unsigned acc = 0;
    int have = 0;
    for (unsigned i = 0; i < len && in[i]; ++i) {
        const int v = sextet(in[i], url);
        if (v < 0)
            continue;
        acc = acc << 6 | static_cast<unsigned>(v);
        if (++have == 4) {
            if (o + 3 > out_size)
                return static_cast<unsigned>(-1);
            out[o++] = static_cast<unsigned char>(acc >> 16);
            out[o++] = static_cast<unsigned char>(acc >> 8);
            out[o++] = static_cast<unsigned char>(acc);
            acc = 0;
            have = 0;
        }
    }
    const unsigned tail = have == 3 ? 2 : have == 2 ? 1 : 0;
    if (o + tail > out_size)
        return static_cast<unsigned>(-1);
    if (have == 3) {
        out[o++] = static_cast<unsigned char>(acc >> 10);
        out[o++] = static_cast<unsigned char>(acc >> 2);
    } else if (have == 2) {
        out[o++] = static_cast<unsigned char>(acc >> 4);
    }
    return o;
}

} // namespace

int vexa_base64_encode(const unsigned char *in, unsigned len, char *out, unsigned out_size)
{
    const size_t out_len = (static_cast<size_t>(len) + 2) / 3 * 4;
    if (!out || (!in && len) || out_size < out_len + 1) {
        KO_LOGE("KO CLOUD", "para err,out_size=%zu,out_len=%zu\n", static_cast<size_t>(out_size), out_len);
        return -1;
    }
    encode(in, len, out, kStd, true);
    out[out_len] = '\0';
    return static_cast<int>(out_len);
}

int vexa_base64_encode_url(const unsigned char *in, unsigned len, char *out, unsigned out_size)
{
    const size_t out_len = (static_cast<size_t>(len) + 2) / 3 * 4;
    if (!out || (!in && len) || out_size == 0 || out_size < out_len + 1) {
        KO_LOGE("KO CLOUD", "para err,out_size=%zu,out_len=%zu,in_size=%zu\n", static_cast<size_t>(out_size), out_len,
                static_cast<size_t>(len));
        return 0;
    }
    const size_t text = encode(in, len, out, kUrl, false);
    out[out_len] = '\0';
    return static_cast<int>(text);
}

unsigned vexa_base64_decode(const char *in, unsigned len, unsigned char *out, unsigned out_size)
{
    return decode(in, len, out, out_size, false);
}

unsigned vexa_base64_decode_url(const char *in, unsigned len, unsigned char *out, unsigned out_size)
{
    return decode(in, len, out, out_size, true);
}
