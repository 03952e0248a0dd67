// The "samba" share back-end: a share record's private state (its configuration, its SMB
// connection and a recursive mutex around every client call) and the 22 operations over the SMB
// client table.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "app/nas/nas_netbios.h"
#include "app/nas/nas_share.h"
#include "app/nas/nas_share_common.h"
#include "zelmar/zel_env.h"
#include "app/nas/nas_smb_client.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace {

constexpr const char *kModule = "KO NAS";
constexpr int kDefaultPort = 445;
// Per request; a write to a server that stopped answering fails about 2 s after this.
constexpr int kTimeoutMs = 2000;
constexpr int kResolveTimeoutMs = 2000;
constexpr size_t kNoSessionBuf = 1024;

struct Config {
    std::string name, addr, dir, group, user, pass;
};

struct State {
    std::recursive_mutex lock;
    const nas_smb_client *client = nas_smb_client_default();
    Config cfg;
    int type = NAS_SHARE_TYPE_SMB;
    bool configured = false;
    nas_smb_conn *conn = nullptr;
    Config conn_cfg; // what the connection was made with
    std::string conn_addr;
    int last_errno = 0;           // the client's errno of the last failure
    uint32_t last_nt_status = 0;  // the NT status it stands for, 0 when the server gave none
};

State *state_of(nas_share_ops_t *s)
{
    return s ? static_cast<State *>(s->priv) : nullptr;
}

int smb_port()
{
    return zel_env_port("ZELMAR_NAS_SMB_PORT", kDefaultPort, 65535);
}

// "share\a\b" -> share "share", path "a/b".
void split_dir(const std::string &dir, std::string *share, std::string *rest)
{
    const std::string norm = nas_share_norm_path(dir.c_str());
    const size_t slash = norm.find('/');
    *share = norm.substr(0, slash);
    *rest = slash == std::string::npos ? "" : norm.substr(slash + 1);
}

// The client path of a share path: "" stays the server; anything else lies in the share.
std::string full_path(const State *st, const char *path)
{
    std::string share, rest;
    split_dir(st->cfg.dir, &share, &rest);
    if (!path || !*path)
        return "";
    const std::string norm = nas_share_norm_path(path);
    return norm.empty() ? share : share + "/" + norm;
}

// What a failed client call was doing: the client gives the same errno for a refused log-in as
// for a refused file or directory access, and for a missing share as for a missing file.
enum class Op { login, file };

// The NT statuses the server answers with that the service tells apart.
enum NtStatus : uint32_t {
    kNtAccessDenied = 0xC0000022,
    kNtObjectNameInvalid = 0xC0000033,
    kNtObjectNameNotFound = 0xC0000034,
    kNtObjectNameCollision = 0xC0000035,
    kNtSharingViolation = 0xC0000043,
    kNtPrivilegeNotHeld = 0xC0000061,
    kNtLogonFailure = 0xC000006D,
    kNtDiskFull = 0xC000007F,
    kNtMediaWriteProtected = 0xC00000A2,
    kNtFileIsADirectory = 0xC00000BA,
    kNtBadNetworkName = 0xC00000CC,
    kNtDirectoryNotEmpty = 0xC0000101,
    kNtNotADirectory = 0xC0000103,
    kNtTooManyOpenedFiles = 0xC000011F,
};

// The NT status the server answered that the client turned into `err`; 0 when the failure was
// no answer of the server (no connection, a time-out, the client's own fault).
uint32_t nt_status_of(Op op, int err)
{
    switch (err) {
    case EACCES: return op == Op::login ? kNtLogonFailure : kNtAccessDenied;
    case EPERM: return op == Op::login ? kNtLogonFailure : kNtPrivilegeNotHeld;
    case ENOENT: return op == Op::login ? kNtBadNetworkName : kNtObjectNameNotFound;
    case EEXIST: return kNtObjectNameCollision;
    case EBUSY: return kNtSharingViolation;
    case ENOTDIR: return kNtNotADirectory;
    case EINVAL:
    case ENAMETOOLONG: return kNtObjectNameInvalid;
    case ENOSPC: return kNtDiskFull;
    case EROFS: return kNtMediaWriteProtected;
    case EMFILE: return kNtTooManyOpenedFiles;
    case ENOTEMPTY: return kNtDirectoryNotEmpty;
    case EISDIR: return kNtFileIsADirectory;
    default: return 0;
    }
}

