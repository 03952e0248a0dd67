// A streaming ustar writer: produces an archive of up to 10 files piece by piece, so a caller can
// send it without building it on disk, and announces the archive's length in advance.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_TAR_MAX_FILES = 10, KO_TAR_PATH_LEN = 64, KO_TAR_MIN_READ = 1024 };

typedef struct ko_tar ko_tar;

// `paths` holds `count` device paths of KO_TAR_PATH_LEN characters each; NULL on failure.
ko_tar *ko_tar_init(const char (*paths)[KO_TAR_PATH_LEN], int count);
// The archive's length in bytes; -1 without a handle.
int64_t ko_tar_total_size(const ko_tar *tar);
// The next piece into buf (len >= KO_TAR_MIN_READ): its length, 0 at the end, -1 on error.
int ko_tar_read(ko_tar *tar, void *buf, int len);
void ko_tar_finish(ko_tar *tar);

#ifdef __cplusplus
}
#endif
