// The login check that closes the login messages: a keyed byte stream cipher with a 4-byte trailer
// of 0x43 bytes, which the decoder must find again.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ZTP_LOGIN_CHECK_LEN = 4 };

// Encodes n bytes and the trailer into out: n + 4, or -1 when out holds fewer than n + 4 bytes.
// `login_key` null or empty starts from the initial state.
int ztp_proto_CRCEnc(const char *login_key, const uint8_t *in, size_t n, uint8_t *out, size_t out_size);
// Decodes n bytes: n - 4 (0 for a trailer alone), or -1 for fewer than 4 bytes, a trailer that does
// not decode to 43 43 43 43, or an out buffer of fewer than n - 4 bytes.
int ztp_proto_CRCDec(const char *login_key, const uint8_t *in, size_t n, uint8_t *out, size_t out_size);

#ifdef __cplusplus
}
#endif
