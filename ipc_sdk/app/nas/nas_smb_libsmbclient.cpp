// The SMB client table over libsmbclient: a context per connection (the credentials live in it, so
// two shares never see each other's), no automatic anonymous log-in, and the request time-out.
#include "app/nas/nas_smb_client.h"

#include <fcntl.h>
#include <libsmbclient.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace {

constexpr size_t kMaxIo = 1024 * 1024;

struct Conn {
    SMBCCTX *ctx = nullptr;
    std::string url_base; // "smb://addr"
    std::string workgroup, user, pass;
    bool lost = false; // the server stopped answering
};

void auth_cb(SMBCCTX *ctx, const char *, const char *, char *wg, int wglen, char *un, int unlen, char *pw,
             int pwlen)
{
    auto *conn = static_cast<Conn *>(smbc_getOptionUserData(ctx));
    if (!conn)
        return;
    auto put = [](char *out, int size, const std::string &value) {
        if (size <= 0)
            return;
        std::strncpy(out, value.c_str(), static_cast<size_t>(size) - 1);
        out[size - 1] = '\0';
    };
    if (!conn->workgroup.empty())
        put(wg, wglen, conn->workgroup);
    put(un, unlen, conn->user);
    put(pw, pwlen, conn->pass);
}

std::string url(const Conn *conn, const char *path)
{
    std::string out = conn->url_base + "/";
    out += path ? path : "";
    return out;
}

int errno_or(int fallback)
{
    return errno != 0 ? -errno : -fallback;
}

// The errno of a failed call, noting on the connection that its server is gone.
int failed_on(void *c, int fallback)
{
    const int rc = errno_or(fallback);
    if (rc == -ETIMEDOUT || rc == -ECONNRESET || rc == -EPIPE)
        static_cast<Conn *>(c)->lost = true;
    return rc;
}

// This build of the library exports no smbc_thread_posix, so its per-call state (talloc stack
// frames) is process-wide: every call into it is made under this one lock, whichever context.
std::mutex g_library_lock;
using LibraryHold = std::lock_guard<std::mutex>;

void free_conn(Conn *conn)
{
    SMBCCTX *ctx = conn->ctx;
    const bool lost = conn->lost;
    if (ctx) {
        LibraryHold hold(g_library_lock);
        smbc_setOptionUserData(ctx, nullptr); // the credentials go with the record
    }
    delete conn;
    if (!ctx)
        return;
    if (lost) {
        // Freeing closes the files and logs off, and waits about 3 s for a server that stopped
        // answering: that wait is not the caller's.
        std::thread([ctx] {
            LibraryHold hold(g_library_lock);
            smbc_free_context(ctx, 1);
        }).detach();
        return;
    }
    LibraryHold hold(g_library_lock);
    smbc_free_context(ctx, 1);
}

nas_smb_conn *lsc_connect(const nas_smb_login *login, const char *share, int *err)
{
    int dummy = 0;
    int &error = err ? *err : dummy;
    if (!login || !login->addr || !*login->addr || !share) {
        error = -EINVAL;
        return nullptr;
    }
    auto *conn = new (std::nothrow) Conn;
    if (!conn) {
        error = -ENOMEM;
        return nullptr;
    }
    conn->url_base = std::string("smb://") + login->addr;
    conn->workgroup = login->workgroup ? login->workgroup : "";
    conn->user = login->user ? login->user : "";
    conn->pass = login->pass ? login->pass : "";
    std::unique_lock<std::mutex> context_hold(g_library_lock);
    conn->ctx = smbc_new_context();
    if (!conn->ctx) {
        context_hold.unlock();
        error = -ENOMEM;
        free_conn(conn);
        return nullptr;
    }
    smbc_setDebug(conn->ctx, 0);
    smbc_setOptionUserData(conn->ctx, conn);
    smbc_setFunctionAuthDataWithContext(conn->ctx, auth_cb);
    smbc_setOptionNoAutoAnonymousLogin(conn->ctx, 1);
    smbc_setOptionUseCCache(conn->ctx, 0);
    smbc_setOptionUseKerberos(conn->ctx, 0);
    smbc_setPort(conn->ctx, static_cast<uint16_t>(login->port));
    smbc_setTimeout(conn->ctx, login->timeout_ms);
    if (!smbc_init_context(conn->ctx)) {
        context_hold.unlock();
        error = errno_or(EIO);
        free_conn(conn);
        return nullptr;
    }
    // A stat of the share's root logs in and connects its tree; for "" (the server's share list) a
    // listing does.
    struct stat st;
    errno = 0;
    bool reached;
    if (*share) {
        reached = smbc_getFunctionStat(conn->ctx)(conn->ctx, url(conn, share).c_str(), &st) == 0;
    } else if (SMBCFILE *dir = smbc_getFunctionOpendir(conn->ctx)(conn->ctx, url(conn, "").c_str())) {
        smbc_getFunctionClosedir(conn->ctx)(conn->ctx, dir);
        reached = true;
    } else {
        reached = false;
    }
    if (!reached) {
        error = errno_or(EIO);
        context_hold.unlock();
        free_conn(conn);
        return nullptr;
    }
    error = 0;
    return reinterpret_cast<nas_smb_conn *>(conn);
}

Conn *as_conn(nas_smb_conn *c)
{
    return reinterpret_cast<Conn *>(c);
}

void lsc_disconnect(nas_smb_conn *c)
{
    if (c)
        free_conn(as_conn(c));
}