// The service's code of an NT status: an errno value, or 260 and 261.
int nt_code(uint32_t status)
{
    switch (status) {
    case kNtAccessDenied:
    case kNtPrivilegeNotHeld:
    case kNtMediaWriteProtected:
    case kNtTooManyOpenedFiles: return EPERM;
    case kNtObjectNameNotFound: return ENOENT;
    case kNtObjectNameCollision: return EEXIST;
    case kNtSharingViolation: return 20; // the service's code for it, whatever its errno text says
    case kNtObjectNameInvalid:
    case kNtNotADirectory: return NAS_ERR_NAME;
    case kNtLogonFailure: return EACCES;
    case kNtDiskFull: return ENOSPC;
    default: return NAS_ERR_SERVER;
    }
}

// The service's code for a client result (0 or a negative errno); keeps what failed for the dump.
int samba_error(State *st, Op op, int neg_errno)
{
    if (neg_errno == 0)
        return 0;
    st->last_errno = -neg_errno;
    st->last_nt_status = nt_status_of(op, -neg_errno);
    if (st->last_nt_status == 0)
        return -neg_errno == EAGAIN ? EAGAIN : NAS_ERR_SERVER;
    KO_LOGE(kModule, "samba: NT Error: %x\n", static_cast<unsigned>(st->last_nt_status));
    return nt_code(st->last_nt_status);
}

const char *json_text(json_object *obj, const char *key)
{
    json_object *value = nullptr;
    if (!json_object_object_get_ex(obj, key, &value) || !json_object_is_type(value, json_type_string))
        return nullptr;
    return json_object_get_string(value);
}

// An address as the older form gives it: "\\1.2.3.4", "smb://1.2.3.4" or plain.
std::string plain_addr(const char *text)
{
    std::string out = text ? text : "";
    if (out.rfind("smb://", 0) == 0)
        out.erase(0, 6);
    while (!out.empty() && (out.front() == '\\' || out.front() == '/'))
        out.erase(0, 1);
    while (!out.empty() && (out.back() == '\\' || out.back() == '/'))
        out.pop_back();
    return out;
}

int parse_config(json_object *obj, Config *out)
{
    if (!obj || !json_object_is_type(obj, json_type_object))
        return EINVAL;
    Config cfg;
    auto take = [&](std::string *field, const char *key, const char *old_key) {
        const char *value = json_text(obj, key);
        if (!value && old_key)
            value = json_text(obj, old_key);
        if (value)
            *field = value;
    };
    take(&cfg.name, "name", "smb_server_name");
    if (cfg.name.empty())
        take(&cfg.name, "smb_name", nullptr);
    take(&cfg.dir, "dir", "smb_dir");
    take(&cfg.group, "group", "smb_workgroup");
    take(&cfg.user, "user", "smb_username");
    take(&cfg.pass, "pass", "smb_password");
    if (const char *addr = json_text(obj, "addr"))
        cfg.addr = addr;
    else if (const char *location = json_text(obj, "smb_location"))
        cfg.addr = plain_addr(location);
    // A share needs somewhere to go (a name to resolve or an address) and an account.
    if ((cfg.name.empty() && cfg.addr.empty()) || cfg.user.empty() || cfg.pass.empty()) {
        KO_LOGE(kModule, "samba: config needs a name or address, a user and a password\n");
        return EINVAL;
    }
    *out = std::move(cfg);
    return 0;
}

size_t samba_max_buf(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st)
        return kNoSessionBuf;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    return st->conn ? st->client->max_io(st->conn) : kNoSessionBuf;
}

int samba_disconnect(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st)
        return 0;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    if (st->conn) {
        st->client->disconnect(st->conn);
        st->conn = nullptr;
    }
    return 0;
}

int samba_isconnected(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st)
        return 0;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    return st->conn ? 1 : 0;
}

bool same_session(const Config &a, const Config &b)
{
    return a.name == b.name && a.addr == b.addr && a.user == b.user && a.pass == b.pass && a.group == b.group;
}

