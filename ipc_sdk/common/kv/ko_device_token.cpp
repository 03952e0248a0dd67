// The device token: import of the encrypted token file into the kv store, and reads and writes of
// the stored token and its type.
#include "common/kv/ko_device_token.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/kv/ko_kv.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"
#include "zelmar/zel_crypto.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *kModule = "KO IPC";
constexpr const char *kSpace = "TOLK_IPC";
constexpr const char *kFile = "device.token";
constexpr char kFileKey[17] = "Tq7#vLp2!mZr9&Kx";
constexpr int kFileMax = 128;

// The token file's IV: the MD5 of its key text, built when a file is read.
int file_iv(uint8_t iv[ZEL_MD5_LEN])
{
    return zel_crypto_md5(kFileKey, 16, iv);
}

// The real location of "<dir>/device.token"; false when the device path is over 127 characters.
bool token_path(const char *dir, std::string *path)
{
    char device_path[128];
    const int n = snprintf(device_path, sizeof device_path, "%s/%s", dir, kFile);
    if (n < 0 || n >= static_cast<int>(sizeof device_path)) {
        KO_LOGE(kModule, "token path too long: %s\n", dir);
        return false;
    }
    *path = zel_path(device_path);
    return true;
}

int read_file(int fd, uint8_t *buf, int max)
{
    int got = 0;
    while (got < max) {
        const ssize_t r = read(fd, buf + got, static_cast<size_t>(max - got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<int>(r);
    }
    return got;
}

// Decrypts the token file into `token`; the token length, or -1 (the file stays).
int import_file(const std::string &path, char *token, int size, int *token_type)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        KO_LOGE(kModule, "fopen token file error : %s\n", strerror(errno));
        return -1;
    }
    uint8_t cipher[kFileMax];
    const int n = read_file(fd, cipher, kFileMax);
    const int read_errno = errno;
    close(fd);
    if (n < 0) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "read", strerror(read_errno));
        return -1;
    }
    if (n == 0 || n % 16 != 0) {
        KO_LOGE(kModule, "AES_set_decrypt_key len error:%d\n", n);
        return -1;
    }
    auto *plain = static_cast<uint8_t *>(vexa_malloc(static_cast<size_t>(n) + 1));
    if (!plain) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "malloc", strerror(ENOMEM));
        return -1;
    }
    uint8_t iv[ZEL_MD5_LEN];
    if (file_iv(iv) != 0 || zel_crypto_aes128_cbc_decrypt(reinterpret_cast<const uint8_t *>(kFileKey), iv, cipher,
                                                         plain, static_cast<size_t>(n)) != 0) {
        KO_LOGE(kModule, "AES_set_deccrypt_key error\n");
        vexa_free(plain);
        return -1;
    }
    const size_t text = strnlen(reinterpret_cast<char *>(plain), static_cast<size_t>(n));
    const int len = static_cast<int>(text < static_cast<size_t>(size - 1) ? text : static_cast<size_t>(size - 1));
    memcpy(token, plain, static_cast<size_t>(len));
    token[len] = 0;
    memset(plain, 0, static_cast<size_t>(n));
    vexa_free(plain);
    *token_type = 0;
    if (ko_kv_set_value(kSpace, "token", token, len) != 0) {
        KO_LOGE(kModule, "save device token fail\n");
        return -1;
    }
    const int32_t type = 0;
    if (ko_kv_set_value(kSpace, "token_type", &type, sizeof type) != 0) {
        KO_LOGE(kModule, "save device token_type fail\n");
        return -1;
    }
    if (remove(path.c_str()) != 0)
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "remove", strerror(errno));
    return len;
}

} // namespace

int token_read(const char *dir, char *token, int size, int *token_type)
{
    if (!dir || !token || !token_type || size <= 0)
        return -1;
    std::string path;
    if (!token_path(dir, &path))
        return -1;
    if (access(path.c_str(), F_OK) == 0)
        return import_file(path, token, size, token_type);

    KO_LOGW(kModule, "token file  %s not found\n", path.c_str());
    const int len = ko_kv_get_value(kSpace, "token", token, size);
    int32_t type = 0;
    if (len > 0 && ko_kv_get_value(kSpace, "token_type", reinterpret_cast<char *>(&type), sizeof type) ==
                       static_cast<int>(sizeof type)) {
        *token_type = type;
        return len;
    }
    KO_LOGE(kModule, "get device token fail\n");
    return 0;
}

int token_write(const char *dir, const char *token, int length, int token_type)
{
    if (!dir || !token || length < 1)
        return -1;
    std::string path;
    if (!token_path(dir, &path))
        return -1;
    if (access(path.c_str(), F_OK) == 0) {
        KO_LOGI(kModule, "del device token file\n");
        if (remove(path.c_str()) != 0)
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "remove", strerror(errno));
        KO_LOGI(kModule, "remove token file %s\n", path.c_str());
    }
    if (ko_kv_set_value(kSpace, "token", token, length) != 0) {
        KO_LOGE(kModule, "save device token fail\n");
        return -1;
    }
    const int32_t type = token_type;
    if (ko_kv_set_value(kSpace, "token_type", &type, sizeof type) != 0) {
        KO_LOGE(kModule, "save device token type fail\n");
        return -1;
    }
    return 0;
}
