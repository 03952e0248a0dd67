#include "ztp_scramble.h"

#include <cstdio>
#include <cstring>

#include "ztp_tables.h"

void ztp_scramble_key_init(ztp_scramble_key *key, const char *key_text)
{
    key->plain = key_text == nullptr || key_text[0] == '\0';
    uint8_t k[4] = {0, 0, 0, 0};
    // Only the first 21 characters count, as on every peer.
    for (int i = 0; !key->plain && i < 21 && key_text[i] != '\0'; ++i) {
        const uint8_t c = static_cast<uint8_t>(key_text[i]);
        k[0] = static_cast<uint8_t>(k[0] + c);
        k[1] = static_cast<uint8_t>(k[1] - c);
        k[2] = static_cast<uint8_t>(k[2] + c / 3);
        k[3] = static_cast<uint8_t>(k[3] ^ c);
    }
    key->first = ztp_scramble_table[k[0]];
    for (int p = 0; p < 256; ++p)
        key->next[p] = ztp_scramble_table[(p + k[p & 3]) & 0xFF];
}

namespace {

bool bad_args(const uint8_t *in, uint8_t *out, size_t n)
{
    return n > ZTP_SCRAMBLE_MAX_LEN || (n > 0 && (in == nullptr || out == nullptr));
}

void copy(const uint8_t *in, uint8_t *out, size_t n)
{
    if (in != out && n > 0)
        std::memmove(out, in, n);
}

} // namespace

int ztp_scramble(const ztp_scramble_key *key, const uint8_t *in, uint8_t *out, size_t n)
{
    if (bad_args(in, out, n))
        return -1;
    if (key->plain) {
        copy(in, out, n);
        return 0;
    }
    // A serial chain: each table index comes from the byte just produced.
    uint8_t prev_table = key->first;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t y = in[i] ^ prev_table;
        out[i] = y;
        prev_table = key->next[y];
    }
    return 0;
}

int ztp_unscramble(const ztp_scramble_key *key, const uint8_t *in, uint8_t *out, size_t n)
{
    if (bad_args(in, out, n))
        return -1;
    if (key->plain) {
        copy(in, out, n);
        return 0;
    }
    if (n == 0)
        return 0;
    // Every output byte depends on input bytes only, so the loop carries no chain; the previous
    // scrambled byte is kept aside for in-place use.
    uint8_t prev = in[0];
    out[0] = prev ^ key->first;
    for (size_t i = 1; i < n; ++i) {
        const uint8_t y = in[i];
        out[i] = y ^ key->next[prev];
        prev = y;
    }
    return 0;
}

int ztp__P2P_Proprietary_Encrypt(const char *key_text, const uint8_t *in, uint8_t *out, size_t n)
{
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, key_text);
    return ztp_scramble(&key, in, out, n);
}

int ztp__P2P_Proprietary_Decrypt(const char *key_text, const uint8_t *in, uint8_t *out, size_t n)
{
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, key_text);
    return ztp_unscramble(&key, in, out, n);
}

namespace {

void relay_key(uint8_t r0, uint8_t r1, ztp_scramble_key *key)
{
    char text[5];
    std::snprintf(text, sizeof text, "%02X%02X", r0, r1);
    ztp_scramble_key_init(key, text);
}

} // namespace

int _TCPRelay_Proprietary_Encrypt(uint8_t r0, uint8_t r1, const uint8_t *in, uint8_t *out, size_t n)
{
    ztp_scramble_key key;
    relay_key(r0, r1, &key);
    return ztp_scramble(&key, in, out, n);
}

int _TCPRelay_Proprietary_Decrypt(uint8_t r0, uint8_t r1, const uint8_t *in, uint8_t *out, size_t n)
{
    ztp_scramble_key key;
    relay_key(r0, r1, &key);
    return ztp_unscramble(&key, in, out, n);
}

void _TCPRelay_CheckCRC_Calculate(const uint8_t *data, size_t n, uint8_t check[2])
{
    uint8_t c0 = 0x43;
    uint8_t c1 = 0x53;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t a = c0;
        c0 = a ^ c1 ^ data[i];
        if (i % 2 == 0)
            c1 = a ^ data[i] ^ data[n - 1 - i];
    }
    check[0] = c0;
    check[1] = c1;
}

int _TCPRelay_CheckCRC_Verify(const uint8_t *data, size_t n, const uint8_t check[2])
{
    uint8_t expected[2];
    _TCPRelay_CheckCRC_Calculate(data, n, expected);
    return expected[0] == check[0] && expected[1] == check[1] ? 0 : -1;
}
