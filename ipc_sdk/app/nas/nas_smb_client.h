// The SMB client table under the "samba" share back-end: one connection per share record, file,
// directory and share-list calls, and the largest I/O size. Every call returns 0 (or a byte count)
// or a negative errno, so that a smaller client can replace this one on the camera.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nas_smb_conn nas_smb_conn;
typedef struct nas_smb_file nas_smb_file;
typedef struct nas_smb_dir nas_smb_dir;

typedef struct nas_smb_login {
    const char *server;    // NetBIOS name (for the log and the session)
    const char *addr;      // dotted IPv4 address to reach
    int port;              // TCP port
    const char *workgroup;
    const char *user;
    const char *pass;
    int timeout_ms;        // per request
} nas_smb_login;

enum { NAS_SMB_ENTRY_FILE = 1, NAS_SMB_ENTRY_DIR = 2, NAS_SMB_ENTRY_SHARE = 3 };

typedef struct nas_smb_entry {
    char name[256];
    int kind; // NAS_SMB_ENTRY_*
} nas_smb_entry;

typedef struct nas_smb_stat_t {
    uint64_t size;
    int64_t mtime;
    int is_dir;
} nas_smb_stat_t;

// Paths below are "share/dir/file" with "/" separators; "" is the server (its share list).
typedef struct nas_smb_client {
    const char *name;
    // Logs in to the server and checks the share's tree; the connection or NULL with *err set.
    nas_smb_conn *(*connect)(const nas_smb_login *login, const char *share, int *err);
    void (*disconnect)(nas_smb_conn *conn);
    int (*mkdir)(nas_smb_conn *conn, const char *path);
    int (*rmdir)(nas_smb_conn *conn, const char *path);
    int (*unlink)(nas_smb_conn *conn, const char *path);
    int (*rename)(nas_smb_conn *conn, const char *from, const char *to);
    int (*stat)(nas_smb_conn *conn, const char *path, nas_smb_stat_t *out);
    // flags: O_RDONLY, or O_WRONLY|O_CREAT|O_TRUNC.
    nas_smb_file *(*open)(nas_smb_conn *conn, const char *path, int flags, int *err);
    ssize_t (*read)(nas_smb_conn *conn, nas_smb_file *file, void *buf, size_t len);
    ssize_t (*write)(nas_smb_conn *conn, nas_smb_file *file, const void *buf, size_t len);
    int (*close)(nas_smb_conn *conn, nas_smb_file *file);
    nas_smb_dir *(*opendir)(nas_smb_conn *conn, const char *path, int *err);
    // 1 with the next entry ("." and ".." left out), 0 at the end, or a negative errno.
    int (*readdir)(nas_smb_conn *conn, nas_smb_dir *dir, nas_smb_entry *out);
    int (*closedir)(nas_smb_conn *conn, nas_smb_dir *dir);
    size_t (*max_io)(nas_smb_conn *conn);
} nas_smb_client;

// The client of this build (libsmbclient).
const nas_smb_client *nas_smb_client_default(void);

#ifdef __cplusplus
}
#endif
