// The kv store's two database files: finding each copy by its base name, checking its contents
// against the CRC-32 in its name, renaming it after a change (flushed first) and rebuilding one copy
// from the other. Store files are never followed through a symlink: such a copy counts as damaged.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/kv/ko_kv_internal.h"
#include "common/utils/ko_crc32.h"
#include "common/utils/ko_log.h"

namespace {

// "base" or "base_<digits>" exactly; anything else in the directory is not ours.
bool is_copy_name(const char *name, const char *base)
{
    const size_t n = strlen(base);
    if (strncmp(name, base, n) != 0)
        return false;
    if (name[n] == 0)
        return true;
    if (name[n] != '_' || name[n + 1] == 0)
        return false;
    for (const char *p = name + n + 1; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

// A store file that is anything but a regular file (a symlink above all) is never followed.
bool is_regular_file(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int fsync_path(const std::string &path, int flags)
{
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "open", strerror(errno));
        return -1;
    }
    int rc = fsync(fd);
    if (rc != 0)
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "fsync", strerror(errno));
    if (close(fd) != 0 && rc == 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "close", strerror(errno));
        rc = -1;
    }
    return rc == 0 ? 0 : -1;
}

bool write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

int _ko_kv_get_db_filename(const char *pattern, std::string *name)
{
    name->clear();
    const std::string &dir = g_ko_kv.dir;
    if (access(dir.c_str(), R_OK) != 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "access", strerror(errno));
        return -1;
    }
    struct dirent **list = nullptr;
    const int n = scandir(dir.c_str(), &list, nullptr, alphasort);
    if (n < 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "scandir", strerror(errno));
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        const char *d_name = list[i]->d_name;
        if (is_copy_name(d_name, pattern)) {
            if (name->empty()) {
                name->assign(d_name, strnlen(d_name, 63));
                KO_LOGD(KO_KV_MODULE, "db d_name %s.\n", name->c_str());
            } else {
                KO_LOGW(KO_KV_MODULE, "there is multiple same name file(%s).\n", d_name);
                const std::string extra = dir + "/" + d_name;
                if (unlink(extra.c_str()) != 0)
                    KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
            }
        }
        free(list[i]);
    }
    free(list);
    return 0;
}

int _ko_kv_parse_filename_crc32(const std::string &name, uint32_t *crc)
{
    const size_t us = name.rfind('_');
    uint32_t v = 0;
    if (us != std::string::npos)
        for (size_t i = us + 1; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i)
            v = v * 10 + static_cast<uint32_t>(name[i] - '0');
    *crc = v;
    return 0;
}

int _ko_kv_get_file_crc32(const std::string &path, uint32_t *crc)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        KO_LOGE(KO_KV_MODULE, "open   file(%s) failed.\n", path.c_str());
        return -1;
    }
    uint32_t c = ko_crc32_init();
    char block[512];
    int rc = 0;
    for (;;) {
        const ssize_t r = read(fd, block, sizeof block);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "read", strerror(errno));
            rc = -1;
            break;
        }
        if (r == 0)
            break;
        c = ko_crc32_update(c, block, static_cast<size_t>(r));
    }
    close(fd);
    *crc = ko_crc32_finish(c);
    return rc;
}

int _ko_kv_invalid_check(const char *pattern, std::string *path)
{
    path->clear();
    std::string name;
    if (_ko_kv_get_db_filename(pattern, &name) != 0) {
        KO_LOGE(KO_KV_MODULE, "get db filename failed,ret = %d\n", -1);
        return -1;
    }
    if (name.empty()) {
        *path = g_ko_kv.dir + "/" + pattern;
        return 0;
    }
    *path = g_ko_kv.dir + "/" + name;
    if (!is_regular_file(*path)) {
        KO_LOGE(KO_KV_MODULE, "%s is not a regular file, rebuild it.\n", path->c_str());
        return -1;
    }
    if (name == pattern)
        return 0;
    uint32_t want = 0, have = 0;
    _ko_kv_parse_filename_crc32(name, &want);
    const int ret = _ko_kv_get_file_crc32(*path, &have);
    if (ret == 0 && want == have)
        return 0;
    g_ko_kv.cnt.crc32_err_cnt++;
    KO_LOGE(KO_KV_MODULE, "crc32 check failed,crc32 %u,new_crc32 %u,ret %d.\n", want, have, ret);
    return -1;
}

