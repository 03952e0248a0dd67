// The kv store's operations: get, set and delete over the two mirrored copies, and the space table.
// Every change is written to one copy, flushed and renamed to its new CRC name before the other copy
// is touched, so at least one good copy always holds the old or the new value.
#include "common/kv/ko_kv.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "common/kv/ko_kv_engine.h"
#include "common/kv/ko_kv_internal.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"

ko_kv_context g_ko_kv;

namespace {

using ReadLock = std::shared_lock<ko_kv_rwlock>;
using WriteLock = std::unique_lock<ko_kv_rwlock>;

// "space_key", or the key alone for an empty space; cut to 63 characters.
std::string record_key(const char *space, const char *key)
{
    char buf[64];
    if (space && *space)
        snprintf(buf, sizeof buf, "%s_%s", space, key);
    else
        snprintf(buf, sizeof buf, "%s", key);
    return buf;
}

void note_engine(int rc)
{
    if (rc > 0)
        g_ko_kv.cnt.last_unqlite_code = rc;
}

// Opens the file, runs `op` on the handle and closes it; -2 when the file cannot be opened.
template <typename Op> int with_db(const std::string &path, Op op)
{
    const ko_kv_engine_ops *e = ko_kv_engine();
    ko_kv_engine_db *db = nullptr;
    const int rc = e->open(path.c_str(), &db);
    if (rc != 0) {
        note_engine(rc);
        g_ko_kv.cnt.open_err_cnt++;
        KO_LOGE(KO_KV_MODULE, "sqlite_open failed, ret = %d\n", rc);
        return -2;
    }
    const int result = op(e, db);
    const int crc = e->close(db);
    if (crc != 0) {
        note_engine(crc);
        KO_LOGE(KO_KV_MODULE, "sqlite_close failed, ret = %d\n", crc);
    }
    return result;
}

} // namespace

// 0, KO_KV_MISSING, KO_KV_TOOBIG, or -2 / -4; `*len` is the capacity on entry, the record size after.
static int _ko_kv_direct_get_value(const std::string &path, const std::string &rkey, uint8_t *buf, int64_t *len)
{
    return with_db(path, [&](const ko_kv_engine_ops *e, ko_kv_engine_db *db) {
        const int rc = e->fetch(db, rkey.data(), static_cast<int>(rkey.size()), buf, len);
        if (rc == KO_KV_ENGINE_NOTFOUND)
            return static_cast<int>(KO_KV_MISSING);
        if (rc == KO_KV_ENGINE_TOOSMALL) {
            KO_LOGE(KO_KV_MODULE, "kv record(%lld) is over buffer\n", static_cast<long long>(*len));
            return static_cast<int>(KO_KV_TOOBIG);
        }
        if (rc != 0) {
            note_engine(rc);
            g_ko_kv.cnt.get_err_cnt++;
            KO_LOGE(KO_KV_MODULE, "sqlite_kv_fetch failed,ret = %d\n", rc);
            return -4;
        }
        return 0;
    });
}

// 0, or -2 / -3.
static int _ko_kv_direct_set_value(const std::string &path, const std::string &rkey, const uint8_t *value, int len)
{
    return with_db(path, [&](const ko_kv_engine_ops *e, ko_kv_engine_db *db) {
        const int rc = e->store(db, rkey.data(), static_cast<int>(rkey.size()), value, len);
        if (rc != 0) {
            note_engine(rc);
            g_ko_kv.cnt.set_err_cnt++;
            KO_LOGE(KO_KV_MODULE, "sqlite_kv_store failed,ret = %d\n", rc);
            return -3;
        }
        return 0;
    });
}

// 0 removed, KO_KV_MISSING, or -2 / -3.
static int _ko_kv_direct_del_value(const std::string &path, const char *space, const char *key)
{
    const std::string rkey = record_key(space, key);
    return with_db(path, [&](const ko_kv_engine_ops *e, ko_kv_engine_db *db) {
        const int rc = e->remove(db, rkey.data(), static_cast<int>(rkey.size()));
        if (rc == KO_KV_ENGINE_NOTFOUND)
            return static_cast<int>(KO_KV_MISSING);
        if (rc != 0) {
            note_engine(rc);
            g_ko_kv.cnt.del_err_cnt++;
            KO_LOGE(KO_KV_MODULE, "sqlite_kv_delete failed,ret = %d,key_name %s.\n", rc, rkey.c_str());
            return -3;
        }
        return 0;
    });
}

