// Hexadecimal text and file deletion helpers.
#include "common/utils/ko_util.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/utils/ko_log.h"
#include "zelmar/zel_path.h"

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

int ko_byte2hex_string(char *out, size_t out_size, const unsigned char *bytes, size_t n)
{
    if (!out || !bytes)
        return -1;
    int rc = 0;
    for (size_t i = 0; i < n && 2 * i < out_size; ++i)
        rc = std::snprintf(out + 2 * i, out_size - 2 * i, "%02x", bytes[i]);
    return rc;
}

int ko_str2hex_bin(const char *src, size_t src_len, unsigned char *out, size_t out_size)
{
    if (!src || !out || src_len % 2 != 0 || src_len > 2 * out_size) {
        KO_LOGE("KO UTIL", "src_size =%d,is not 2X! dst_sizeX2=%d\r\n", static_cast<int>(src_len),
                static_cast<int>(2 * out_size));
        return 0;
    }
    for (size_t i = 0; i < src_len; i += 2) {
        const int hi = hex_value(src[i]);
        const int lo = hex_value(src[i + 1]);
        if (hi < 0 || lo < 0) {
            KO_LOGE("KO UTIL", "is not 0~9,a~f,src=%.*s\n", static_cast<int>(src_len), src);
            return 0;
        }
        out[i / 2] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return static_cast<int>(src_len / 2);
}

int ko_file_delete(const char *path)
{
    if (!path)
        return -1;
    const std::string real = zel_path(path);
    struct stat st {};
    if (stat(real.c_str(), &st) != 0) {
        KO_LOGW("KO UTIL", "warn : file %s not valid\n", real.c_str());
        return -1;
    }
    if (remove(real.c_str()) != 0) {
        KO_LOGE("KO UTIL", "remove errno:%s\n", std::strerror(errno));
        return -1;
    }
    return 0;
}
