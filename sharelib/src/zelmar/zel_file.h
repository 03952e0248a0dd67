// File and directory helpers with optional advisory locking. Paths are real paths: callers map
// device paths with zel_path first.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Flags of file_get_contents / file_put_contents.
enum {
    ZEL_FILE_APPEND = 0x01,
    ZEL_FILE_LOCK_EX = 0x02,
    ZEL_FILE_LOCK_SH = 0x04,
    ZEL_FILE_EXCL = 0x08,
    ZEL_FILE_SYNC = 0x10,
    ZEL_FILE_NO_TRUNC = 0x20,
};

// Reads at most size - 1 bytes and a NUL: the bytes read, -1 for a null buffer or a failed open, or
// the failed read's result.
int file_read_string(char *buf, int size, const char *path);
// Writes the text and a newline (80 bytes at most) at the start of the file, created when absent and
// not truncated: the bytes written, or -1.
int file_write_string(const char *text, const char *path);
// One read of at most `size` bytes: the bytes read, or -1 when the open, the lock or the read fails.
int file_get_contents(const char *path, void *buf, int size, unsigned flags);
// Writes all `len` bytes (created with mode 0777, truncated unless ZEL_FILE_NO_TRUNC or
// ZEL_FILE_APPEND): `len`, or -1 when the open, the lock or a write fails.
int file_put_contents(const char *path, const void *data, int len, unsigned flags);
// A directory: the sum over the regular files below it of their sizes in whole KiB (a part KiB
// counts as one); another file: its size in bytes; 0 when it cannot be looked at.
long long dir_usage(const char *path);
// Makes the directory and its missing parents: 0 when it exists afterwards, else -1. `path` is cut
// and restored in place while the parents are made.
int mkdir_recursive(char *path, int mode);
// Makes the directory part of `path` (up to its last "/"); -1 with errno EINVAL without a "/".
int dir_make_parent(const char *path, int mode);
// Appends src when it fits in dst of `size` bytes with its NUL: 0; -1 for a null argument; -2 when
// it does not fit (as much as fits is appended and terminated).
int safe_strcat(char *dst, const char *src, int size);

#ifdef __cplusplus
}
#endif