namespace {

struct CopyRead {
    std::string path;
    bool bad = false;
    int code = 0; // 0, KO_KV_MISSING, KO_KV_TOOBIG, or the failure code
    int64_t len = 0;
};

// Checks one copy; false when it is bad.
bool check_copy(const char *pattern, std::string *path)
{
    if (_ko_kv_invalid_check(pattern, path) != 0) {
        KO_LOGE(KO_KV_MODULE, "crc32 check   failed!ret:%d!\n", -1);
        return false;
    }
    return true;
}

// Checks both copies as every operation starts; the bad marks.
void check_copies(std::string *src, bool *src_bad, std::string *bak, bool *bak_bad)
{
    *src_bad = !check_copy(KO_KV_SRC, src);
    *bak_bad = !check_copy(KO_KV_BAK, bak);
    _ko_kv_unnamed_copy_check(*src, src_bad, *bak, bak_bad);
    if (*src_bad || *bak_bad)
        return;
    // Two sound copies under different CRCs: the process died between writing one and the other.
    // The copy that took fewer changes is behind; were it kept, a later torn write of the other
    // would fall back to it and lose the change it missed.
    uint32_t src_crc = 0, bak_crc = 0, src_gen = 0, bak_gen = 0;
    _ko_kv_parse_filename_crc32(*src, &src_crc);
    _ko_kv_parse_filename_crc32(*bak, &bak_crc);
    const ko_kv_engine_ops *e = ko_kv_engine();
    if (src_crc == bak_crc || e->generation(src->c_str(), &src_gen) != 0 ||
        e->generation(bak->c_str(), &bak_gen) != 0 || src_gen == bak_gen)
        return;
    const bool src_behind = src_gen < bak_gen;
    KO_LOGW(KO_KV_MODULE, "%s is behind %s, rebuild it.\n", (src_behind ? src : bak)->c_str(),
            (src_behind ? bak : src)->c_str());
    *(src_behind ? src_bad : bak_bad) = true;
}

// Before a change, a copy found bad is rebuilt from the sound one, so that the change never rests on
// a copy that is behind.
void repair_before_change(std::string *src, bool *src_bad, std::string *bak, bool *bak_bad)
{
    if (*src_bad != *bak_bad && _ko_kv_repair(*src_bad, *bak_bad, src, bak) == 0)
        *src_bad = *bak_bad = false;
}

void read_copy(const std::string &rkey, uint8_t *buf, int cap, CopyRead *c)
{
    if (c->bad) {
        c->code = -1;
        return;
    }
    c->len = cap;
    c->code = _ko_kv_direct_get_value(c->path, rkey, buf, &c->len);
    if (c->code == -2 || c->code == -4) {
        KO_LOGE(KO_KV_MODULE, "get kv data   failed!ret:%d!\n", c->code);
        c->bad = true;
    }
}

// One read over both copies; with `repair` (exclusive lock held) a bad copy is rebuilt from the
// other. `*needs_repair` tells a shared-lock caller to come back exclusively.
int get_locked(const char *space, const char *key, char *value, int length, bool repair, bool *needs_repair)
{
    const std::string rkey = record_key(space, key);
    const int cap = length + 16;
    auto *src_buf = static_cast<uint8_t *>(vexa_malloc(static_cast<size_t>(cap)));
    auto *bak_buf = static_cast<uint8_t *>(vexa_malloc(static_cast<size_t>(cap)));
    if (!src_buf || !bak_buf) {
        vexa_free(src_buf);
        vexa_free(bak_buf);
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "vexa_malloc", strerror(ENOMEM));
        return KO_KV_ERR_NOMEM;
    }
    CopyRead src, bak;
    check_copies(&src.path, &src.bad, &bak.path, &bak.bad);
    read_copy(rkey, src_buf, cap, &src);
    read_copy(rkey, bak_buf, cap, &bak);

