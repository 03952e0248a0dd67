// Bounds are checked before every read and write so that a wrong position can never reach past the
// pre-allocated size of a pool file (which would grow it, and init deletes grown files).
#include "sd_file.h"

#include <errno.h>
#include <string.h>

#include <string>

#include "common/utils/ko_log.h"
#include "sd_io.h"
#include "zelmar/zel_file.h"

namespace {
constexpr const char *kModule = "sd_file";

// 0 when [position, position + size) lies within [0, cap], else -3 (logged).
int check_room(FILE *fp, size_t size, int64_t cap, const char *who)
{
    const int64_t pos = ftello(fp);
    if (pos < 0 || cap < 0 || static_cast<uint64_t>(size) > static_cast<uint64_t>(cap) ||
        pos > cap - static_cast<int64_t>(size)) {
        KO_LOGE(kModule, "%s: over capacity fail, %lld, %lld, %zu\n", who, static_cast<long long>(pos),
                static_cast<long long>(cap), size);
        return -3;
    }
    return 0;
}
} // namespace

extern "C" int sd_system_err(const char *who, int code, int err)
{
    KO_LOGE(kModule, "%s, err:%d [%d]%s\n", who, code, err, strerror(err));
    switch (err) {
    case ENOSPC:
        KO_LOGE(kModule, "%s, no space err:%d [%d]%s\n", who, code, err, strerror(err));
        return SD_ERR_FULL;
    case EROFS:
        KO_LOGE(kModule, "%s, read only err:%d [%d]%s\n", who, code, err, strerror(err));
        return SD_ERR_READ_ONLY;
    case EIO:
        KO_LOGE(kModule, "%s, Input/output err:%d [%d]%s\n", who, code, err, strerror(err));
        return SD_ERR_READ_ONLY;
    default:
        return code;
    }
}

extern "C" FILE *_open_file(const char *path, const char *mode, int *err)
{
    FILE *fp = path && mode ? sd_io_fopen(path, mode) : nullptr;
    if (!fp) {
        const int e = path && mode ? errno : EINVAL;
        KO_LOGE(kModule, "open %s (%s) fail\n", path ? path : "(null)", mode ? mode : "(null)");
        if (err)
            *err = _get_system_err(SD_ERR_OPEN, e);
    }
    return fp;
}

extern "C" int _open_file_wr(const char *path, FILE **fp)
{
    int err = 0;
    if (!fp)
        return SD_ERR_ARG;
    *fp = path ? sd_io_fopen(path, "rb+") : nullptr;
    if (*fp)
        return 3;
    *fp = _open_file(path, "rb", &err);
    return *fp ? 1 : err;
}

extern "C" int _close_file(FILE *fp)
{
    if (!fp)
        return -1;
    if (fclose(fp) != 0)
        return _get_system_err(SD_ERR_CLOSE, errno);
    return 0;
}

extern "C" int64_t _tell_file(FILE *fp)
{
    if (!fp)
        return -1;
    const int64_t pos = ftello(fp);
    return pos < 0 ? _get_system_err(SD_ERR_TELL, errno) : pos;
}

extern "C" int _seek_file(FILE *fp, int64_t off, int whence, int64_t cap)
{
    if (!fp)
        return -1;
    switch (whence) {
    case SEEK_SET:
        if (off < 0 || off > cap)
            return -4;
        break;
    case SEEK_END:
        if (off < -cap || off > 0)
            return -4;
        break;
    case SEEK_CUR: {
        const int64_t pos = ftello(fp);
        if (pos < 0 || (off > 0 && pos > cap - off) || pos + off < 0)
            return -3;
        break;
    }
    default:
        return -4;
    }
    if (fseeko(fp, static_cast<off_t>(off), whence) != 0)
        return _get_system_err(SD_ERR_SEEK, errno);
    return 0;
}

extern "C" int64_t _get_capacity(FILE *fp)
{
    if (!fp)
        return -1;
    const int64_t here = ftello(fp);
    if (here < 0 || fseeko(fp, 0, SEEK_END) != 0)
        return _get_system_err(SD_ERR_SEEK, errno);
    const int64_t end = ftello(fp);
    if (end < 0 || fseeko(fp, static_cast<off_t>(here), SEEK_SET) != 0)
        return _get_system_err(SD_ERR_SEEK, errno);
    return end;
}

extern "C" int _check_over_capacity(FILE *fp, int64_t limit)
{
    const int64_t pos = fp ? ftello(fp) : -1;
    if (pos < 0 || pos > limit) {
        KO_LOGE(kModule, "over capacity fail, %lld, %lld\n", static_cast<long long>(pos),
                static_cast<long long>(limit));
        return -3;
    }
    return 0;
}

extern "C" int _write_file(FILE *fp, const void *data, size_t size, int64_t cap)
{
    if (!fp || (!data && size))
        return -1;
    if (check_room(fp, size, cap, __func__) != 0)
        return -3;
    const char *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < size) {
        const size_t n = fwrite(p + done, 1, size - done, fp);
        if (n == 0)
            return _get_system_err(SD_ERR_WRITE, errno ? errno : EIO);
        done += n;
    }
    return 0;
}

extern "C" int _read_file(FILE *fp, void *buf, size_t len, int64_t cap)
{
    if (!fp || (!buf && len))
        return -1;
    if (check_room(fp, len, cap, __func__) != 0)
        return -3;
    char *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < len) {
        const size_t n = fread(p + done, 1, len - done, fp);
        if (n == 0) {
            if (ferror(fp))
                return _get_system_err(SD_ERR_READ, errno ? errno : EIO);
            KO_LOGE(kModule, "read past the end, %zu of %zu\n", done, len);
            return SD_ERR_READ;
        }
        done += n;
    }
    return 0;
}

extern "C" int _multi_dir_create(const char *path)
{
    if (!path || !*path)
        return SD_ERR_ARG;
    std::string copy(path);
    if (mkdir_recursive(copy.data(), 0755) != 0)
        return _get_system_err(SD_ERR_MKDIR, errno);
    return 0;
}

extern "C" int _init_reentrant_lock(pthread_mutex_t *m)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0)
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0)
        rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

extern "C" int _min_int(int a, int b) { return a < b ? a : b; }
