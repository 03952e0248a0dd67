#include "ztp_login_check.h"

#include <cstring>

#include "ztp_tables.h"

namespace {

constexpr uint8_t kTrailer = 0x43;

struct State {
    uint8_t s[4] = {1, 3, 5, 7};

    uint8_t mask() const { return s[0] ^ s[1] ^ s[2] ^ s[3]; }

    // CRCSelect4Key. The divisors are initial values or CRCTable entries, none of them zero.
    void step(uint8_t x)
    {
        const uint8_t *t = CRCTable;
        const unsigned s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];
        s[0] = t[(((s1 + x % s0) * 8) & 0x38) | ((x + s2 % s3) & 7)];
        s[1] = t[(((s2 + x % s1) * 8) & 0x38) | ((x + s3 % s0) & 7)];
        s[2] = t[(((s3 + x % s2) * 8) & 0x38) | ((x + s0 % s1) & 7)];
        s[3] = t[(((s0 + x % s3) * 8) & 0x38) | ((x + s1 % s2) & 7)];
    }

    explicit State(const char *key)
    {
        for (const char *c = key; c && *c; ++c)
            step(static_cast<uint8_t>(*c));
    }
};

} // namespace

int ztp_proto_CRCEnc(const char *login_key, const uint8_t *in, size_t n, uint8_t *out, size_t out_size)
{
    if (out == nullptr || (in == nullptr && n > 0) || out_size < n + ZTP_LOGIN_CHECK_LEN || n > 0x7FFFFFF0u)
        return -1;
    State st(login_key);
    for (size_t i = 0; i < n + ZTP_LOGIN_CHECK_LEN; ++i) {
        const uint8_t plain = i < n ? in[i] : kTrailer;
        out[i] = st.mask() ^ plain;
        st.step(out[i]);
    }
    return static_cast<int>(n + ZTP_LOGIN_CHECK_LEN);
}

int ztp_proto_CRCDec(const char *login_key, const uint8_t *in, size_t n, uint8_t *out, size_t out_size)
{
    // Fewer than four bytes cannot hold the trailer (a length that would go negative).
    if (in == nullptr || n < ZTP_LOGIN_CHECK_LEN || n > 0x7FFFFFF0u)
        return -1;
    const size_t data_len = n - ZTP_LOGIN_CHECK_LEN;
    if (data_len > 0 && (out == nullptr || out_size < data_len))
        return -1;
    State st(login_key);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t plain = st.mask() ^ in[i];
        st.step(in[i]);
        if (i < data_len)
            out[i] = plain;
        else if (plain != kTrailer)
            return -1;
    }
    return static_cast<int>(data_len);
}
