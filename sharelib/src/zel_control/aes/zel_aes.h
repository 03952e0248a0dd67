// AES-128-CBC over buffers and files, keyed by one 32-character key text (16 characters of key, then
// 16 of IV), and the routine that forms such a key text from two strings.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { ZEL_AES_KEYTEXT_LEN = 32, ZEL_AES_FILE_PIECE = 4096 };

// Appends `first` then `second` to `out` until it holds exactly 32 characters (the last copy cut).
// `out` has room for 33 bytes. -1 for a null argument or when both texts are empty.
int zel_gen_keyiv(const char *first, const char *second, char *out);

// In place; `length` must be a multiple of 16. out_length = length.
int zel_AES128_CBC_Nopadding_encryptData(unsigned char *buffer, int length, int *out_length, const char *keytext);
int zel_AES128_CBC_Nopadding_decryptData(unsigned char *buffer, int length, int *out_length, const char *keytext);
// Decryption that leaves any padding in the output (the same as the no-padding decryption).
int zel_AES128_CBC_pkcs5_decryptData(unsigned char *buffer, int length, int *out_length, const char *keytext);
// Pads up to the next multiple of 16 (none when already a multiple) with bytes holding the padding
// length, then encrypts in place; `capacity` is the buffer's size.
int zel_AES128_CBC_pkcs5_encryptData(unsigned char *buffer, int length, int capacity, int *out_length,
                                     const char *keytext);
// Standard PKCS#7: always adds 1 to 16 padding bytes; the buffer must have room for them.
int zel_AES128_CBC_pkcs5_encryptData_ext(unsigned char *buffer, int length, int *out_length, const char *keytext);

// Files in pieces of 4096 bytes, each piece encrypted on its own from the IV. Output files are
// created mode 0600, since the decrypted side holds secrets.
int zel_aes128_cbc_pkcs5_encrypt_file(const char *source, const char *destination, const char *keytext);
// Refuses a source that is empty, absent or not a multiple of 16 bytes long; padding stays in the output.
int zel_aes128_cbc_pkcs5_decrypt_file(const char *source, const char *destination, const char *keytext);

#ifdef __cplusplus
}
#endif
