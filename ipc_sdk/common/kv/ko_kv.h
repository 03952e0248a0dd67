// The SDK's kv store: small encrypted byte values by space and key, kept in two mirrored database
// files in the data directory ("ko_kv_db_src" and "ko_kv_db_bak", each named "_<CRC-32>" of its
// contents), so that a damaged copy is found and rebuilt from the other.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ko_kv_init_param {
    char path[128]; // data directory, a device path ("/mnt/data")
    char mac[32];   // device MAC as text; the value key is derived from it
} ko_kv_init_param;

// Result codes besides a length or 0.
enum {
    KO_KV_ERR_PARAM = -1,  // bad argument, not initialised, failed check or decryption, nothing deleted
    KO_KV_ERR_OPEN = -2,   // the engine could not open a file
    KO_KV_ERR_STORE = -3,  // a record could not be stored or deleted, or no good copy was left to write
    KO_KV_ERR_FETCH = -4,  // a record could not be fetched (also when no copy holds the key)
    KO_KV_ERR_LIMIT = -9,  // the size limit or a failed stat
    KO_KV_ERR_NOMEM = -11
};

int ko_kv_init(const ko_kv_init_param *param);
int ko_kv_deinit(void);
// The plaintext length (>= 0), or a negative code; never writes more than `length` bytes.
int ko_kv_get_value(const char *space, const char *key, char *value, int length);
int ko_kv_set_value(const char *space, const char *key, const void *value, int length);
int ko_kv_del_value(const char *space, const char *key);
int ko_kv_register_space_name(const char *name, int length);
int ko_kv_clear_space_name(const char *name, int length);
int ko_kv_reset(void);

#ifdef __cplusplus
}
#endif