    // The source answers when it holds the key; the backup when it does not or its record does not
    // decrypt. A value too large for the caller is an error, never a cue to answer with the backup's
    // (perhaps older) value.
    auto holds = [](const CopyRead &c) { return c.code == 0 || c.code == KO_KV_TOOBIG; };
    auto answer = [&](const CopyRead &c, uint8_t *buf) {
        if (c.code == KO_KV_TOOBIG)
            return static_cast<int>(KO_KV_TOOBIG);
        int out_len = length;
        const int rc = _ko_kv_decrypt_data(buf, static_cast<int>(c.len), reinterpret_cast<uint8_t *>(value), &out_len);
        if (rc != 0)
            KO_LOGE(KO_KV_MODULE, "kv data decrypt failed!ret:%d!\n", rc);
        return rc == 0 ? out_len : rc;
    };
    int ret = KO_KV_ERR_FETCH;
    if (holds(src))
        ret = answer(src, src_buf);
    if ((!holds(src) || ret == KO_KV_ERR_PARAM) && holds(bak)) {
        if (!src.bad)
            KO_LOGW(KO_KV_MODULE, "kv key %s is read from %s\n", rkey.c_str(), KO_KV_BAK);
        ret = answer(bak, bak_buf);
    } else if (!holds(src) && src.bad && bak.bad) {
        ret = bak.code;
    }
    if (ret == KO_KV_TOOBIG)
        ret = KO_KV_ERR_PARAM;
    if (src.bad != bak.bad) {
        if (repair)
            _ko_kv_repair(src.bad, bak.bad, &src.path, &bak.path);
        else
            *needs_repair = true;
    }
    vexa_free(src_buf);
    vexa_free(bak_buf);
    return ret;
}

bool args_bad(const void *key, const void *value, int length)
{
    if (!g_ko_kv.inited || length < 1 || !key || !value) {
        KO_LOGE(KO_KV_MODULE, "invalid param,init %d,key %p,value %p,length %d!\n", g_ko_kv.inited ? 1 : 0, key,
                value, length);
        return true;
    }
    return false;
}

} // namespace

int ko_kv_get_value(const char *space, const char *key, char *value, int length)
{
    bool needs_repair = false;
    {
        ReadLock lock(g_ko_kv.lock);
        if (args_bad(key, value, length))
            return KO_KV_ERR_PARAM;
        const int ret = get_locked(space, key, value, length, false, &needs_repair);
        if (!needs_repair)
            return ret;
    }
    // A copy is damaged: read again with the files to ourselves and rebuild it.
    WriteLock lock(g_ko_kv.lock);
    if (args_bad(key, value, length))
        return KO_KV_ERR_PARAM;
    return get_locked(space, key, value, length, true, &needs_repair);
}

int ko_kv_set_value(const char *space, const char *key, const void *value, int length)
{
    WriteLock lock(g_ko_kv.lock);
    if (args_bad(key, value, length))
        return KO_KV_ERR_PARAM;
    std::string src, bak;
    bool src_bad = false, bak_bad = false;
    check_copies(&src, &src_bad, &bak, &bak_bad);
    repair_before_change(&src, &src_bad, &bak, &bak_bad);
    if (!src.empty() && _ko_kv_limit_check(src, length) != 0)
        return KO_KV_ERR_LIMIT;

    const std::string rkey = record_key(space, key);
    auto *cipher = static_cast<uint8_t *>(vexa_malloc(static_cast<size_t>(length) + 16));
    if (!cipher) {
        KO_LOGE(KO_KV_MODULE, "system call err:%s, errno:%s\n", "vexa_malloc", strerror(ENOMEM));
        return KO_KV_ERR_NOMEM;
    }
    struct Free {
        uint8_t *p;
        ~Free() { vexa_free(p); }
    } free_cipher{cipher};
    int clen = 0;
    int ret = _ko_kv_encrypt_data(static_cast<const uint8_t *>(value), length, cipher, &clen);
    if (ret != 0) {
        KO_LOGE(KO_KV_MODULE, "kv data encrypt failed!ret:%d!\n", ret);
        return KO_KV_ERR_PARAM;
    }

    if (!src_bad) {
        ret = _ko_kv_direct_set_value(src, rkey, cipher, clen);
        if (ret == 0)
            ret = _ko_kv_rename_db_file(&src, KO_KV_SRC);
        if (ret == 0) {
            if (bak_bad)
                return _ko_kv_repair(false, true, &src, &bak) == 0 ? 0 : KO_KV_ERR_STORE;
            ret = _ko_kv_direct_set_value(bak, rkey, cipher, clen);
            if (ret == 0 && _ko_kv_rename_db_file(&bak, KO_KV_BAK) == 0)
                return 0;
            KO_LOGE(KO_KV_MODULE, "set kv data   failed!ret:%d!\n", ret);
            // The value is safe in the source; a backup rebuilt from it holds it too.
            return _ko_kv_repair(false, true, &src, &bak) == 0 ? 0 : (ret < 0 ? ret : KO_KV_ERR_STORE);
        }
        KO_LOGE(KO_KV_MODULE, "set src kv data   failed!ret:%d!\n", ret);
        src_bad = true;
    }
    if (bak_bad)
        return KO_KV_ERR_STORE;
    ret = _ko_kv_direct_set_value(bak, rkey, cipher, clen);
    if (ret == 0)
        ret = _ko_kv_rename_db_file(&bak, KO_KV_BAK);
    if (ret != 0) {
        KO_LOGE(KO_KV_MODULE, "set kv data   failed!ret:%d!\n", ret);
        return KO_KV_ERR_STORE;
    }
    _ko_kv_repair(true, false, &src, &bak);
    return 0;
}

