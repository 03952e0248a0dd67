// MD5 with the context layout of RFC 1321's reference code; the block function is mbedTLS's.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint32_t count[2]; // bits hashed, low word first
    uint32_t state[4];
    unsigned char buffer[64];
} MD5_CTX;

void MD5Init(MD5_CTX *context);
void MD5Update(MD5_CTX *context, const unsigned char *input, unsigned int input_len);
void MD5Final(unsigned char digest[16], MD5_CTX *context);
// One 64-byte block into the state.
void MD5Transform(uint32_t state[4], const unsigned char block[64]);
// Little-endian words to bytes (`len` a multiple of 4).
void MD5Encode(unsigned char *output, const uint32_t *input, unsigned int len);

#ifdef __cplusplus
}
#endif
