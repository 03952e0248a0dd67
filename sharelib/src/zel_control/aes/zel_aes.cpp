// AES-128-CBC wrapper of the core library: key text handling, padding rules and the 4096-byte piece
// file format. The cipher itself is reached through the crypto adapter. Buffer contents are never
// logged: they are settings files with passwords in them.
#include "zel_control/aes/zel_aes.h"

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_crypto.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr const char *TAG = "ZEL_AES";

bool keytext_ok(const char *keytext)
{
    return keytext && std::strlen(keytext) == ZEL_AES_KEYTEXT_LEN;
}

const uint8_t *key_of(const char *keytext)
{
    return reinterpret_cast<const uint8_t *>(keytext);
}

const uint8_t *iv_of(const char *keytext)
{
    return reinterpret_cast<const uint8_t *>(keytext) + 16;
}

int encrypt_in_place(unsigned char *buffer, int length, const char *keytext)
{
    if (zel_crypto_aes128_cbc_encrypt(key_of(keytext), iv_of(keytext), buffer, buffer,
                                      static_cast<size_t>(length)) != 0) {
        ZEL_LOGE(TAG, "mbedtls_aes_crypt_cbc failed\n");
        return -1;
    }
    return 0;
}

int decrypt(unsigned char *buffer, int length, int *out_length, const char *keytext, const char *func, int line)
{
    if (!buffer || !out_length || !keytext_ok(keytext) || length < 0) {
        ZEL_LOGE(TAG, "[%s:%d] Bad Parameters ...", func, line);
        return -1;
    }
    if (zel_crypto_aes128_cbc_decrypt(key_of(keytext), iv_of(keytext), buffer, buffer,
                                      static_cast<size_t>(length)) != 0) {
        ZEL_LOGE(TAG, "[%s:%d] decryption of %d bytes failed\n", func, line, length);
        return -1;
    }
    *out_length = length;
    return 0;
}

