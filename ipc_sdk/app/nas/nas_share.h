// The share record through which the NAS service reaches a share: a copy of a back-end's template
// with its private state and 22 operations in slot order. Results are 0 or one of the NAS codes
// below (errno values under 256, 260 server error, 261 invalid name); the only back-end is SMB
// ("samba", share type 1).
#pragma once

#include <json-c/json.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    NAS_SHARE_TYPE_SMB = 1,
    NAS_ERR_UPGRADE = 257,
    NAS_ERR_SLOW = 258,
    NAS_ERR_SDCARD = 259,
    NAS_ERR_SERVER = 260,
    NAS_ERR_NAME = 261,
};

typedef struct nas_share_ops nas_share_ops_t;
typedef struct nas_share_file nas_share_file_t;
typedef struct nas_share_dir nas_share_dir_t;

typedef struct nas_share_stat {
    uint64_t size;
    int64_t mtime;
    int is_dir;
} nas_share_stat_t;

enum { NAS_ENTRY_FILE = 1, NAS_ENTRY_DIR = 2, NAS_ENTRY_SHARE = 3 };

typedef struct nas_share_entry {
    char name[256];
    int kind; // NAS_ENTRY_*
} nas_share_entry_t;

// Paths are within the share named by "dir", "\" or "/" separated; "" in opendir lists the server's
// shares, "\" is the share's root.
struct nas_share_ops {
    const char *name;
    int type;
    void *priv;
    size_t (*max_buf)(nas_share_ops_t *s);
    int (*open)(nas_share_ops_t *s, json_object *cfg);            // 0: private state, config, connect
    void (*release)(nas_share_ops_t *s);                          // 1
    int (*isconnected)(nas_share_ops_t *s);                       // 2: 0 or 1
    int (*connect)(nas_share_ops_t *s);                           // 3
    int (*disconnect)(nas_share_ops_t *s);                        // 4
    int (*reconnect)(nas_share_ops_t *s);                         // 5
    int (*set_config)(nas_share_ops_t *s, json_object *cfg);      // 6: 0 or 22
    json_object *(*get_config)(nas_share_ops_t *s);               // 7: a new object, or NULL
    int (*mkdir)(nas_share_ops_t *s, const char *path);           // 8
    int (*rmdir)(nas_share_ops_t *s, const char *path);           // 9
    int (*stat)(nas_share_ops_t *s, const char *path, nas_share_stat_t *out); // 10
    int (*file_open)(nas_share_ops_t *s, const char *path, int write, nas_share_file_t **out); // 11
    ssize_t (*file_read)(nas_share_ops_t *s, nas_share_file_t *f, void *buf, size_t len);     // 12
    ssize_t (*file_write)(nas_share_ops_t *s, nas_share_file_t *f, const void *buf, size_t len); // 13
    int (*file_close)(nas_share_ops_t *s, nas_share_file_t *f);  // 14
    int (*unlink)(nas_share_ops_t *s, const char *path);          // 15
    nas_share_dir_t *(*opendir)(nas_share_ops_t *s, const char *path, int *err); // 16
    int (*readdir)(nas_share_ops_t *s, nas_share_dir_t *d, nas_share_entry_t *out); // 17: 1, 0 end, -code
    int (*closedir)(nas_share_ops_t *s, nas_share_dir_t *d);      // 18
    // 19: copies a local file (a real path) to `remote`; stops early (4) once *stop is non-zero.
    int (*writefile)(nas_share_ops_t *s, const char *local, const char *remote, const int *stop);
    int (*rmdir_recursive)(nas_share_ops_t *s, const char *path); // 20
    void (*dump)(nas_share_ops_t *s);                             // 21
};

// A new share record of `type` (a copy of its back-end's template), or NULL when the type has no
// back-end. Free it with nas_share_free (which releases it first).
nas_share_ops_t *nas_share_new(int type);
void nas_share_free(nas_share_ops_t *s);

// The text of a NAS code ("Unknown Error" for others).
const char *nas_share_error_text(int code);

#ifdef __cplusplus
}
#endif
