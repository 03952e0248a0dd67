// The settings database: four stores (ROM, NVM, RAM, MEM) of INI entries addressed by one key such as
// "NVM.IPC:power", with a table of defaults, and its client side for other processes.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    const char *key;      // full settings key
    const char *value;    // default value; null for the factory keys
    const char *comment;  // documentation only
} zel_db_key_t;

extern const zel_db_key_t db_keys[];
extern const int db_keys_num;

// 0, or -1 when the NVM, RAM or MEM store or the socket server cannot be made; a socket that cannot
// be bound ends the process (status 1).
int zel_api_db_init(void);
// Copies the value without its NUL (clear `dst` first). 0; -1 absent; -2 key too long or the value
// does not fit (it must be shorter than `size`); -3 no such store; -6 an argument missing.
int zel_api_db_get_value(const char *key, char *dst, int size);
// 0 (or the save's result with `save_now`); -1 unknown store or no memory; -2 too long, or a key or
// value that would not read back the same from the store file; -4 ROM; -6 an argument missing.
int zel_api_db_set_value(const char *key, const char *value, int len, uint8_t save_now);
int zel_api_db_unset_value(const char *key, uint8_t save_now);
// The first defaults row whose key begins with `key` and whose default fits. 0, -3 none, -6.
int zel_api_db_get_default_value(const char *key, char *dst, int size);
// Saves every dirty store now: 0, or -1 after a reset or when a store could not be written.
int zel_api_db_sync(void);
// Factory reset: stops the timed save, removes the NVM files; every later save is refused.
int zel_api_db_reset(void);
// Stops the socket server and the timers, then frees the stores.
int zel_api_db_deinit(void);

// Client side over "/tmp/zel_db.socket". Get: 0 with the value and a newline in `dst`, -1 when the
// server is unreachable (after filling `dst` from the files when it can), -2, -6. Set: 0 when the
// server took the value, -1 when it refused it or could not be reached, -2, -6.
int zel_api_db_cli_get_value(const char *key, char *dst, int len);
int zel_api_db_cli_set_value(const char *key, const char *value, int len);

#ifdef __cplusplus
}
#endif
