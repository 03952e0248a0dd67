// The small FILE routines that every recording module uses, and the card status codes they return.
// Paths are real paths (the pool maps its base path once). Every failure is logged.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Card failure codes (callers map them to the application's storage status values).
enum {
    SD_ERR_ARG = -1,
    SD_ERR_THREAD = -2,
    SD_ERR_NO_PATH = -7,
    SD_ERR_INDEX_RESET = -8,
    SD_ERR_NOMEM = -9,
    SD_ERR_FULL = -1028,
    SD_ERR_READ_ONLY = -1030,
    SD_ERR_OPEN = -1101,
    SD_ERR_WRITE = -1102,
    SD_ERR_SEEK = -1103,
    SD_ERR_TELL = -1104,
    SD_ERR_READ = -1105,
    SD_ERR_PATH_ABSENT = -1106,
    SD_ERR_CAPACITY = -1107,
    SD_ERR_DIR = -1108,
    SD_ERR_CLOSE = -1109,
    SD_ERR_MKDIR = -1112,
    SD_ERR_FALLOCATE = -1113,
    SD_ERR_RENAME = -1114,
    SD_ERR_FORMAT_CHECK = -1115,
};

// The module code for a system error: ENOSPC gives -1028, EROFS and EIO -1030, anything else `code`.
int sd_system_err(const char *who, int code, int err);
#define _get_system_err(code, err) sd_system_err(__func__, (code), (err))

FILE *_open_file(const char *path, const char *mode, int *err);
// "rb+", falling back to "rb": 3 read-write, 1 read-only, else the error.
int _open_file_wr(const char *path, FILE **fp);
int _close_file(FILE *fp);
int64_t _tell_file(FILE *fp);
// SEEK_SET needs 0 <= off <= cap, SEEK_END -cap <= off <= 0 (else -4), SEEK_CUR a target within
// [0, cap] (else -3).
int _seek_file(FILE *fp, int64_t off, int whence, int64_t cap);
// The file's length, seeking to the end and back.
int64_t _get_capacity(FILE *fp);
int _check_over_capacity(FILE *fp, int64_t limit);
// Writes all `size` bytes when they end at or before `cap` (else -3).
int _write_file(FILE *fp, const void *data, size_t size, int64_t cap);
// Reads all `len` bytes when they end at or before `cap` (else -3).
int _read_file(FILE *fp, void *buf, size_t len, int64_t cap);
// Creates every absent directory of the path with mode 0755.
int _multi_dir_create(const char *path);
int _init_reentrant_lock(pthread_mutex_t *m);
int _min_int(int a, int b);

#ifdef __cplusplus
}
#endif
