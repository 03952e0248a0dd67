// The one seam between the system and mbedTLS: AES-128-CBC (whole blocks, PKCS#7, streaming), MD5,
// SHA-256 and X.509 certificate chains with their signature check.
// mbedTLS 3.x renames these calls, so no other file includes an mbedTLS header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ZEL_AES_BLOCK = 16, ZEL_MD5_LEN = 16, ZEL_SHA256_LEN = 32 };

// AES-128-CBC of `len` bytes (a multiple of 16, no padding added or removed); `in` and `out` may be
// the same buffer. `iv` is not changed. 0, -2 for a null argument or a length not a multiple of 16,
// -1 when the cipher fails.
int zel_crypto_aes128_cbc_encrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, uint8_t *out,
                                  size_t len);
int zel_crypto_aes128_cbc_decrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, uint8_t *out,
                                  size_t len);

// AES-128-CBC with PKCS#7 padding. Encrypt writes (len / 16 + 1) * 16 bytes and returns that length,
// or -2 for a null argument or an `out_size` below it. Decrypt returns the plain length; -2 for a
// null argument, -1 for a length that is not a positive multiple of 16, an `out_size` under it, or
// padding that is not well formed (a last byte of 0 or over 16, or padding bytes that differ).
int zel_crypto_aes128_cbc_pkcs7_encrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, size_t len,
                                        uint8_t *out, size_t out_size);
int zel_crypto_aes128_cbc_pkcs7_decrypt(const uint8_t key[16], const uint8_t iv[16], const uint8_t *in, size_t len,
                                        uint8_t *out, size_t out_size);

// Streaming AES-128-CBC encryption: open, update with whole blocks any number of times (the chain
// carries over), then finish with the tail of under 16 bytes, which writes the one padded block into
// `out` and frees the context. close frees a context without finishing it.
typedef struct zel_aes_cbc_ctx zel_aes_cbc_ctx;
zel_aes_cbc_ctx *zel_crypto_aes128_cbc_open(const uint8_t key[16], const uint8_t iv[16]);
int zel_crypto_aes128_cbc_update(zel_aes_cbc_ctx *ctx, const uint8_t *in, uint8_t *out, size_t len);
int zel_crypto_aes128_cbc_finish(zel_aes_cbc_ctx *ctx, const uint8_t *tail, size_t tail_len,
                                 uint8_t out[ZEL_AES_BLOCK]);
void zel_crypto_aes128_cbc_close(zel_aes_cbc_ctx *ctx);

// Streaming SHA-256: open, update any number of times, then finish (which frees the context);
// close frees a context without finishing it.
typedef struct zel_sha256_ctx zel_sha256_ctx;
zel_sha256_ctx *zel_crypto_sha256_open(void);
int zel_crypto_sha256_update(zel_sha256_ctx *ctx, const void *data, size_t len);
int zel_crypto_sha256_finish(zel_sha256_ctx *ctx, uint8_t out[ZEL_SHA256_LEN]);
void zel_crypto_sha256_close(zel_sha256_ctx *ctx);

// One-shot digests: 0, -2 for a null argument, -1 on failure.
int zel_crypto_md5(const void *data, size_t len, uint8_t out[ZEL_MD5_LEN]);
int zel_crypto_sha256(const void *data, size_t len, uint8_t out[ZEL_SHA256_LEN]);

// Streaming MD5, for files: open, update any number of times, then finish (which frees the context).
typedef struct zel_md5_ctx zel_md5_ctx;
zel_md5_ctx *zel_crypto_md5_open(void);
int zel_crypto_md5_update(zel_md5_ctx *ctx, const void *data, size_t len);
int zel_crypto_md5_finish(zel_md5_ctx *ctx, uint8_t out[ZEL_MD5_LEN]);

// The MD5 compression function: one 64-byte block into `state` (for callers that keep their own
// buffering and padding). 0, -2 for a null argument, -1 on failure.
int zel_crypto_md5_block(uint32_t state[4], const uint8_t block[64]);

// An X.509 chain under a trusted root, for checking signed data. Open parses the PEM root (`len`
// counts its bytes, a NUL is not needed); add parses one more PEM certificate, which must be issued by
// the previous one (the root for the first) and whose issuer must be a CA. The last added certificate
// is the signer. Results: 0; -2 for a null argument; -1 for a certificate that does not parse (open:
// none, with the mbedTLS code in `*err`); -3 for one that does not verify (`*err` gets the mbedTLS
// verification flags).
typedef struct zel_x509_chain zel_x509_chain;
zel_x509_chain *zel_crypto_chain_open(const char *root_pem, size_t len, int *err);
int zel_crypto_chain_add(zel_x509_chain *chain, const char *pem, size_t len, int *err);
// The signer's subject organisation (OID 2.5.4.10) as text cut to `size` - 1 bytes: 0, -1 when the
// subject has none or no certificate was added.
int zel_crypto_chain_organisation(const zel_x509_chain *chain, char *out, size_t size);
// The signer's signature `sig` over a SHA-256 digest (RSA PKCS#1 v1.5 or DER-encoded ECDSA): 0 when
// it verifies, -1 otherwise.
int zel_crypto_chain_verify_sha256(const zel_x509_chain *chain, const uint8_t digest[ZEL_SHA256_LEN],
                                   const uint8_t *sig, size_t sig_len);
void zel_crypto_chain_close(zel_x509_chain *chain);

#ifdef __cplusplus
}
#endif