int make_dirs(State *st, const std::string &rest)
{
    std::string share, unused;
    split_dir(st->cfg.dir, &share, &unused);
    std::string path = share;
    size_t pos = 0;
    while (pos < rest.size()) {
        const size_t slash = rest.find('/', pos);
        const size_t end = slash == std::string::npos ? rest.size() : slash;
        path += "/" + rest.substr(pos, end - pos);
        pos = end + 1;
        const int rc = st->client->mkdir(st->conn, path.c_str());
        if (rc != 0 && rc != -EEXIST) {
            KO_LOGE(kModule, "samba: Can not make video directory %s. (rc = %d)\n", path.c_str(), rc);
            return samba_error(st, Op::file, rc);
        }
    }
    return 0;
}

int samba_connect(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st)
        return EINVAL;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    if (!st->configured)
        return EINVAL;
    const uint64_t start_ms = vexa_time_tick_ms();
    std::string share, rest;
    split_dir(st->cfg.dir, &share, &rest);
    if (st->conn && same_session(st->conn_cfg, st->cfg)) {
        KO_LOGI(kModule, "samba: Reuse original session %s.\n", st->cfg.name.c_str());
        std::string old_share, old_rest;
        split_dir(st->conn_cfg.dir, &old_share, &old_rest);
        if (old_share == share) {
            KO_LOGI(kModule, "samba: Reuse original tree \"%s\".\n", share.c_str());
            st->conn_cfg = st->cfg;
            return make_dirs(st, rest);
        }
    }
    if (st->conn) {
        KO_LOGI(kModule, "samba: Cleanup old samba connection.\n");
        samba_disconnect(s);
    }
    std::string addr = st->cfg.addr;
    if (addr.empty()) {
        char found[16] = {0};
        if (nas_netbios_resolve(st->cfg.name.c_str(), kResolveTimeoutMs, found, sizeof found) != 0) {
            KO_LOGE(kModule, "samba: Can not connect to %s. (name not resolved)\n", st->cfg.name.c_str());
            st->last_errno = EHOSTUNREACH;
            st->last_nt_status = 0;
            return NAS_ERR_SERVER;
        }
        addr = found;
    }
    KO_LOGI(kModule, "samba: Connecting to server %s.\n", st->cfg.name.empty() ? addr.c_str() : st->cfg.name.c_str());
    KO_LOGI(kModule, "samba: Logging in %s.\n", st->cfg.user.c_str());
    KO_LOGI(kModule, "samba: Connecting to samba tree \"%s\".\n", share.c_str());
    nas_smb_login login{st->cfg.name.c_str(), addr.c_str(), smb_port(), st->cfg.group.c_str(),
                        st->cfg.user.c_str(), st->cfg.pass.c_str(), kTimeoutMs};
    int err = 0;
    st->conn = st->client->connect(&login, share.c_str(), &err);
    if (!st->conn) {
        const int code = samba_error(st, Op::login, err ? err : -EIO);
        if (st->last_nt_status == 0)
            KO_LOGE(kModule, "samba: Can not connect to %s. (%s)\n", login.server[0] ? login.server : login.addr,
                    std::strerror(st->last_errno));
        else if (st->last_nt_status == kNtBadNetworkName)
            KO_LOGE(kModule, "samba: Can not connect to samba tree \"%s\". (nt_status = %x)\n", share.c_str(),
                    static_cast<unsigned>(st->last_nt_status));
        else
            KO_LOGE(kModule, "samba: Can not log in %s. (nt_status = %x)\n", st->cfg.user.c_str(),
                    static_cast<unsigned>(st->last_nt_status));
        return code;
    }
    st->conn_cfg = st->cfg;
    st->conn_addr = addr;
    const int rc = make_dirs(st, rest);
    if (rc != 0) {
        samba_disconnect(s);
        return rc;
    }
    const uint64_t cost = vexa_time_tick_ms() - start_ms;
    KO_LOGI(kModule, "samba: connect success ,cost %ld.%lds!\n", static_cast<long>(cost / 1000),
            static_cast<long>(cost % 1000));
    return 0;
}

int samba_reconnect(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st)
        return EINVAL;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    samba_disconnect(s);
    return samba_connect(s);
}

