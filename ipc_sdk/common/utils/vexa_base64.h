// Base64 (RFC 4648) in the standard alphabet with padding and the URL-safe alphabet without.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Output length (4 * ceil(len / 3)) plus a terminating zero; -1 when out_size is too small.
int vexa_base64_encode(const unsigned char *in, unsigned len, char *out, unsigned out_size);
// Output length without padding plus a terminating zero; 0 when out_size is too small.
int vexa_base64_encode_url(const unsigned char *in, unsigned len, char *out, unsigned out_size);
// Decoded byte count; (unsigned)-1 when out is too small. Characters outside the alphabet are skipped.
unsigned vexa_base64_decode(const char *in, unsigned len, unsigned char *out, unsigned out_size);
// As vexa_base64_decode, reading "-" and "_" as "+" and "/" (either alphabet is accepted).
unsigned vexa_base64_decode_url(const char *in, unsigned len, unsigned char *out, unsigned out_size);

#ifdef __cplusplus
}
#endif
