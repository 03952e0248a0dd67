// The kv engine over SQLite: one table kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID in a file that
// keeps no side files (journal in memory), so a store file can be copied and named by its CRC alone.
// Durability comes from the store's two copies and its fsync-then-rename, hence synchronous=OFF.
#include "common/kv/ko_kv_engine.h"
#include "common/kv/ko_kv_engine_hooks.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <cstring>

#include "common/utils/ko_log.h"

struct ko_kv_engine_db {
    sqlite3 *db;
    bool has_table;
};

namespace {

constexpr const char *kModule = "KO KV";

// A positive code for every failure, so that it never reads as one of the engine's own outcomes.
int failure(int rc)
{
    return rc > 0 ? rc : SQLITE_ERROR;
}

int exec(sqlite3 *db, const char *sql)
{
    char *msg = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK)
        KO_LOGE(kModule, "sqlite exec(%s) failed: %d %s\n", sql, rc, msg ? msg : "");
    sqlite3_free(msg);
    return rc;
}

// Reads the schema, which also proves the file is a database (SQLITE_NOTADB otherwise).
int probe_table(sqlite3 *db, bool *has)
{
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='kv'", -1, &st,
                                nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            *has = sqlite3_column_int(st, 0) > 0;
            rc = SQLITE_OK;
        }
    }
    if (rc != SQLITE_OK)
        KO_LOGE(kModule, "sqlite schema read failed: %d %s\n", rc, sqlite3_errmsg(db));
    sqlite3_finalize(st);
    return rc;
}

int sq_open(const char *path, ko_kv_engine_db **out)
{
    if (!path || !out)
        return SQLITE_MISUSE;
    *out = nullptr;
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        KO_LOGE(kModule, "sqlite open(%s) failed: %d %s\n", path, rc, db ? sqlite3_errmsg(db) : "");
        sqlite3_close(db);
        return failure(rc);
    }
    bool has = false;
    if ((rc = exec(db, "PRAGMA journal_mode=MEMORY")) != SQLITE_OK ||
        (rc = exec(db, "PRAGMA page_size=1024")) != SQLITE_OK ||
        (rc = exec(db, "PRAGMA synchronous=OFF")) != SQLITE_OK || (rc = probe_table(db, &has)) != SQLITE_OK) {
        sqlite3_close(db);
        return failure(rc);
    }
    auto *h = new (std::nothrow) ko_kv_engine_db{db, has};
    if (!h) {
        sqlite3_close(db);
        return SQLITE_NOMEM;
    }
    *out = h;
    return 0;
}

// Prepares `sql` and binds the key as parameter 1.
int prepare_keyed(sqlite3 *db, const char *sql, const void *key, int key_len, sqlite3_stmt **st)
{
    int rc = sqlite3_prepare_v2(db, sql, -1, st, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_blob(*st, 1, key, key_len, SQLITE_STATIC);
    if (rc != SQLITE_OK)
        KO_LOGE(kModule, "sqlite prepare failed: %d %s\n", rc, sqlite3_errmsg(db));
    return rc;
}

int sq_fetch(ko_kv_engine_db *h, const void *key, int key_len, void *buf, int64_t *len)
{
    if (!h || !key || key_len < 1 || !buf || !len || *len < 0)
        return SQLITE_MISUSE;
    if (!h->has_table)
        return KO_KV_ENGINE_NOTFOUND;
    sqlite3_stmt *st = nullptr;
    int rc = prepare_keyed(h->db, "SELECT v FROM kv WHERE k=?1", key, key_len, &st);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_ROW) {
            const void *v = sqlite3_column_blob(st, 0);
            const int64_t n = sqlite3_column_bytes(st, 0);
            if (n > *len) {
                rc = KO_KV_ENGINE_TOOSMALL;
            } else {
                if (n > 0)
                    std::memcpy(buf, v, static_cast<size_t>(n));
                rc = 0;
            }
            *len = n;
        } else if (rc == SQLITE_DONE) {
            rc = KO_KV_ENGINE_NOTFOUND;
        } else {
            KO_LOGE(kModule, "sqlite fetch failed: %d %s\n", rc, sqlite3_errmsg(h->db));
            rc = failure(rc);
        }
    } else {
        rc = failure(rc);
    }
    sqlite3_finalize(st);
    return rc;
}

int sq_store(ko_kv_engine_db *h, const void *key, int key_len, const void *value, int64_t len)
{
    if (!h || !key || key_len < 1 || !value || len < 0 || len > 0x7fffffff)
        return SQLITE_MISUSE;
    if (!h->has_table) {
        const int rc = exec(h->db, "CREATE TABLE IF NOT EXISTS kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID");
        if (rc != SQLITE_OK)
            return failure(rc);
        h->has_table = true;
    }
    sqlite3_stmt *st = nullptr;
    int rc = prepare_keyed(h->db, "INSERT OR REPLACE INTO kv(k, v) VALUES(?1, ?2)", key, key_len, &st);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_blob(st, 2, value, static_cast<int>(len), SQLITE_STATIC);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
        else
            KO_LOGE(kModule, "sqlite store failed: %d %s\n", rc, sqlite3_errmsg(h->db));
    }
    sqlite3_finalize(st);
    return rc == SQLITE_OK ? 0 : failure(rc);
}

int sq_remove(ko_kv_engine_db *h, const void *key, int key_len)
{
    if (!h || !key || key_len < 1)
        return SQLITE_MISUSE;
    if (!h->has_table)
        return KO_KV_ENGINE_NOTFOUND;
    sqlite3_stmt *st = nullptr;
    int rc = prepare_keyed(h->db, "DELETE FROM kv WHERE k=?1", key, key_len, &st);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(st);
        if (rc == SQLITE_DONE)
            rc = sqlite3_changes(h->db) > 0 ? 0 : KO_KV_ENGINE_NOTFOUND;
        else {
            KO_LOGE(kModule, "sqlite delete failed: %d %s\n", rc, sqlite3_errmsg(h->db));
            rc = failure(rc);
        }
    } else {
        rc = failure(rc);
    }
    sqlite3_finalize(st);
    return rc;
}

int sq_close(ko_kv_engine_db *h)
{
    if (!h)
        return SQLITE_MISUSE;
    const int rc = sqlite3_close(h->db);
    delete h;
    return rc == SQLITE_OK ? 0 : failure(rc);
}

// SQLite counts the write transactions a database file has taken in its header (big-endian, at
// byte 24), outside WAL mode, which the store never uses.
int sq_generation(const char *path, uint32_t *gen)
{
    if (!path || !gen)
        return -1;
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    uint8_t b[4];
    const ssize_t n = pread(fd, b, sizeof b, 24);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof b))
        return -1;
    *gen = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
           static_cast<uint32_t>(b[3]);
    return 0;
}

constexpr ko_kv_engine_ops kSqlite = {sq_open, sq_fetch, sq_store, sq_remove, sq_close, sq_generation};

std::atomic<const ko_kv_engine_ops *> g_ops{&kSqlite};

} // namespace

const ko_kv_engine_ops *ko_kv_engine_sqlite(void)
{
    return &kSqlite;
}

const ko_kv_engine_ops *ko_kv_engine(void)
{
    return g_ops.load();
}

void ko_kv_engine_set(const ko_kv_engine_ops *ops)
{
    g_ops.store(ops ? ops : &kSqlite);
}
