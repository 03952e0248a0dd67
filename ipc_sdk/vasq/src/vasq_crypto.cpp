// Frame encryption, key agreement and the authorisation signature.
#include "vasq_crypto.h"

#include <sodium.h>
#include <string.h>

#include <vector>

#include "common/utils/ko_log.h"
#include "common/utils/ko_util.h"
#include "vasq_errors.h"
#include "zelmar/zel_le.h"

namespace {

constexpr const char *kModule = "VASQ";
constexpr int kAesBlock = 16;
constexpr size_t kNoncePool = 512 * VASQ_CHACHA_HEAD; // one getrandom per 512 frames

void sodium_ready()
{
    static const int once = sodium_init();
    (void)once;
}

} // namespace

int vasq_crypt_size(int encrypt_type, int n)
{
    if (encrypt_type == 0)
        return n + VASQ_CHACHA_HEAD;
    return (n / kAesBlock + 1) * kAesBlock + VASQ_AES_HEAD;
}

void vasq_nonce(uint8_t out[8])
{
    // One getrandom per block of nonces instead of one per frame.
    thread_local uint8_t pool[kNoncePool];
    thread_local size_t used = kNoncePool;
    if (used == kNoncePool) {
        sodium_ready();
        randombytes_buf(pool, sizeof pool);
        used = 0;
    }
    memcpy(out, pool + used, VASQ_CHACHA_HEAD);
    used += VASQ_CHACHA_HEAD;
}

