// Message scrambling: the keyed byte chain over every UDP and TCP-relay message, and the TCP-relay
// link's second scrambling and 2-byte check. Pure functions over buffers; `in` and `out` may be the
// same buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ZTP_SCRAMBLE_MAX_LEN = 65535, ZTP_KEY_STRING_MAX = 20 };

// A key text prepared once: next[p] is the table byte that follows the scrambled byte p. A null or
// empty key text gives the plain key, which copies.
typedef struct ztp_scramble_key {
    uint8_t next[256];
    uint8_t first;
    uint8_t plain;
} ztp_scramble_key;

void ztp_scramble_key_init(ztp_scramble_key *key, const char *key_text);
// 0, or -1 for a length above ZTP_SCRAMBLE_MAX_LEN or a null buffer with a length.
int ztp_scramble(const ztp_scramble_key *key, const uint8_t *in, uint8_t *out, size_t n);
int ztp_unscramble(const ztp_scramble_key *key, const uint8_t *in, uint8_t *out, size_t n);

// The same with a key text prepared on each call.
int ztp__P2P_Proprietary_Encrypt(const char *key_text, const uint8_t *in, uint8_t *out, size_t n);
int ztp__P2P_Proprietary_Decrypt(const char *key_text, const uint8_t *in, uint8_t *out, size_t n);

// The TCP-relay second scrambling, keyed by the header's two random bytes written as "%02X%02X".
int _TCPRelay_Proprietary_Encrypt(uint8_t r0, uint8_t r1, const uint8_t *in, uint8_t *out, size_t n);
int _TCPRelay_Proprietary_Decrypt(uint8_t r0, uint8_t r1, const uint8_t *in, uint8_t *out, size_t n);

// The TCP-relay check over the n bytes as sent (43 53 for none); Verify gives 0 on a match, else -1.
void _TCPRelay_CheckCRC_Calculate(const uint8_t *data, size_t n, uint8_t check[2]);
int _TCPRelay_CheckCRC_Verify(const uint8_t *data, size_t n, const uint8_t check[2]);

#ifdef __cplusplus
}
#endif
