// The kv store's record engine behind a function table: one file holds one table of key and value
// blobs. The store opens, uses and closes a file within each call; tests may swap the table to inject
// engine failures (ko_kv_engine_hooks.h).
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Results of the engine operations: 0 success, these two negative outcomes, or a positive engine
// result code for any failure (kept by the store as its last engine code).
enum {
    KO_KV_ENGINE_NOTFOUND = -1, // the key is not in the file
    KO_KV_ENGINE_TOOSMALL = -2  // the record is larger than the fetch capacity
};

typedef struct ko_kv_engine_db ko_kv_engine_db;

typedef struct ko_kv_engine_ops {
    // Opens (creating when absent) the store file at `path`.
    int (*open)(const char *path, ko_kv_engine_db **db);
    // Copies the value of `key` into `buf`; `*len` is the capacity on entry and the record size on return.
    int (*fetch)(ko_kv_engine_db *db, const void *key, int key_len, void *buf, int64_t *len);
    // Inserts or replaces the record.
    int (*store)(ko_kv_engine_db *db, const void *key, int key_len, const void *value, int64_t len);
    int (*remove)(ko_kv_engine_db *db, const void *key, int key_len);
    // Closes and frees the handle; a failure is reported but the handle is gone.
    int (*close)(ko_kv_engine_db *db);
    // The count of changes the closed file at `path` has taken; 0, or -1 when it cannot be read.
    // Of two copies with one history, the one with the lower count is behind.
    int (*generation)(const char *path, uint32_t *gen);
} ko_kv_engine_ops;

// The SQLite engine the store uses unless a test has swapped it.
const ko_kv_engine_ops *ko_kv_engine_sqlite(void);

// The table in force.
const ko_kv_engine_ops *ko_kv_engine(void);

#ifdef __cplusplus
}
#endif
