// Internal to the settings database: the table of four stores, the module state that the API, the
// file layer and the socket server share, and the key helpers they all use.
#pragma once

#include "zel_control/evtimer/zel_evtimer.h"
#include "zel_db/zel_db_dictionary.h"

#include <array>
#include <mutex>
#include <string_view>

enum { ZEL_DB_ROM = 0, ZEL_DB_NVM = 1, ZEL_DB_RAM = 2, ZEL_DB_MEM = 3, ZEL_DB_STORE_COUNT = 4 };

struct zel_db_store_t {
    dictionary *dict = nullptr;     // owned; null until the store is filled
    const char *file = nullptr;     // device path of the store file, or null
    const char *backup = nullptr;   // device path of the backup, or null
    const char *name = nullptr;     // "ROM", "NVM", "RAM" or "MEM"
    uint32_t name_hash = 0;
    std::mutex lock;                // guards dict and dirty
    uint8_t dirty = 0;
};

struct zel_db_state_t {
    std::array<zel_db_store_t, ZEL_DB_STORE_COUNT> stores;
    std::mutex save_lock;           // guards reset and ready; taken before any store lock
    bool reset = false;
    bool ready = false;             // the stores are filled and not yet freed
    char keyiv[33] = {};            // key and IV of the NVM files; empty when there is none
    event_timer_node_t *timers = nullptr;
};

zel_db_state_t &zel_db_state();

constexpr const char *ZEL_DB_TAG = "ZEL_DB_SRV";
constexpr const char *ZEL_DB_PLAIN_FILE = "/var/run/.plain.ini";
constexpr const char *ZEL_DB_SOCKET_PATH = "/tmp/zel_db.socket";

// The store whose name hash equals that of the key's first three bytes; -1 for none (also for a
// key of fewer than five characters, which has no name after the store prefix).
int zel_db_select_store(const char *key, size_t key_len);
// The store named by the first three bytes of `name`; -1 for none or a shorter name.
int zel_db_store_index(const char *name);
// The value as it may be logged: "******" for a key whose value is a password, token or key.
const char *zel_db_loggable(std::string_view key, const char *value);

extern "C" {
int zel_db_ko_save_db_file(void);
void zel_db_timeout_sync_db(union sigval value);
}