int samba_set_config(nas_share_ops_t *s, json_object *cfg)
{
    State *st = state_of(s);
    if (!st)
        return EINVAL;
    Config parsed;
    if (parse_config(cfg, &parsed) != 0)
        return EINVAL;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    st->cfg = std::move(parsed);
    st->configured = true;
    return 0;
}

json_object *samba_get_config(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st)
        return nullptr;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    if (!st->configured)
        return nullptr;
    json_object *obj = json_object_new_object();
    json_object_object_add(obj, "type", json_object_new_int(st->type));
    json_object_object_add(obj, "name", json_object_new_string(st->cfg.name.c_str()));
    json_object_object_add(obj, "addr", json_object_new_string(st->cfg.addr.c_str()));
    json_object_object_add(obj, "dir", json_object_new_string(st->cfg.dir.c_str()));
    json_object_object_add(obj, "group", json_object_new_string(st->cfg.group.c_str()));
    json_object_object_add(obj, "user", json_object_new_string(st->cfg.user.c_str()));
    json_object_object_add(obj, "pass", json_object_new_string(st->cfg.pass.c_str()));
    return obj;
}

int samba_open(nas_share_ops_t *s, json_object *cfg)
{
    if (!s)
        return EINVAL;
    if (!s->priv) {
        s->priv = new (std::nothrow) State;
        if (!s->priv)
            return ENOMEM;
    }
    const int rc = samba_set_config(s, cfg);
    return rc != 0 ? rc : samba_connect(s);
}

void samba_release(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st)
        return;
    samba_disconnect(s);
    delete st;
    s->priv = nullptr;
}

// Runs one client call on the connection under the record's lock.
template <typename F>
int with_conn(nas_share_ops_t *s, F &&call)
{
    State *st = state_of(s);
    if (!st)
        return EINVAL;
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    if (!st->conn)
        return samba_error(st, Op::file, -ENOTCONN);
    const int rc = call(st);
    if (rc == -ETIMEDOUT || rc == -ECONNRESET || rc == -EPIPE) {
        // A server that stopped answering would make every later call wait out the time-out again
        // (the close after a failed write first of all): the connection is given up at once.
        KO_LOGE(kModule, "samba: connection lost (%d)\n", -rc);
        st->client->disconnect(st->conn);
        st->conn = nullptr;
    }
    return samba_error(st, Op::file, rc);
}

int samba_mkdir(nas_share_ops_t *s, const char *path)
{
    return with_conn(s, [&](State *st) { return st->client->mkdir(st->conn, full_path(st, path).c_str()); });
}

int samba_rmdir(nas_share_ops_t *s, const char *path)
{
    return with_conn(s, [&](State *st) { return st->client->rmdir(st->conn, full_path(st, path).c_str()); });
}

int samba_unlink(nas_share_ops_t *s, const char *path)
{
    return with_conn(s, [&](State *st) { return st->client->unlink(st->conn, full_path(st, path).c_str()); });
}

int samba_stat(nas_share_ops_t *s, const char *path, nas_share_stat_t *out)
{
    if (!out)
        return EINVAL;
    return with_conn(s, [&](State *st) {
        nas_smb_stat_t info{};
        const int rc = st->client->stat(st->conn, full_path(st, path).c_str(), &info);
        if (rc == 0)
            *out = nas_share_stat_t{info.size, info.mtime, info.is_dir};
        return rc;
    });
}

int samba_file_open(nas_share_ops_t *s, const char *path, int write, nas_share_file_t **out)
{
    if (!out)
        return EINVAL;
    return with_conn(s, [&](State *st) {
        int err = 0;
        const int flags = write ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
        *out = reinterpret_cast<nas_share_file_t *>(st->client->open(st->conn, full_path(st, path).c_str(), flags, &err));
        return *out ? 0 : err;
    });
}

ssize_t samba_file_read(nas_share_ops_t *s, nas_share_file_t *f, void *buf, size_t len)
{
    ssize_t n = 0;
    const int rc = with_conn(s, [&](State *st) {
        n = st->client->read(st->conn, reinterpret_cast<nas_smb_file *>(f), buf, len);
        return n < 0 ? static_cast<int>(n) : 0;
    });
    return rc != 0 ? -rc : n;
}

