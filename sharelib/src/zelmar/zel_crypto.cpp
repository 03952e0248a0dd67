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

int zel_crypto_aes128_cbc_pkcs7_encrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, size_t len,
                                        uint8_t *out, size_t out_size)
{
    const size_t whole = len / ZEL_AES_BLOCK * ZEL_AES_BLOCK;
    const size_t total = whole + ZEL_AES_BLOCK;
    if (!key || !iv || (len && !in) || !out || out_size < total)
        return -2;
    zel_aes_cbc_ctx *ctx = zel_crypto_aes128_cbc_open(key, iv);
    if (!ctx)
        return -1;
    if (zel_crypto_aes128_cbc_update(ctx, in, out, whole) != 0) {
        zel_crypto_aes128_cbc_close(ctx);
        return -1;
    }
    if (zel_crypto_aes128_cbc_finish(ctx, in + whole, len - whole, out + whole) != 0)
        return -1;
    return static_cast<int>(total);
}

int zel_crypto_aes128_cbc_pkcs7_decrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, size_t len,
                                        uint8_t *out, size_t out_size)
{
    if (!key || !iv || !in || !out)
        return -2;
    if (len == 0 || len % ZEL_AES_BLOCK || out_size < len)
        return -1;
    if (zel_crypto_aes128_cbc_decrypt(key, iv, in, out, len) != 0)
        return -1;
    const uint8_t pad = out[len - 1];
    if (pad == 0 || pad > ZEL_AES_BLOCK)
        return -1;
    uint8_t diff = 0;
    for (size_t i = len - pad; i < len; i++)
        diff |= static_cast<uint8_t>(out[i] ^ pad);
    return diff == 0 ? static_cast<int>(len - pad) : -1;
}

struct zel_aes_cbc_ctx {
    mbedtls_aes_context aes;
    unsigned char chain[ZEL_AES_BLOCK];
};

zel_aes_cbc_ctx *zel_crypto_aes128_cbc_open(const uint8_t key[16], const uint8_t iv[16])
{
    if (!key || !iv)
        return nullptr;
    auto ctx = std::make_unique<zel_aes_cbc_ctx>();
    mbedtls_aes_init(&ctx->aes);
    if (mbedtls_aes_setkey_enc(&ctx->aes, key, 128) != 0) {
        mbedtls_aes_free(&ctx->aes);
        return nullptr;
    }
    std::memcpy(ctx->chain, iv, sizeof ctx->chain);
    return ctx.release();
}

int zel_crypto_aes128_cbc_update(zel_aes_cbc_ctx *ctx, const uint8_t *in, uint8_t *out, size_t len)
{
    if (!ctx || (len && (!in || !out)) || len % ZEL_AES_BLOCK)
        return -2;
    if (len == 0)
        return 0;
    return mbedtls_aes_crypt_cbc(&ctx->aes, MBEDTLS_AES_ENCRYPT, len, ctx->chain, in, out) == 0 ? 0 : -1;
}

int zel_crypto_aes128_cbc_finish(zel_aes_cbc_ctx *ctx, const uint8_t *tail, size_t tail_len,
                                 uint8_t out[ZEL_AES_BLOCK])
{
    if (!ctx)
        return -2;
    std::unique_ptr<zel_aes_cbc_ctx> owned(ctx);
    int rc = -2;
    if (out && tail_len < ZEL_AES_BLOCK && (tail || tail_len == 0)) {
        uint8_t block[ZEL_AES_BLOCK];
        if (tail_len)
            std::memcpy(block, tail, tail_len);
        std::memset(block + tail_len, static_cast<int>(ZEL_AES_BLOCK - tail_len), ZEL_AES_BLOCK - tail_len);
        rc = mbedtls_aes_crypt_cbc(&owned->aes, MBEDTLS_AES_ENCRYPT, ZEL_AES_BLOCK, owned->chain, block, out) == 0
                 ? 0
                 : -1;
    }
    mbedtls_aes_free(&owned->aes);
    return rc;
}

void zel_crypto_aes128_cbc_close(zel_aes_cbc_ctx *ctx)
{
    if (!ctx)
        return;
    mbedtls_aes_free(&ctx->aes);
    delete ctx;
}

struct zel_sha256_ctx {
    mbedtls_sha256_context sha;
};

zel_sha256_ctx *zel_crypto_sha256_open(void)
{
    auto ctx = std::make_unique<zel_sha256_ctx>();
    mbedtls_sha256_init(&ctx->sha);
    if (mbedtls_sha256_starts_ret(&ctx->sha, 0) != 0) {
        mbedtls_sha256_free(&ctx->sha);
        return nullptr;
    }
    return ctx.release();
}

int zel_crypto_sha256_update(zel_sha256_ctx *ctx, const void *data, size_t len)
{
    if (!ctx || (!data && len))
        return -2;
    return mbedtls_sha256_update_ret(&ctx->sha, static_cast<const unsigned char *>(data), len) == 0 ? 0 : -1;
}

int zel_crypto_sha256_finish(zel_sha256_ctx *ctx, uint8_t out[ZEL_SHA256_LEN])
{
    if (!ctx)
        return -2;
    std::unique_ptr<zel_sha256_ctx> owned(ctx);
    const int rc = out && mbedtls_sha256_finish_ret(&owned->sha, out) == 0 ? 0 : -1;
    mbedtls_sha256_free(&owned->sha);
    return out ? rc : -2;
}

void zel_crypto_sha256_close(zel_sha256_ctx *ctx)
{
    if (!ctx)
        return;
    mbedtls_sha256_free(&ctx->sha);
    delete ctx;
}
