// Frame encryption of the streaming sessions over plain buffers: ChaCha20 with an 8-byte nonce in
// front, or the AES layout [u32 pad][16-byte IV][payload + pad] around the encryption hooks; the key
// agreement and the authorisation signature.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "vasq_api.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    VASQ_CHACHA_HEAD = 8,
    VASQ_AES_HEAD = 20, // u32 pad length, 16-byte IV
    VASQ_KEY_HEX = 64,
    VASQ_SIGN_KEY_MAX = 256,
};

// Bytes that the encryption of n payload bytes gives.
int vasq_crypt_size(int encrypt_type, int n);
// Encrypts req->in into req->out with the shared key (ChaCha20) or the AES key through the hook;
// 0 (req->out_len set), 30 when the output is too small, 22 for a bad request, or the hook's result.
int vasq_frame_encrypt(const uint8_t shared_key[32], const uint8_t aes_key[16], vasq_crypt_req *req);
// Decrypts `len` bytes of `buf` in place; on 0 the payload is at buf + *offset, *payload_len bytes.
// 29 when the length cannot hold the layout or the pad is outside 1..16.
int vasq_frame_decrypt(int encrypt_type, const uint8_t shared_key[32], const uint8_t aes_key[16], uint8_t *buf,
                       int len, int *offset, int *payload_len);
// A per-thread output buffer of at least n bytes, reused by the thread's next call; none when it
// cannot grow.
uint8_t *vasq_crypt_buffer(size_t n);
// 8 random bytes from the calling thread's block of randombytes_buf output.
void vasq_nonce(uint8_t out[8]);

// The shared key of a phone's public key; -1 for a key of low order.
int vasq_shared_key(const uint8_t phone_public[32], const uint8_t server_secret[32], uint8_t out[32]);
// The AES key: the shared key as a C string of at most 15 characters in 16 zero bytes.
void vasq_aes_key(const uint8_t shared_key[32], uint8_t out[16]);
// 64 hex characters exactly into 32 bytes; -1 otherwise.
int vasq_hex32(const char *hex, uint8_t out[32]);

// The signing key "did-tokenhex-(p2pkey ^ reqkey)hex-publichex"; its length, or -1 when a piece is
// absent or does not fit (the p2p key must give 16 bytes of hex).
int vasq_sign_key(const char *did, const uint8_t *token, int token_len, const char *p2p_key,
                  const uint8_t req_key[16], const uint8_t server_public[32], char *out, size_t size);
// HMAC-SHA256 of `text` under `key` equals `sign`.
int vasq_sign_matches(const char *key, size_t key_len, const char *text, size_t text_len, const uint8_t sign[32]);

#ifdef __cplusplus
}
#endif
