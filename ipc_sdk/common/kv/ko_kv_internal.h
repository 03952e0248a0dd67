// State and internal operations shared by the kv store's files (store, crypto, files, report).
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <array>
#include <atomic>
#include <string>

inline constexpr const char *KO_KV_MODULE = "KO KV";
inline constexpr const char *KO_KV_SRC = "ko_kv_db_src";
inline constexpr const char *KO_KV_BAK = "ko_kv_db_bak";
inline constexpr int KO_KV_FILE_LIMIT = 65536;
inline constexpr int KO_KV_SPACE_SLOTS = 16;
inline constexpr int KO_KV_SPACE_NAME = 16;

// Internal outcomes of one engine operation, never returned to callers of the store.
enum { KO_KV_MISSING = -100, KO_KV_TOOBIG = -101 };

// A read-write lock that lets a waiting writer in before new readers, so a steady stream of reads
// cannot hold off a write for ever. Fits std::shared_lock and std::unique_lock.
class ko_kv_rwlock {
public:
    ko_kv_rwlock()
    {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~ko_kv_rwlock() { pthread_rwlock_destroy(&lock_); }
    ko_kv_rwlock(const ko_kv_rwlock &) = delete;
    ko_kv_rwlock &operator=(const ko_kv_rwlock &) = delete;
    void lock() { pthread_rwlock_wrlock(&lock_); }
    void unlock() { pthread_rwlock_unlock(&lock_); }
    void lock_shared() { pthread_rwlock_rdlock(&lock_); }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

private:
    pthread_rwlock_t lock_;
};

struct ko_kv_space {
    uint32_t in_use;
    char name[KO_KV_SPACE_NAME];
};

// The report's counters, in their report order.
struct ko_kv_counters {
    std::atomic<int32_t> open_err_cnt{0}, get_err_cnt{0}, set_err_cnt{0}, del_err_cnt{0}, crc32_err_cnt{0},
        enc_err_cnt{0}, dec_err_cnt{0}, last_err_code{0}, last_unqlite_code{0};
};

struct ko_kv_context {
    ko_kv_rwlock lock; // over everything below and over both database files
    bool inited = false;
    bool encrypt = false;
    std::string dir; // real location of the data directory
    uint8_t key[16] = {};
    uint8_t iv[16] = {};
    std::array<ko_kv_space, KO_KV_SPACE_SLOTS> spaces{};
    ko_kv_counters cnt;
};

extern ko_kv_context g_ko_kv;

// Crypto (ko_kv_crypto.cpp).
int _ko_kv_md5(const void *in, int len, uint8_t out[16]);
// Builds the value key and IV from the MAC text.
int _ko_kv_derive_key(const char *mac, uint8_t key[16], uint8_t iv[16]);
// `out` holds at least len + 16 bytes; `*out_len` becomes the padded length.
int _ko_kv_encrypt_data(const uint8_t *in, int len, uint8_t *out, int *out_len);
// Decrypts `len` bytes of `data` in place, checks the padding and copies the plaintext into `out`
// (capacity `*out_len`, a zero byte behind it when there is room); `*out_len` becomes the plaintext
// length. KO_KV_TOOBIG when the plaintext does not fit.
int _ko_kv_decrypt_data(uint8_t *data, int len, uint8_t *out, int *out_len);

// Files (ko_kv_file.cpp). Paths are full paths below g_ko_kv.dir.
int _ko_kv_get_db_filename(const char *pattern, std::string *name);
int _ko_kv_parse_filename_crc32(const std::string &name, uint32_t *crc);
int _ko_kv_get_file_crc32(const std::string &path, uint32_t *crc);
int _ko_kv_invalid_check(const char *pattern, std::string *path);
// A copy without its CRC name (absent, or just made by the engine) beside a good copy that has one
// is what a lost file or a first write cut short leaves: it is marked bad, so it gets rebuilt.
void _ko_kv_unnamed_copy_check(const std::string &src, bool *src_bad, const std::string &bak, bool *bak_bad);
// Flushes the file, renames it to "<dir>/<base>_<crc>" and flushes the directory; `*path` follows.
int _ko_kv_rename_db_file(std::string *path, const char *base);
int _ko_kv_copy_file(const std::string &from, const std::string &to);
// Rebuilds the one bad copy from the good one; the rebuilt path follows in `*src` or `*bak`.
int _ko_kv_repair(bool src_bad, bool bak_bad, std::string *src, std::string *bak);
int _ko_kv_limit_check(const std::string &path, int length);

// Report (ko_kv_stat.cpp).
int ko_kv_stat_register(void);
