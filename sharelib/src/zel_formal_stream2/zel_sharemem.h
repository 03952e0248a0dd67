// Named shared-memory files under "/tmp" mapped into each process, and a reader/writer lock between
// processes made of a record lock on a file. Errors go to stderr: these run in processes that may
// have no logger.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_sharemem {
    void *addr;   // the whole file, mapped read-write and shared
    int fd;
    int length;   // mapped bytes
    char *path;   // real location of "/tmp/<name>"
    int reserved; // 0
} zel_sharemem_t;

// Creates (or truncates and resizes) "/tmp/<name>" and maps it; null on failure. A name must be one
// path component ("", ".", "..", anything with "/" are refused) and a planted link is never followed.
zel_sharemem_t *zel_sharemem_create(const char *name, int size);
// Maps an existing file; null when it is absent or shorter than `size`.
zel_sharemem_t *zel_sharemem_open(const char *name, int size);
void zel_sharemem_close(zel_sharemem_t *mem);   // the file stays
void zel_sharemem_destroy(zel_sharemem_t *mem); // the file is removed

// Whole-file record locks. Locks belong to the process: threads of one process do not exclude each
// other, and closing any descriptor of the file releases them. Each returns fcntl's 0 or -1.
int zel_process_rwlock_create(const char *path); // a device path, mapped through the path root
void zel_process_rwlock_close(int fd);
int zel_process_rwlock_rdlock(int fd);
int zel_process_rwlock_wrlock(int fd);
int zel_process_rwlock_tryrdlock(int fd);
int zel_process_rwlock_trywrlock(int fd);
int zel_process_rwlock_unlock(int fd);

#ifdef __cplusplus
}

#include <string>
// The real location of "/tmp/<name>", or "" for a refused name.
std::string zel_sharemem_real_path(const char *name);
#endif
