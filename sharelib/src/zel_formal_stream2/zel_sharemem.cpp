// Shared-memory files and process record locks.
#include "zel_sharemem.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "zelmar/zel_path.h"

namespace {

constexpr size_t kMaxPath = 255;

} // namespace

std::string zel_sharemem_real_path(const char *name)
{
    if (!name)
        return {};
    std::string_view n(name);
    if (n.empty() || n == "." || n == ".." || n.find('/') != std::string_view::npos)
        return {};
    std::string device = "/tmp/" + std::string(n);
    if (device.size() > kMaxPath)
        return {};
    return zel_path(device);
}

namespace {

zel_sharemem_t *make_handle(void *addr, int fd, int size, const std::string &path)
{
    auto *mem = static_cast<zel_sharemem_t *>(calloc(1, sizeof(zel_sharemem_t)));
    char *copy = strdup(path.c_str());
    if (!mem || !copy) {
        free(mem);
        free(copy);
        munmap(addr, static_cast<size_t>(size));
        close(fd);
        return nullptr;
    }
    mem->addr = addr;
    mem->fd = fd;
    mem->length = size;
    mem->path = copy;
    return mem;
}

int record_lock(int fd, int cmd, short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    int rc;
    do {
        rc = fcntl(fd, cmd, &lock);
    } while (rc < 0 && errno == EINTR && cmd == F_SETLKW);
    return rc < 0 ? -1 : 0;
}

} // namespace

extern "C" zel_sharemem_t *zel_sharemem_create(const char *name, int size)
{
    std::string path = zel_sharemem_real_path(name);
    if (path.empty() || size <= 0) {
        fprintf(stderr, "open share file failed, path=%s\n", name ? name : "(null)");
        return nullptr;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0777);
    if (fd < 0) {
        fprintf(stderr, "open share file failed, path=%s\n", path.c_str());
        return nullptr;
    }
    if (ftruncate(fd, size) != 0) {
        fprintf(stderr, "ftruncate share file failed, path=%s, size=%d\n", path.c_str(), size);
        close(fd);
        return nullptr;
    }
    void *addr = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        fprintf(stderr, "mmap share file failed, path=%s\n", path.c_str());
        close(fd);
        return nullptr;
    }
    return make_handle(addr, fd, size, path);
}

extern "C" zel_sharemem_t *zel_sharemem_open(const char *name, int size)
{
    std::string path = zel_sharemem_real_path(name);
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "zel_sharemem_open: open sharemem failed, name = %s\n", name ? name : "(null)");
        return nullptr;
    }
    // Touching a page past the end of a shorter file would raise SIGBUS in this process.
    struct stat st;
    if (size <= 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < size) {
        fprintf(stderr, "zel_sharemem_open: mmap failed, name = %s, size=%d\n", name, size);
        close(fd);
        return nullptr;
    }
    void *addr = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
        fprintf(stderr, "zel_sharemem_open: mmap failed, name = %s, size=%d\n", name, size);
        close(fd);
        return nullptr;
    }
    return make_handle(addr, fd, size, path);
}

extern "C" void zel_sharemem_close(zel_sharemem_t *mem)
{
    if (!mem)
        return;
    munmap(mem->addr, static_cast<size_t>(mem->length));
    close(mem->fd);
    free(mem->path);
    free(mem);
}

extern "C" void zel_sharemem_destroy(zel_sharemem_t *mem)
{
    if (!mem)
        return;
    unlink(mem->path);
    zel_sharemem_close(mem);
}

extern "C" int zel_process_rwlock_create(const char *path)
{
    if (!path)
        return -1;
    std::string real = path[0] == '/' ? zel_path(path) : std::string(path);
    return open(real.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0777);
}

extern "C" void zel_process_rwlock_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

extern "C" int zel_process_rwlock_rdlock(int fd) { return record_lock(fd, F_SETLKW, F_RDLCK); }
extern "C" int zel_process_rwlock_wrlock(int fd) { return record_lock(fd, F_SETLKW, F_WRLCK); }
extern "C" int zel_process_rwlock_tryrdlock(int fd) { return record_lock(fd, F_SETLK, F_RDLCK); }
extern "C" int zel_process_rwlock_trywrlock(int fd) { return record_lock(fd, F_SETLK, F_WRLCK); }
extern "C" int zel_process_rwlock_unlock(int fd) { return record_lock(fd, F_SETLK, F_UNLCK); }
