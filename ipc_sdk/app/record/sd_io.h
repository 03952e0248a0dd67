// The one file layer under every call of the recording modules that changes the card: stdio streams
// whose writes reach the card through our own functions (fopencookie), file creation and space
// reservation, rename, unlink and data sync. It counts the bytes written and holds the fault seam that
// tests arm from the environment (sd_io_test.h).
#pragma once

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// fopen of a real path with a 64 KiB stream buffer; modes "rb", "rb+", "wb", "wb+", "ab". NULL and
// errno on failure.
FILE *sd_io_fopen(const char *path, const char *mode);
// open(2) of a real path; -1 and errno on failure.
int sd_io_open(const char *path, int flags, int mode);
int sd_io_close(int fd);
// Reserves `size` bytes from offset 0: fallocate, or posix_fallocate where the file system has no
// fallocate (exFAT). 0, or -1 and errno.
int sd_io_reserve(int fd, uint64_t size);
int sd_io_rename(const char *from, const char *to);
int sd_io_unlink(const char *path);
// Flushes the stream and makes its data durable (fdatasync); 0, or -1 and errno, also when any write
// of the stream failed before (its data has a gap no sync can fill).
int sd_io_sync(FILE *fp);
// Takes a stream up again after a failed write, for a stream whose every write goes to a position
// of its own (an index's slots), so that no gap is left behind: the caller rewrites what failed.
void sd_io_forget_failed_write(FILE *fp);
// Bytes written through the layer since the process started.
uint64_t sd_io_bytes_written(void);

#ifdef __cplusplus
}
#endif
