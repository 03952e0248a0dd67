// The path root: every absolute device path ("/mnt/data/...", "/tmp/...", "/proc/...") is opened
// below the directory named by ZELMAR_ROOT when that variable is set, and as it stands otherwise.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
#include <string>
#include <string_view>

// The real location of a device path: $ZELMAR_ROOT + path, or path itself.
std::string zel_path(std::string_view device_path);

extern "C" {
#endif

// The root prefix ("" when ZELMAR_ROOT is unset or empty).
const char *zel_path_root(void);

// Writes the real location of `device_path` into `out`: 0, -2 for a null argument,
// -22 when `out` is too small.
int zel_path_map(const char *device_path, char *out, size_t size);

#ifdef __cplusplus
}
#endif
