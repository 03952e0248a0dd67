// Streams are opened on a file descriptor of our own behind fopencookie, so that stdio's buffered
// writes, which LD_PRELOAD cannot see, come through sd_io_write_all and the fault seam.
#include "sd_io.h"
#include "sd_io_test.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "common/utils/ko_log.h"

namespace {

constexpr const char *kModule = "sd_io";
constexpr size_t kStreamBuffer = 64 * 1024;

std::atomic<uint64_t> g_bytes{0};

// The descriptor behind each open stream (fileno() does not see through a cookie).
struct Cookie {
    int fd;
    FILE *fp;
    int write_error; // errno of the stream's last failed write, 0 when none failed
};
std::mutex g_streams_lock;
std::unordered_map<FILE *, Cookie *> g_streams;

struct Seam {
    std::mutex lock;
    bool loaded = false;
    uint64_t nth = 0;
    int action = SD_IO_FAULT_ERRNO;
    int err = 0;
    uint64_t ops = 0;
    uint64_t read_nth = 0, reads = 0;
    int read_err = 0;
};
Seam g_seam;

// Counts one stream read: the errno it must fail with, or 0.
int read_seam_check()
{
    std::lock_guard<std::mutex> guard(g_seam.lock);
    if (g_seam.read_nth == 0 || ++g_seam.reads != g_seam.read_nth)
        return 0;
    return g_seam.read_err;
}

void parse_env_locked()
{
    g_seam.loaded = true;
    g_seam.ops = 0;
    g_seam.nth = 0;
    const char *spec = getenv("ZELMAR_SD_FAULT");
    if (!spec || !*spec)
        return;
    char *end = nullptr;
    const unsigned long long nth = strtoull(spec, &end, 10);
    if (!end || *end != ':' || nth == 0) {
        KO_LOGE(kModule, "ZELMAR_SD_FAULT \"%s\" is not N:errno, N:exit or N:half; ignored", spec);
        return;
    }
    const char *what = end + 1;
    if (strcmp(what, "exit") == 0) {
        g_seam.action = SD_IO_FAULT_KILL;
    } else if (strcmp(what, "half") == 0) {
        g_seam.action = SD_IO_FAULT_KILL_HALF;
    } else {
        const long e = strtol(what, &end, 10);
        if (*end || e <= 0) {
            KO_LOGE(kModule, "ZELMAR_SD_FAULT \"%s\": bad errno; ignored", spec);
            return;
        }
        g_seam.action = SD_IO_FAULT_ERRNO;
        g_seam.err = static_cast<int>(e);
    }
    g_seam.nth = nth;
}

// Counts one operation; the action the seam takes on it (-1 for none).
int seam_check()
{
    std::lock_guard<std::mutex> guard(g_seam.lock);
    if (!g_seam.loaded)
        parse_env_locked();
    const uint64_t n = ++g_seam.ops;
    if (g_seam.nth == 0 || n != g_seam.nth)
        return -1;
    return g_seam.action;
}

// Applies the seam to a non-write operation: false (errno set) when it must fail.
bool seam_allows()
{
    const int action = seam_check();
    if (action == SD_IO_FAULT_KILL || action == SD_IO_FAULT_KILL_HALF)
        _exit(SD_IO_FAULT_EXIT);
    if (action == SD_IO_FAULT_ERRNO) {
        errno = g_seam.err;
        return false;
    }
    return true;
}

ssize_t write_all(int fd, const char *buf, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, buf + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    g_bytes += size;
    return static_cast<ssize_t>(size);
}

ssize_t cookie_write(void *cookie, const char *buf, size_t size)
{
    Cookie *c = static_cast<Cookie *>(cookie);
    // After a failed write the stream's data has a gap: nothing behind it may land (not even what
    // the close flushes), or a period missing bytes could look whole.
    if (c->write_error) {
        errno = c->write_error;
        return -1;
    }
    const int action = seam_check();
    if (action == SD_IO_FAULT_KILL)
        _exit(SD_IO_FAULT_EXIT);
    if (action == SD_IO_FAULT_KILL_HALF) {
        write_all(c->fd, buf, size / 2);
        _exit(SD_IO_FAULT_EXIT);
    }
    ssize_t rc = -1;
    if (action == SD_IO_FAULT_ERRNO)
        errno = g_seam.err;
    else
        rc = write_all(c->fd, buf, size);
    if (rc < 0)
        c->write_error = errno ? errno : EIO;
    return rc;
}

ssize_t cookie_read(void *cookie, char *buf, size_t size)
{
    if (const int err = read_seam_check()) {
        errno = err;
        return -1;
    }
    const int fd = static_cast<Cookie *>(cookie)->fd;
    for (;;) {
        const ssize_t n = read(fd, buf, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int cookie_seek(void *cookie, off64_t *offset, int whence)
{
    const off_t at = lseek(static_cast<Cookie *>(cookie)->fd, static_cast<off_t>(*offset), whence);
    if (at < 0)
        return -1;
    *offset = at;
    return 0;
}

int cookie_close(void *cookie)
{
    Cookie *c = static_cast<Cookie *>(cookie);
    {
        std::lock_guard<std::mutex> guard(g_streams_lock);
        g_streams.erase(c->fp);
    }
    const int rc = close(c->fd);
    delete c;
    return rc;
}

bool open_flags(const char *mode, int *flags)
{
    const bool plus = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'r': *flags = plus ? O_RDWR : O_RDONLY; return true;
    case 'w': *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; return true;
    case 'a': *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; return true;
    default: return false;
    }
}

} // namespace

extern "C" FILE *sd_io_fopen(const char *path, const char *mode)
{
    int flags = 0;
    if (!path || !mode || !open_flags(mode, &flags)) {
        errno = EINVAL;
        return nullptr;
    }
    const int fd = sd_io_open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    Cookie *cookie = new Cookie{fd, nullptr, 0};
    static const cookie_io_functions_t io = {cookie_read, cookie_write, cookie_seek, cookie_close};
    FILE *fp = fopencookie(cookie, mode, io);
    if (!fp) {
        const int e = errno;
        close(fd);
        delete cookie;
        errno = e;
        return nullptr;
    }
    cookie->fp = fp;
    {
        std::lock_guard<std::mutex> guard(g_streams_lock);
        g_streams[fp] = cookie;
    }
    setvbuf(fp, nullptr, _IOFBF, kStreamBuffer);
    return fp;
}

extern "C" int sd_io_open(const char *path, int flags, int mode)
{
    if ((flags & (O_CREAT | O_TRUNC)) && !seam_allows())
        return -1;
    int fd;
    do {
        fd = open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

extern "C" int sd_io_close(int fd) { return close(fd); }

extern "C" int sd_io_reserve(int fd, uint64_t size)
{
    if (!seam_allows())
        return -1;
    if (size == 0)
        return 0;
    if (fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0)
        return 0;
    if (errno != EOPNOTSUPP)
        return -1;
    const int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

extern "C" int sd_io_rename(const char *from, const char *to)
{
    if (!seam_allows())
        return -1;
    return rename(from, to);
}

extern "C" int sd_io_unlink(const char *path)
{
    if (!seam_allows())
        return -1;
    return unlink(path);
}

extern "C" int sd_io_sync(FILE *fp)
{
    const int flushed = fflush(fp);
    int fd = -1, write_error = 0;
    {
        std::lock_guard<std::mutex> guard(g_streams_lock);
        const auto it = g_streams.find(fp);
        if (it != g_streams.end()) {
            fd = it->second->fd;
            write_error = it->second->write_error;
        }
    }
    // A buffered write that failed earlier left a gap that no sync can fill: the data is not durable.
    if (flushed != 0 || ferror(fp)) {
        errno = write_error ? write_error : EIO;
        return -1;
    }
    if (fd < 0)
        fd = fileno(fp); // a stream not opened here
    if (!seam_allows())
        return -1;
    return fdatasync(fd) == 0 ? 0 : -1;
}

extern "C" uint64_t sd_io_bytes_written(void) { return g_bytes.load(); }

extern "C" void sd_io_forget_failed_write(FILE *fp)
{
    clearerr(fp);
    std::lock_guard<std::mutex> guard(g_streams_lock);
    const auto it = g_streams.find(fp);
    if (it != g_streams.end())
        it->second->write_error = 0;
}

extern "C" void sd_io_fault_set(uint64_t nth, int action, int err)
{
    std::lock_guard<std::mutex> guard(g_seam.lock);
    g_seam.loaded = true;
    g_seam.nth = nth;
    g_seam.action = action;
    g_seam.err = err;
    g_seam.ops = 0;
}

extern "C" void sd_io_read_fault_set(uint64_t nth, int err)
{
    std::lock_guard<std::mutex> guard(g_seam.lock);
    g_seam.read_nth = nth;
    g_seam.read_err = err;
    g_seam.reads = 0;
}

extern "C" void sd_io_fault_from_env(void)
{
    std::lock_guard<std::mutex> guard(g_seam.lock);
    parse_env_locked();
}

extern "C" uint64_t sd_io_ops(void)
{
    std::lock_guard<std::mutex> guard(g_seam.lock);
    return g_seam.ops;
}
