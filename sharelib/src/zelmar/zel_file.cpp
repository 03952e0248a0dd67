// File and directory helpers.
#include "zelmar/zel_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "CORE_FILE";

// Takes the lock that the flags ask for; 0 or -1.
int lock_for(int fd, unsigned flags, const char *path)
{
    const unsigned bits = flags & (ZEL_FILE_LOCK_EX | ZEL_FILE_LOCK_SH);
    if (bits == 0)
        return 0;
    const int op = bits == ZEL_FILE_LOCK_SH ? LOCK_SH : LOCK_EX;
    int rc;
    do
        rc = flock(fd, op);
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
        ZEL_LOGE(TAG, "flock %s: %s", path, std::strerror(errno));
    return rc;
}

ssize_t read_retry(int fd, void *buf, size_t size)
{
    ssize_t n;
    do
        n = read(fd, buf, size);
    while (n < 0 && errno == EINTR);
    return n;
}

// Writes all of `data`; the bytes written, or -1.
int write_all(int fd, const char *data, int len)
{
    int done = 0;
    while (done < len) {
        const ssize_t n = write(fd, data + done, static_cast<size_t>(len - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += static_cast<int>(n);
    }
    return done;
}

long long tree_kib(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return 0;
    long long total = 0;
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            total += tree_kib(path);
        else if (S_ISREG(st.st_mode))
            total += (st.st_size + 1023) / 1024;
    }
    closedir(d);
    return total;
}

} // namespace

int file_read_string(char *buf, int size, const char *path)
{
    if (!buf || size <= 0 || !path)
        return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ZEL_LOGE(TAG, "%s: open error(%s): %m\n", __func__, path);
        return -1;
    }
    const ssize_t n = read_retry(fd, buf, static_cast<size_t>(size - 1));
    if (n < 0)
        ZEL_LOGE(TAG, "%s: read error(%s): %m\n", __func__, path);
    else
        buf[n] = '\0';
    close(fd);
    return static_cast<int>(n);
}

int file_write_string(const char *text, const char *path)
{
    if (!text || !path)
        return -1;
    const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        ZEL_LOGE(TAG, "%s: open error(%s): %m\n", __func__, path);
        return -1;
    }
    char line[80];
    const int n = static_cast<int>(std::min(std::strlen(text), sizeof line - 1));
    std::memcpy(line, text, static_cast<size_t>(n));
    line[n] = '\n';
    const int rc = write_all(fd, line, n + 1);
    if (rc < 0)
        ZEL_LOGE(TAG, "%s: write error(%s): %m\n", __func__, path);
    close(fd);
    return rc;
}

int file_get_contents(const char *path, void *buf, int size, unsigned flags)
{
    if (!path || !buf || size < 0)
        return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ZEL_LOGE(TAG, "%s: open error(%s): %m\n", __func__, path);
        return -1;
    }
    int rc = lock_for(fd, flags, path);
    if (rc == 0) {
        rc = static_cast<int>(read_retry(fd, buf, static_cast<size_t>(size)));
        if (rc < 0)
            ZEL_LOGE(TAG, "%s: read error(%s): %m\n", __func__, path);
    }
    close(fd);
    return rc;
}

int file_put_contents(const char *path, const void *data, int len, unsigned flags)
{
    if (!path || (!data && len > 0) || len < 0)
        return -1;
    int oflags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (flags & ZEL_FILE_APPEND)
        oflags |= O_APPEND;
    if (flags & ZEL_FILE_EXCL)
        oflags |= O_EXCL;
    if (flags & ZEL_FILE_SYNC)
        oflags |= O_DSYNC;
    const int fd = open(path, oflags, 0777);
    if (fd < 0) {
        ZEL_LOGE(TAG, "%s: open error(%s): %m\n", __func__, path);
        return -1;
    }
    // Truncated only once the lock is held, so a reader under a shared lock never sees it half done.
    int rc = lock_for(fd, flags, path);
    if (rc == 0 && !(flags & (ZEL_FILE_NO_TRUNC | ZEL_FILE_APPEND)) && ftruncate(fd, 0) != 0) {
        ZEL_LOGE(TAG, "%s: truncate error(%s): %m\n", __func__, path);
        rc = -1;
    }
    if (rc == 0) {
        rc = write_all(fd, static_cast<const char *>(data), len);
        if (rc < 0)
            ZEL_LOGE(TAG, "%s: write error(%s): %m\n", __func__, path);
    }
    close(fd);
    return rc;
}

long long dir_usage(const char *path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return 0;
    return S_ISDIR(st.st_mode) ? tree_kib(path) : static_cast<long long>(st.st_size);
}

int mkdir_recursive(char *path, int mode)
{
    if (!path || !*path)
        return -1;
    if (mkdir(path, static_cast<mode_t>(mode)) == 0)
        return 0;
    struct stat st;
    if (errno == EEXIST)
        return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
    if (errno != ENOENT)
        return -1;
    char *slash = std::strrchr(path, '/');
    if (!slash || slash == path)
        return -1;
    *slash = '\0';
    const int parent = mkdir_recursive(path, mode);
    *slash = '/';
    if (parent != 0)
        return -1;
    if (mkdir(path, static_cast<mode_t>(mode)) == 0 || (errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode)))
        return 0;
    return -1;
}

int dir_make_parent(const char *path, int mode)
{
    const char *slash = path ? std::strrchr(path, '/') : nullptr;
    if (!slash) {
        errno = EINVAL;
        return -1;
    }
    if (slash == path)
        return 0; // the root
    std::string parent(path, static_cast<size_t>(slash - path));
    return mkdir_recursive(&parent[0], mode);
}

int safe_strcat(char *dst, const char *src, int size)
{
    if (!dst || !src) {
        ZEL_LOGE(TAG, "%s,%d,dest or src is NULL\n", __func__, __LINE__);
        return -1;
    }
    if (size <= 0)
        return -2;
    const size_t used = strnlen(dst, static_cast<size_t>(size));
    const size_t room = used < static_cast<size_t>(size) ? static_cast<size_t>(size) - used - 1 : 0;
    const size_t need = std::strlen(src);
    if (need <= room) {
        std::memcpy(dst + used, src, need + 1);
        return 0;
    }
    if (used < static_cast<size_t>(size)) {
        std::memcpy(dst + used, src, room);
        dst[used + room] = '\0';
    }
    ZEL_LOGE(TAG, "%s,%d, data overflow,src = :%s \n", __func__, __LINE__, src);
    return -2;
}