uint8_t *vasq_crypt_buffer(size_t n)
{
    thread_local std::vector<uint8_t> buf;
    if (buf.size() < n) {
        try {
            buf.resize(n);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return buf.data();
}

int vasq_frame_encrypt(const uint8_t shared_key[32], const uint8_t aes_key[16], vasq_crypt_req *req)
{
    if (!req || req->in_len < 0 || (!req->in && req->in_len > 0) || !req->out)
        return VASQ_ERR_INVALID_ARG;
    const int need = vasq_crypt_size(req->encrypt_type, req->in_len);
    if (req->out_cap < need) {
        KO_LOGE(kModule, "The crypto data length big tha the buf size. buf_size:%x, date size:%x\n", req->out_cap,
                need);
        return VASQ_ERR_FRAME_ENCTYPTO;
    }
    if (req->encrypt_type == 0) {
        req->head_len = VASQ_CHACHA_HEAD;
        req->iv_len = 0;
        vasq_nonce(req->out);
        if (req->in_len > 0)
            crypto_stream_chacha20_xor(req->out + VASQ_CHACHA_HEAD, req->in,
                                       static_cast<unsigned long long>(req->in_len), req->out, shared_key);
        req->out_len = need;
        return 0;
    }
    req->head_len = 4;
    req->iv_len = kAesBlock;
    req->pad_len = kAesBlock - req->in_len % kAesBlock;
    uint8_t *iv = req->out + 4;
    zel_put_le32(req->out, static_cast<uint32_t>(req->pad_len));
    sodium_ready();
    randombytes_buf(iv, kAesBlock);
    uint8_t *body = req->out + VASQ_AES_HEAD;
    if (req->in_len > 0)
        memmove(body, req->in, static_cast<size_t>(req->in_len));
    memset(body + req->in_len, req->pad_len, static_cast<size_t>(req->pad_len));
    uint8_t iv_copy[kAesBlock];
    memcpy(iv_copy, iv, sizeof iv_copy);
    const int r = vasq_encrypt_data(req, aes_key, iv_copy);
    if (r != 0) {
        KO_LOGE(kModule, "aes encrypt: %d\n", r);
        return r;
    }
    req->out_len = need;
    return 0;
}

int vasq_frame_decrypt(int encrypt_type, const uint8_t shared_key[32], const uint8_t aes_key[16], uint8_t *buf,
                       int len, int *offset, int *payload_len)
{
    if (!buf)
        return VASQ_ERR_INVALID_ARG;
    if (encrypt_type == 0) {
        if (len < VASQ_CHACHA_HEAD) {
            KO_LOGW(kModule, "encrypted part of %d bytes has no nonce\n", len);
            return VASQ_ERR_FRAME_DECRYPTO;
        }
        uint8_t *body = buf + VASQ_CHACHA_HEAD;
        const auto n = static_cast<unsigned long long>(len - VASQ_CHACHA_HEAD);
        crypto_stream_chacha20_xor(body, body, n, buf, shared_key);
        *offset = VASQ_CHACHA_HEAD;
        *payload_len = len - VASQ_CHACHA_HEAD;
        return 0;
    }
    if (len < VASQ_AES_HEAD + kAesBlock || (len - VASQ_AES_HEAD) % kAesBlock != 0) {
        KO_LOGW(kModule, "aes part of %d bytes is no whole block\n", len);
        return VASQ_ERR_FRAME_DECRYPTO;
    }
    const uint32_t pad = zel_get_le32(buf);
    if (pad < 1 || pad > kAesBlock) {
        KO_LOGW(kModule, "aes pad length %u outside 1..16\n", pad);
        return VASQ_ERR_FRAME_DECRYPTO;
    }
    vasq_crypt_req req{};
    req.in = buf;
    req.in_len = len - VASQ_AES_HEAD - static_cast<int>(pad);
    req.out = buf;
    req.out_cap = len;
    req.head_len = 4;
    req.iv_len = kAesBlock;
    req.pad_len = static_cast<int>(pad);
    req.encrypt_type = encrypt_type;
    uint8_t iv[kAesBlock];
    memcpy(iv, buf + 4, sizeof iv);
    const int r = vasq_decrypt_data(&req, aes_key, iv);
    if (r != 0) {
        KO_LOGW(kModule, "aes decrypt: %d\n", r);
        return VASQ_ERR_FRAME_DECRYPTO;
    }
    *offset = VASQ_AES_HEAD;
    *payload_len = req.in_len;
    return 0;
}

int vasq_shared_key(const uint8_t phone_public[32], const uint8_t server_secret[32], uint8_t out[32])
{
    sodium_ready();
    if (crypto_box_beforenm(out, phone_public, server_secret) != 0) {
        sodium_memzero(out, 32);
        return -1;
    }
    return 0;
}

void vasq_aes_key(const uint8_t shared_key[32], uint8_t out[16])
{
    memset(out, 0, 16);
    const size_t n = strnlen(reinterpret_cast<const char *>(shared_key), 15);
    memcpy(out, shared_key, n);
}

int vasq_hex32(const char *hex, uint8_t out[32])
{
    if (!hex || strlen(hex) != VASQ_KEY_HEX)
        return -1;
    return ko_str2hex_bin(hex, VASQ_KEY_HEX, out, 32) == 32 ? 0 : -1;
}

int vasq_sign_key(const char *did, const uint8_t *token, int token_len, const char *p2p_key,
                  const uint8_t req_key[16], const uint8_t server_public[32], char *out, size_t size)
{
    const size_t did_len = did ? strlen(did) : 0;
    uint8_t p2p[16];
    if (did_len == 0 || did_len > 64 || !token || token_len <= 0 || !p2p_key || strlen(p2p_key) < 32 ||
        ko_str2hex_bin(p2p_key, 32, p2p, sizeof p2p) != 16) {
        KO_LOGE(kModule, "param len error,did len: %d, key len: %d, token len:%d\n", static_cast<int>(did_len),
                p2p_key ? static_cast<int>(strlen(p2p_key)) : 0, token_len);
        return -1;
    }
    const size_t need = did_len + 1 + 2 * static_cast<size_t>(token_len) + 1 + 32 + 1 + VASQ_KEY_HEX;
    if (need >= size || need > VASQ_SIGN_KEY_MAX) {
        KO_LOGE(kModule, "sign len: %zu is biger than buffer size: %zu\n", need, size);
        return -1;
    }
    for (int i = 0; i < 16; i++)
        p2p[i] ^= req_key[i];
    size_t n = 0;
    memcpy(out, did, did_len);
    n += did_len;
    out[n++] = '-';
    ko_byte2hex_string(out + n, size - n, token, static_cast<size_t>(token_len));
    n += 2 * static_cast<size_t>(token_len);
    out[n++] = '-';
    ko_byte2hex_string(out + n, size - n, p2p, sizeof p2p);
    n += 32;
    out[n++] = '-';
    ko_byte2hex_string(out + n, size - n, server_public, 32);
    n += VASQ_KEY_HEX;
    out[n] = 0;
    sodium_memzero(p2p, sizeof p2p);
    return static_cast<int>(n);
}

int vasq_sign_matches(const char *key, size_t key_len, const char *text, size_t text_len, const uint8_t sign[32])
{
    sodium_ready();
    crypto_auth_hmacsha256_state st;
    uint8_t mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_init(&st, reinterpret_cast<const uint8_t *>(key), key_len);
    crypto_auth_hmacsha256_update(&st, reinterpret_cast<const uint8_t *>(text), text_len);
    crypto_auth_hmacsha256_final(&st, mac);
    return crypto_verify_32(mac, sign) == 0 && sodium_memcmp(mac, sign, 32) == 0;
}
