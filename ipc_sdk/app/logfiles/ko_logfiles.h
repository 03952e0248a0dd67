// Log upload: the service asks its owner, through a file-list callback, which log files to send.
// This build keeps the callback between start and stop; the upload itself is not part of it.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { KO_LOGFILES_ENTRY_SIZE = 65 }; // a path of at most 64 characters and its NUL

// Fills `list` with up to `max_files` entries of KO_LOGFILES_ENTRY_SIZE bytes and returns their number;
// `force` asks for the files of a user request rather than those ready by themselves.
typedef int (*ko_logfiles_list_cb)(char *list, unsigned max_files, unsigned force);

// 0; -1 when already started ("already init") or without a callback.
int ko_logfiles_upload_init(ko_logfiles_list_cb callback);
// 0; -1 when not started ("logfiles_upload uninit!").
int ko_logfiles_upload_deinit(void);

#ifdef __cplusplus
}
#endif