// Reads up to `size` bytes, retrying short reads; the count, or -1.
ssize_t read_full(int fd, unsigned char *buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int write_full(int fd, const unsigned char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// Descriptor pair of a file conversion, closed on every path.
struct FilePair {
    int in = -1;
    int out = -1;
    ~FilePair()
    {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
    }
};

int open_source(FilePair &files, const char *source, off_t *size)
{
    files.in = open(source, O_RDONLY | O_CLOEXEC);
    if (files.in < 0) {
        ZEL_LOGW(TAG, "can't open %s: %s\n", source, std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (fstat(files.in, &st) != 0) {
        ZEL_LOGE(TAG, "can't stat %s: %s\n", source, std::strerror(errno));
        return -1;
    }
    *size = st.st_size;
    return 0;
}

int open_destination(FilePair &files, const char *destination)
{
    files.out = open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (files.out < 0 || fchmod(files.out, 0600) != 0) {
        ZEL_LOGE(TAG, "can't create %s: %s\n", destination, std::strerror(errno));
        return -1;
    }
    return 0;
}

// Room of a piece buffer: one file piece and the padding block that encryption may add.
constexpr int PIECE_ROOM = ZEL_AES_FILE_PIECE + ZEL_AES_BLOCK;

// Reads the source piece by piece, converts each in place and writes the result.
template <typename Convert>
int convert_pieces(const FilePair &files, off_t size, const char *source, const char *destination, Convert convert)
{
    unsigned char piece[PIECE_ROOM];
    for (off_t done = 0; done < size;) {
        const ssize_t n = read_full(files.in, piece, ZEL_AES_FILE_PIECE);
        if (n <= 0) {
            ZEL_LOGE(TAG, "[%s:%d] read of %s failed at %lld\n", __func__, __LINE__, source,
                     static_cast<long long>(done));
            return -1;
        }
        int out_length = 0;
        if (convert(piece, static_cast<int>(n), &out_length) != 0)
            return -1;
        if (write_full(files.out, piece, static_cast<size_t>(out_length)) != 0) {
            ZEL_LOGE(TAG, "[%s:%d] write of %s failed: %s\n", __func__, __LINE__, destination, std::strerror(errno));
            return -1;
        }
        done += n;
    }
    return 0;
}

} // namespace

int zel_gen_keyiv(const char *first, const char *second, char *out)
{
    if (!first || !second || !out) {
        ZEL_LOGE(TAG, "[%s:%d] Bad Parameters ...", __func__, __LINE__);
        return -1;
    }
    const size_t first_len = std::strlen(first);
    const size_t second_len = std::strlen(second);
    if (first_len + second_len == 0) {
        ZEL_LOGE(TAG, "[%s:%d] no text to form the key from\n", __func__, __LINE__);
        return -1;
    }
    size_t have = strnlen(out, ZEL_AES_KEYTEXT_LEN);
    while (have < ZEL_AES_KEYTEXT_LEN) {
        for (const auto &[text, len] : {std::pair{first, first_len}, std::pair{second, second_len}}) {
            const size_t take = std::min(len, ZEL_AES_KEYTEXT_LEN - have);
            std::memcpy(out + have, text, take);
            have += take;
        }
    }
    out[ZEL_AES_KEYTEXT_LEN] = '\0';
    return 0;
}

int zel_AES128_CBC_Nopadding_encryptData(unsigned char *buffer, int length, int *out_length, const char *keytext)
{
    if (!buffer || !out_length || !keytext_ok(keytext) || length < 0) {
        ZEL_LOGE(TAG, "[%s:%d] Bad Parameters ...", __func__, __LINE__);
        return -1;
    }
    if (length % ZEL_AES_BLOCK != 0) {
        ZEL_LOGE(TAG, "mbedtls_aes_crypt_cbc failed\n");
        return -1;
    }
    if (encrypt_in_place(buffer, length, keytext) != 0)
        return -1;
    *out_length = length;
    return 0;
}

int zel_AES128_CBC_Nopadding_decryptData(unsigned char *buffer, int length, int *out_length, const char *keytext)
{
    return decrypt(buffer, length, out_length, keytext, __func__, __LINE__);
}

int zel_AES128_CBC_pkcs5_decryptData(unsigned char *buffer, int length, int *out_length, const char *keytext)
{
    return decrypt(buffer, length, out_length, keytext, __func__, __LINE__);
}

int zel_AES128_CBC_pkcs5_encryptData(unsigned char *buffer, int length, int capacity, int *out_length,
                                     const char *keytext)
{
    if (!buffer || !out_length || !keytext_ok(keytext) || length < 0) {
        ZEL_LOGE(TAG, "[%s:%d] Bad Parameters ...", __func__, __LINE__);
        return -1;
    }
    const int total = (length + ZEL_AES_BLOCK - 1) / ZEL_AES_BLOCK * ZEL_AES_BLOCK;
    if (capacity < total) {
        ZEL_LOGE(TAG, "[%s:%d] buffer size is not enouth total_len=%d in_size=%d...", __func__, __LINE__, total,
                 capacity);
        return -1;
    }
    const int padding = total - length;
    std::memset(buffer + length, padding, static_cast<size_t>(padding));
    ZEL_LOGD(TAG, "inlen:%d, total_len:%d, padding_len:%d\n", length, total, padding);
    if (encrypt_in_place(buffer, total, keytext) != 0)
        return -1;
    *out_length = total;
    return 0;
}

int zel_AES128_CBC_pkcs5_encryptData_ext(unsigned char *buffer, int length, int *out_length, const char *keytext)
{
    if (!buffer || !out_length || !keytext_ok(keytext) || length < 0) {
        ZEL_LOGE(TAG, "[%s : %d]err", __func__, __LINE__);
        return -1;
    }
    const int total = (length / ZEL_AES_BLOCK + 1) * ZEL_AES_BLOCK;
    const int padding = total - length;
    std::memset(buffer + length, padding, static_cast<size_t>(padding));
    if (encrypt_in_place(buffer, total, keytext) != 0)
        return -1;
    *out_length = total;
    return 0;
}

int zel_aes128_cbc_pkcs5_encrypt_file(const char *source, const char *destination, const char *keytext)
{
    if (!source || !destination || !keytext_ok(keytext)) {
        ZEL_LOGE(TAG, "[%s:%d] Bad Parameters ...", __func__, __LINE__);
        return -1;
    }
    FilePair files;
    off_t size = 0;
    if (open_source(files, source, &size) != 0 || open_destination(files, destination) != 0)
        return -1;
    return convert_pieces(files, size, source, destination, [keytext](unsigned char *piece, int n, int *out_length) {
        return zel_AES128_CBC_pkcs5_encryptData(piece, n, PIECE_ROOM, out_length, keytext);
    });
}

int zel_aes128_cbc_pkcs5_decrypt_file(const char *source, const char *destination, const char *keytext)
{
    if (!source || !destination || !keytext_ok(keytext)) {
        ZEL_LOGE(TAG, "[%s:%d] Bad Parameters ...", __func__, __LINE__);
        return -1;
    }
    FilePair files;
    off_t size = 0;
    if (open_source(files, source, &size) != 0)
        return -1;
    if (size <= 0 || size % ZEL_AES_BLOCK != 0) {
        ZEL_LOGE(TAG, "[%s:%d] %s has %lld bytes, not whole cipher blocks\n", __func__, __LINE__, source,
                 static_cast<long long>(size));
        return -1;
    }
    if (open_destination(files, destination) != 0)
        return -1;
    const char *func = __func__;
    return convert_pieces(files, size, source, destination, [=](unsigned char *piece, int n, int *out_length) {
        return decrypt(piece, n, out_length, keytext, func, __LINE__);
    });
}