ssize_t samba_file_write(nas_share_ops_t *s, nas_share_file_t *f, const void *buf, size_t len)
{
    ssize_t n = 0;
    const int rc = with_conn(s, [&](State *st) {
        n = st->client->write(st->conn, reinterpret_cast<nas_smb_file *>(f), buf, len);
        return n < 0 ? static_cast<int>(n) : 0;
    });
    return rc != 0 ? -rc : n;
}

int samba_file_close(nas_share_ops_t *s, nas_share_file_t *f)
{
    return with_conn(s, [&](State *st) { return st->client->close(st->conn, reinterpret_cast<nas_smb_file *>(f)); });
}

nas_share_dir_t *samba_opendir(nas_share_ops_t *s, const char *path, int *err)
{
    nas_share_dir_t *dir = nullptr;
    const int rc = with_conn(s, [&](State *st) {
        int e = 0;
        dir = reinterpret_cast<nas_share_dir_t *>(st->client->opendir(st->conn, full_path(st, path).c_str(), &e));
        return dir ? 0 : e;
    });
    if (err)
        *err = rc;
    return dir;
}

int samba_readdir(nas_share_ops_t *s, nas_share_dir_t *d, nas_share_entry_t *out)
{
    int got = 0;
    const int rc = with_conn(s, [&](State *st) {
        nas_smb_entry entry{};
        got = st->client->readdir(st->conn, reinterpret_cast<nas_smb_dir *>(d), &entry);
        if (got == 1) {
            std::memcpy(out->name, entry.name, sizeof out->name);
            out->kind = entry.kind;
        }
        return got < 0 ? got : 0;
    });
    return rc != 0 ? -rc : got;
}

int samba_closedir(nas_share_ops_t *s, nas_share_dir_t *d)
{
    return with_conn(s, [&](State *st) { return st->client->closedir(st->conn, reinterpret_cast<nas_smb_dir *>(d)); });
}

int samba_rename(nas_share_ops_t *s, const char *from, const char *to)
{
    return with_conn(s, [&](State *st) {
        return st->client->rename(st->conn, full_path(st, from).c_str(), full_path(st, to).c_str());
    });
}

int samba_writefile(nas_share_ops_t *s, const char *local, const char *remote, const int *stop)
{
    // Each piece takes the record's lock on its own, so a copy never holds it for minutes.
    return state_of(s) ? nas_share_common_writefile(s, local, remote, stop, samba_rename) : EINVAL;
}

int samba_rmdir_recursive(nas_share_ops_t *s, const char *path)
{
    return state_of(s) ? nas_share_common_rmdir_recursive(s, path) : EINVAL;
}

void samba_dump(nas_share_ops_t *s)
{
    State *st = state_of(s);
    if (!st) {
        KO_LOGI(kModule, "samba: Config: none\n");
        return;
    }
    std::lock_guard<std::recursive_mutex> hold(st->lock);
    KO_LOGI(kModule, "samba: Config: %s, Session: %s, Tree: %s, LibDSM Lock: recursive mutex, Last NT Error: %x "
                     "(errno %d)\n",
            st->configured ? "set" : "none", st->conn ? st->conn_addr.c_str() : "none",
            st->conn ? st->conn_cfg.dir.c_str() : "none", static_cast<unsigned>(st->last_nt_status), st->last_errno);
    KO_LOGI(kModule, "samba: server %s (%s), share %s, user %s, password %s\n", st->cfg.name.c_str(),
            st->cfg.addr.c_str(), st->cfg.dir.c_str(), st->cfg.user.c_str(), "*********");
}

} // namespace

const nas_share_ops_t g_nas_share_samba = {
    "samba",         NAS_SHARE_TYPE_SMB, nullptr,         samba_max_buf,    samba_open,       samba_release,
    samba_isconnected, samba_connect,    samba_disconnect, samba_reconnect, samba_set_config, samba_get_config,
    samba_mkdir,     samba_rmdir,        samba_stat,      samba_file_open,  samba_file_read,  samba_file_write,
    samba_file_close, samba_unlink,      samba_opendir,   samba_readdir,    samba_closedir,   samba_writefile,
    samba_rmdir_recursive, samba_dump,
};