int lsc_mkdir(nas_smb_conn *c, const char *path)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    return smbc_getFunctionMkdir(conn->ctx)(conn->ctx, url(conn, path).c_str(), 0755) < 0 ? failed_on(conn, EIO) : 0;
}

int lsc_rmdir(nas_smb_conn *c, const char *path)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    return smbc_getFunctionRmdir(conn->ctx)(conn->ctx, url(conn, path).c_str()) < 0 ? failed_on(conn, EIO) : 0;
}

int lsc_unlink(nas_smb_conn *c, const char *path)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    return smbc_getFunctionUnlink(conn->ctx)(conn->ctx, url(conn, path).c_str()) < 0 ? failed_on(conn, EIO) : 0;
}

int lsc_rename(nas_smb_conn *c, const char *from, const char *to)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    return smbc_getFunctionRename(conn->ctx)(conn->ctx, url(conn, from).c_str(), conn->ctx, url(conn, to).c_str()) < 0
               ? failed_on(conn, EIO)
               : 0;
}

int lsc_stat(nas_smb_conn *c, const char *path, nas_smb_stat_t *out)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    struct stat st;
    errno = 0;
    if (smbc_getFunctionStat(conn->ctx)(conn->ctx, url(conn, path).c_str(), &st) < 0)
        return failed_on(conn, EIO);
    out->size = static_cast<uint64_t>(st.st_size);
    out->mtime = static_cast<int64_t>(st.st_mtime);
    out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
    return 0;
}

nas_smb_file *lsc_open(nas_smb_conn *c, const char *path, int flags, int *err)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    SMBCFILE *file = smbc_getFunctionOpen(conn->ctx)(conn->ctx, url(conn, path).c_str(), flags, 0644);
    if (err)
        *err = file ? 0 : failed_on(conn, EIO);
    return reinterpret_cast<nas_smb_file *>(file);
}

ssize_t lsc_read(nas_smb_conn *c, nas_smb_file *f, void *buf, size_t len)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    const ssize_t n = smbc_getFunctionRead(conn->ctx)(conn->ctx, reinterpret_cast<SMBCFILE *>(f), buf, len);
    return n < 0 ? failed_on(conn, EIO) : n;
}

ssize_t lsc_write(nas_smb_conn *c, nas_smb_file *f, const void *buf, size_t len)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    const ssize_t n = smbc_getFunctionWrite(conn->ctx)(conn->ctx, reinterpret_cast<SMBCFILE *>(f), buf, len);
    return n < 0 ? failed_on(conn, EIO) : n;
}

int lsc_close(nas_smb_conn *c, nas_smb_file *f)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    return smbc_getFunctionClose(conn->ctx)(conn->ctx, reinterpret_cast<SMBCFILE *>(f)) < 0 ? failed_on(conn, EIO) : 0;
}

nas_smb_dir *lsc_opendir(nas_smb_conn *c, const char *path, int *err)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    SMBCFILE *dir = smbc_getFunctionOpendir(conn->ctx)(conn->ctx, url(conn, path).c_str());
    if (err)
        *err = dir ? 0 : failed_on(conn, EIO);
    return reinterpret_cast<nas_smb_dir *>(dir);
}

int lsc_readdir(nas_smb_conn *c, nas_smb_dir *d, nas_smb_entry *out)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    for (;;) {
        errno = 0;
        struct smbc_dirent *entry = smbc_getFunctionReaddir(conn->ctx)(conn->ctx, reinterpret_cast<SMBCFILE *>(d));
        if (!entry)
            return errno != 0 ? -errno : 0;
        const size_t len = strnlen(entry->name, entry->namelen);
        if ((len == 1 && entry->name[0] == '.') || (len == 2 && entry->name[0] == '.' && entry->name[1] == '.'))
            continue;
        int kind;
        if (entry->smbc_type == SMBC_FILE_SHARE)
            kind = NAS_SMB_ENTRY_SHARE;
        else if (entry->smbc_type == SMBC_DIR)
            kind = NAS_SMB_ENTRY_DIR;
        else if (entry->smbc_type == SMBC_FILE)
            kind = NAS_SMB_ENTRY_FILE;
        else
            continue; // printers, IPC$ and links are nothing to back up to
        if (len >= sizeof out->name)
            continue;
        std::memcpy(out->name, entry->name, len);
        out->name[len] = '\0';
        out->kind = kind;
        return 1;
    }
}

int lsc_closedir(nas_smb_conn *c, nas_smb_dir *d)
{
    Conn *conn = as_conn(c);
    LibraryHold hold(g_library_lock);
    errno = 0;
    return smbc_getFunctionClosedir(conn->ctx)(conn->ctx, reinterpret_cast<SMBCFILE *>(d)) < 0 ? failed_on(conn, EIO) : 0;
}

size_t lsc_max_io(nas_smb_conn *)
{
    return kMaxIo;
}

const nas_smb_client kClient = {
    "libsmbclient", lsc_connect, lsc_disconnect, lsc_mkdir,   lsc_rmdir,   lsc_unlink,
    lsc_rename,     lsc_stat,    lsc_open,       lsc_read,    lsc_write,   lsc_close,
    lsc_opendir,    lsc_readdir, lsc_closedir,   lsc_max_io,
};

} // namespace

const nas_smb_client *nas_smb_client_default(void)
{
    return &kClient;
}