void _ko_kv_unnamed_copy_check(const std::string &src, bool *src_bad, const std::string &bak, bool *bak_bad)
{
    if (*src_bad || *bak_bad)
        return;
    const bool src_unnamed = src == g_ko_kv.dir + "/" + KO_KV_SRC;
    const bool bak_unnamed = bak == g_ko_kv.dir + "/" + KO_KV_BAK;
    if (src_unnamed == bak_unnamed)
        return;
    KO_LOGE(KO_KV_MODULE, "%s has no crc name beside %s, rebuild it.\n", src_unnamed ? KO_KV_SRC : KO_KV_BAK,
            src_unnamed ? bak.c_str() : src.c_str());
    *(src_unnamed ? src_bad : bak_bad) = true;
}

int _ko_kv_rename_db_file(std::string *path, const char *base)
{
    uint32_t crc = 0;
    if (_ko_kv_get_file_crc32(*path, &crc) != 0) {
        KO_LOGE(KO_KV_MODULE, "get   file(%s) crc failed.\n", path->c_str());
        return -1;
    }
    char target[256];
    const int n = snprintf(target, sizeof target, "%s/%s_%u", g_ko_kv.dir.c_str(), base, crc);
    if (n < 0 || n > 254) {
        KO_LOGE(KO_KV_MODULE, "db file name too long: %s\n", g_ko_kv.dir.c_str());
        return -1;
    }
    if (fsync_path(*path, O_RDONLY | O_NOFOLLOW) != 0)
        return -1;
    if (rename(path->c_str(), target) != 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "rename failed\n", strerror(errno));
        return -1;
    }
    KO_LOGD(KO_KV_MODULE, "src name %s, new name %s.\n", path->c_str(), target);
    *path = target;
    return fsync_path(g_ko_kv.dir, O_RDONLY | O_DIRECTORY);
}

int _ko_kv_copy_file(const std::string &from, const std::string &to)
{
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        KO_LOGE(KO_KV_MODULE, "open src file(%s) failed.\n", from.c_str());
        return -2;
    }
    // Written beside the target and renamed over it, so that whatever the target was (a damaged
    // copy, a symlink) is replaced, never written through.
    const std::string tmp = to + ".tmp";
    if (unlink(tmp.c_str()) != 0 && errno != ENOENT)
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "unlink", strerror(errno));
    const int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (out < 0) {
        KO_LOGE(KO_KV_MODULE, "open dst file(%s) failed.\n", tmp.c_str());
        close(in);
        return -2;
    }
    char block[1024];
    int rc = 0;
    for (;;) {
        const ssize_t r = read(in, block, sizeof block);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r < 0) {
                KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "read", strerror(errno));
                rc = -1;
            }
            break;
        }
        if (!write_all(out, block, static_cast<size_t>(r))) {
            KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "write", strerror(errno));
            rc = -1;
            break;
        }
    }
    if (rc == 0 && fsync(out) != 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "fsync", strerror(errno));
        rc = -1;
    }
    if (close(out) != 0 && rc == 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "close", strerror(errno));
        rc = -1;
    }
    close(in);
    if (rc == 0 && rename(tmp.c_str(), to.c_str()) != 0) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "rename", strerror(errno));
        rc = -1;
    }
    if (rc != 0) {
        unlink(tmp.c_str());
        return rc;
    }
    KO_LOGD(KO_KV_MODULE, "copy   file OK.\n");
    return 0;
}

int _ko_kv_repair(bool src_bad, bool bak_bad, std::string *src, std::string *bak)
{
    if (src_bad == bak_bad)
        return 0;
    const std::string &good = src_bad ? *bak : *src;
    std::string *bad = src_bad ? src : bak;
    const char *base = src_bad ? KO_KV_SRC : KO_KV_BAK;
    if (good.empty() || bad->empty()) {
        KO_LOGE(KO_KV_MODULE, "kv repair of %s has no path\n", base);
        return -1;
    }
    if (_ko_kv_copy_file(good, *bad) != 0)
        return -1;
    return _ko_kv_rename_db_file(bad, base);
}

int _ko_kv_limit_check(const std::string &path, int length)
{
    if (access(path.c_str(), F_OK) != 0) {
        KO_LOGW(KO_KV_MODULE, "file %s not access.\n", path.c_str());
        return 0;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        KO_LOGE(KO_KV_MODULE, "get file(%s)   stat err(%d).\n", path.c_str(), errno);
        return -9;
    }
    if (static_cast<long long>(st.st_size) + length > KO_KV_FILE_LIMIT) {
        KO_LOGE(KO_KV_MODULE, "db filesize(%lld) is   over limit(%d).\n", static_cast<long long>(st.st_size),
                KO_KV_FILE_LIMIT);
        return -9;
    }
    return 0;
}
