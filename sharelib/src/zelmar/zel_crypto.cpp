#include "zelmar/zel_crypto.h"

#include <mbedtls/aes.h>
#include <mbedtls/md5.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <memory>

namespace {

int aes128_cbc(int mode, const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, uint8_t *out, size_t len)
{
    if (!key || !iv || (len && (!in || !out)) || len % ZEL_AES_BLOCK)
        return -2;
    if (len == 0)
        return 0;
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    int rc = mode == MBEDTLS_AES_ENCRYPT ? mbedtls_aes_setkey_enc(&aes, key, 128) : mbedtls_aes_setkey_dec(&aes, key, 128);
    unsigned char chain[ZEL_AES_BLOCK];
    std::memcpy(chain, iv, sizeof chain);
    if (rc == 0)
        rc = mbedtls_aes_crypt_cbc(&aes, mode, len, chain, in, out);
    mbedtls_aes_free(&aes);
    return rc == 0 ? 0 : -1;
}

} // namespace

int zel_crypto_aes128_cbc_encrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, uint8_t *out,
                                  size_t len)
{
    return aes128_cbc(MBEDTLS_AES_ENCRYPT, key, iv, in, out, len);
}

int zel_crypto_aes128_cbc_decrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, uint8_t *out,
                                  size_t len)
{
    return aes128_cbc(MBEDTLS_AES_DECRYPT, key, iv, in, out, len);
}

int zel_crypto_md5(const void *data, size_t len, uint8_t out[ZEL_MD5_LEN])
{
    if ((!data && len) || !out)
        return -2;
    return mbedtls_md5_ret(static_cast<const unsigned char *>(data), len, out) == 0 ? 0 : -1;
}

int zel_crypto_sha256(const void *data, size_t len, uint8_t out[ZEL_SHA256_LEN])
{
    if ((!data && len) || !out)
        return -2;
    return mbedtls_sha256_ret(static_cast<const unsigned char *>(data), len, out, 0) == 0 ? 0 : -1;
}

struct zel_md5_ctx {
    mbedtls_md5_context md5;
};

zel_md5_ctx *zel_crypto_md5_open(void)
{
    auto ctx = std::make_unique<zel_md5_ctx>();
    mbedtls_md5_init(&ctx->md5);
    if (mbedtls_md5_starts_ret(&ctx->md5) != 0) {
        mbedtls_md5_free(&ctx->md5);
        return nullptr;
    }
    return ctx.release();
}

int zel_crypto_md5_update(zel_md5_ctx *ctx, const void *data, size_t len)
{
    if (!ctx || (!data && len))
        return -2;
    return mbedtls_md5_update_ret(&ctx->md5, static_cast<const unsigned char *>(data), len) == 0 ? 0 : -1;
}

int zel_crypto_md5_finish(zel_md5_ctx *ctx, uint8_t out[ZEL_MD5_LEN])
{
    if (!ctx)
        return -2;
    std::unique_ptr<zel_md5_ctx> owned(ctx);
    const int rc = out && mbedtls_md5_finish_ret(&owned->md5, out) == 0 ? 0 : -1;
    mbedtls_md5_free(&owned->md5);
    return out ? rc : -2;
}

int zel_crypto_md5_block(uint32_t state[4], const uint8_t block[64])
{
    if (!state || !block)
        return -2;
    mbedtls_md5_context md5;
    mbedtls_md5_init(&md5);
    std::memcpy(md5.state, state, sizeof md5.state);
    const int rc = mbedtls_internal_md5_process(&md5, block);
    if (rc == 0)
        std::memcpy(state, md5.state, sizeof md5.state);
    mbedtls_md5_free(&md5);
    return rc == 0 ? 0 : -1;
}
