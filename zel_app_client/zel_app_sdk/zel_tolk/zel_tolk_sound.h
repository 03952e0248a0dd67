// The sound file downloader exported for other processes on the device: fetches a file over HTTPS
// into "/tmp/download/" and prepares that directory with a default sound. One download at a time, in
// the caller's thread. A finished file appears whole under its name (written to a temporary file,
// flushed and renamed over the old one), so a failed or interrupted transfer keeps the old file.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Downloads `url` into the download directory under `name` (a plain file name: no "/", not "." or
// "..", the joined path at most 127 characters): 0 when the file was replaced, -1 otherwise.
int sound_resource_download(const char *url, const char *name);
// Creates "/tmp/download/" when absent and copies the default sound to "dest_file" there when that
// file is absent: 0, or -1 when the directory cannot be made.
int create_sound_dir(void);
// One transfer into the open temporary file: the libcurl result.
int download_file(const char *url);
// Copies a non-empty file: 0 or -1.
int cp_file(const char *from, const char *to);
// A libcurl write function appending text to the NUL-terminated buffer `stream` while the whole stays
// at most 999999 characters (else the chunk is refused).
size_t write_data(void *ptr, size_t size, size_t nmemb, void *stream);

#ifdef __cplusplus
}
#endif