int ko_kv_del_value(const char *space, const char *key)
{
    WriteLock lock(g_ko_kv.lock);
    if (!g_ko_kv.inited || !key) {
        KO_LOGE(KO_KV_MODULE, "invalid param,init %d,key %p.\n", g_ko_kv.inited ? 1 : 0,
                static_cast<const void *>(key));
        return KO_KV_ERR_PARAM;
    }
    std::string src, bak;
    bool src_bad = false, bak_bad = false;
    check_copies(&src, &src_bad, &bak, &bak_bad);
    repair_before_change(&src, &src_bad, &bak, &bak_bad);
    bool removed = false;
    // Deletes from one copy and renames it before the other is touched; a missing key is no damage.
    auto del_copy = [&](const char *pattern, std::string *path, bool *bad) {
        if (*bad)
            return;
        int ret = _ko_kv_direct_del_value(*path, space, key);
        if (ret == 0 || ret == KO_KV_MISSING) {
            removed = removed || ret == 0;
            ret = _ko_kv_rename_db_file(path, pattern);
        }
        if (ret != 0) {
            KO_LOGE(KO_KV_MODULE, "del kv data   failed!ret:%d!\n", ret);
            *bad = true;
        }
    };
    del_copy(KO_KV_SRC, &src, &src_bad);
    del_copy(KO_KV_BAK, &bak, &bak_bad);
    _ko_kv_repair(src_bad, bak_bad, &src, &bak);
    return removed ? 0 : KO_KV_ERR_PARAM;
}

namespace {

// The checks of both space-table operations; the caller holds the write lock.
bool space_args_ok(const char *name, int length)
{
    if (!g_ko_kv.inited) {
        KO_LOGE(KO_KV_MODULE, "ko kv dosn't initialize!\n");
        return false;
    }
    if (!name || length < 0 || length >= KO_KV_SPACE_NAME) {
        KO_LOGE(KO_KV_MODULE, "input param err,name %p,length %d.\n", static_cast<const void *>(name), length);
        return false;
    }
    return true;
}

} // namespace

int ko_kv_register_space_name(const char *name, int length)
{
    WriteLock lock(g_ko_kv.lock);
    if (!space_args_ok(name, length))
        return -1;
    for (const auto &s : g_ko_kv.spaces)
        if (s.in_use == 1 && strncmp(s.name, name, static_cast<size_t>(length)) == 0) {
            KO_LOGW(KO_KV_MODULE, "space name(%s) has exist.\n", s.name);
            return 0;
        }
    for (auto &s : g_ko_kv.spaces)
        if (s.in_use != 1) {
            s.in_use = 1;
            snprintf(s.name, sizeof s.name, "%.*s", length, name);
            return 0;
        }
    KO_LOGE(KO_KV_MODULE, "there is no free space name.\n");
    return -1;
}

int ko_kv_clear_space_name(const char *name, int length)
{
    WriteLock lock(g_ko_kv.lock);
    if (!space_args_ok(name, length))
        return -1;
    for (auto &s : g_ko_kv.spaces)
        if (s.in_use == 1 && strncmp(s.name, name, static_cast<size_t>(length)) == 0) {
            s = ko_kv_space{};
            return 0;
        }
    KO_LOGE(KO_KV_MODULE, "there is no free space name.\n");
    return -1;
}
