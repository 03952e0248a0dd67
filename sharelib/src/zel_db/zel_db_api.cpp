// The settings database's in-process calls: store selection, get, set, unset, defaults, save,
// reset, and the life cycle that fills the stores and starts the save timer and the socket server.
#include "zel_db/zel_db.h"

#include "zel_control/aes/zel_aes.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db_factory.h"
#include "zel_db/zel_db_files.h"
#include "zel_db/zel_db_iniparser.h"
#include "zel_db/zel_db_server.h"
#include "zel_db/zel_db_store.h"
#include "zelmar/zel_path.h"
#include "zelmar/zel_secret.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int SAVE_PERIOD_S = 60;
constexpr int SAVE_TIMER_ID = 0;

bool has_space_at_ends(std::string_view s)
{
    return !s.empty() && (std::isspace(static_cast<unsigned char>(s.front())) ||
                          std::isspace(static_cast<unsigned char>(s.back())));
}

// Control characters but the tab: a stored file holding one is taken for damaged and refused at load.
bool has_control(std::string_view s)
{
    for (const char c : s)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            return true;
    return false;
}

// Whether the entry reads back as the same key and value from the INI text the writer produces.
bool survives_reload(std::string_view entry, std::string_view value)
{
    if (entry.find_first_of("=]") != std::string_view::npos || has_control(entry) || has_control(value))
        return false;
    if (!value.empty() && value.back() == '\\')  // the reader would join the next line to it
        return false;
    const size_t colon = entry.find(':');
    const std::string_view section = entry.substr(0, colon);
    const std::string_view key = entry.substr(colon + 1);
    return !section.empty() && !key.empty() && !has_space_at_ends(section) && !has_space_at_ends(key) &&
           key.front() != '#' && key.front() != ';' && key.front() != '[';
}

int save_after(const char *what, uint8_t save_now, int result)
{
    if (!save_now)
        return result;
    const int rc = zel_db_ko_save_db_file();
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] zel_db_ko_save_db_file %d \n", what, __LINE__, rc);
    return rc;
}

void remove_file(const char *device_path)
{
    const std::string path = zel_path(device_path);
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] can't remove %s: %s\n", __func__, __LINE__, path.c_str(), std::strerror(errno));
}

void free_stores(zel_db_state_t &state)
{
    for (zel_db_store_t &store : state.stores) {
        std::lock_guard<std::mutex> lock(store.lock);
        dictionary_del(store.dict);
        store.dict = nullptr;
        store.dirty = 0;
    }
}

} // namespace

zel_db_state_t &zel_db_state()
{
    static zel_db_state_t state;
    static const bool named = [] {
        const char *names[] = {"ROM", "NVM", "RAM", "MEM"};
        for (int i = 0; i < ZEL_DB_STORE_COUNT; ++i) {
            state.stores[i].name = names[i];
            state.stores[i].name_hash = zel_db_hash(names[i], 3);
        }
        state.stores[ZEL_DB_NVM].file = "/mnt/data/.zel_db.ini";
        state.stores[ZEL_DB_NVM].backup = "/mnt/data/.zel_db_bak.ini";
        state.stores[ZEL_DB_RAM].file = "/var/run/run.ini";
        return true;
    }();
    (void)named;
    return state;
}

int zel_db_select_store(const char *key, size_t key_len)
{
    return key && key_len >= 5 ? zel_db_store_index(key) : -1;
}

int zel_db_store_index(const char *name)
{
    if (!name || strnlen(name, 3) < 3)
        return -1;
    const uint32_t hash = zel_db_hash(name, 3);
    zel_db_state_t &state = zel_db_state();
    for (int i = 0; i < ZEL_DB_STORE_COUNT; ++i)
        if (state.stores[i].name_hash == hash)
            return i;
    return -1;
}

const char *zel_db_loggable(std::string_view key, const char *value)
{
    return zel_is_secret_name(key) ? "******" : value;
}

int zel_api_db_get_value(const char *key, char *dst, int size)
{
    if (!key || !dst)
        return -6;
    const size_t key_len = strnlen(key, ZEL_DB_KEY_MAX + 1);
    if (key_len > ZEL_DB_KEY_MAX) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d]", __func__, __LINE__);
        return -2;
    }
    const int index = zel_db_select_store(key, key_len);
    if (index < 0)
        return -3;
    const std::string entry = zel_db_entry_key(key + 4);
    zel_db_store_t &store = zel_db_state().stores[index];
    std::lock_guard<std::mutex> lock(store.lock);
    const char *value = dictionary_get(store.dict, entry.c_str(), nullptr);
    if (!value)
        return -1;
    const size_t len = std::strlen(value);
    if (size <= 0 || len >= static_cast<size_t>(size)) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] strlen = %d size=%d", __func__, __LINE__, static_cast<int>(len), size);
        return -2;
    }
    std::memcpy(dst, value, len);
    return 0;
}

int zel_api_db_set_value(const char *key, const char *value, int len, uint8_t save_now)
{
    if (!key || !value)
        return -6;
    const size_t key_len = strnlen(key, ZEL_DB_KEY_MAX + 1);
    const size_t value_len = strnlen(value, ZEL_DB_KEY_MAX + 1);
    if (len < 0 || static_cast<size_t>(len) < value_len || key_len > ZEL_DB_KEY_MAX || len > ZEL_DB_KEY_MAX)
        return -2;
    const int index = zel_db_select_store(key, key_len);
    if (index == ZEL_DB_ROM || index < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d]: Set %s error", __func__, __LINE__, key);
        return index == ZEL_DB_ROM ? -4 : -1;
    }
    const std::string entry = zel_db_entry_key(key + 4);
    if (!survives_reload(entry, value)) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d]: %s or its value cannot be stored as an INI line", __func__, __LINE__, key);
        return -2;
    }
    zel_db_store_t &store = zel_db_state().stores[index];
    int rc = -1;
    {
        std::lock_guard<std::mutex> lock(store.lock);
        if (!store.dict) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d]: Set %s error, store not open", __func__, __LINE__, key);
            return -1;
        }
        rc = iniparser_set(store.dict, key + 4, value);
        ZEL_LOGD(ZEL_DB_TAG, "[%s %d]: %s = %s", __func__, __LINE__, key + 4, zel_db_loggable(key, value));
        store.dirty = 1;
    }
    return save_after(__func__, save_now, rc);
}

int zel_api_db_unset_value(const char *key, uint8_t save_now)
{
    if (!key)
        return -6;
    const size_t key_len = strnlen(key, ZEL_DB_KEY_MAX + 1);
    if (key_len > ZEL_DB_KEY_MAX)
        return -2;
    const int index = zel_db_select_store(key, key_len);
    if (index == ZEL_DB_ROM) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d]: unset %s error", __func__, __LINE__, key);
        return -4;
    }
    if (index < 0)
        return 0;
    zel_db_store_t &store = zel_db_state().stores[index];
    {
        std::lock_guard<std::mutex> lock(store.lock);
        // A bare key is removed from section "default", where set put it.
        dictionary_unset(store.dict, zel_db_entry_key(key + 4).c_str());
        ZEL_LOGI(ZEL_DB_TAG, "[%s %d]: unset key:%s", __func__, __LINE__, key + 4);
        store.dirty = 1;
    }
    return save_after(__func__, save_now, 0);
}

int zel_api_db_get_default_value(const char *key, char *dst, int size)
{
    if (!key || !dst)
        return -6;
    const size_t key_len = std::strlen(key);
    for (int i = 0; i < db_keys_num; ++i) {
        const zel_db_key_t &row = db_keys[i];
        if (std::strncmp(row.key, key, key_len) != 0 || !row.value)
            continue;
        const size_t len = std::strlen(row.value);
        if (size > 0 && len < static_cast<size_t>(size)) {
            std::memcpy(dst, row.value, len);
            return 0;
        }
    }
    return -3;
}

int zel_api_db_sync(void)
{
    return zel_db_ko_save_db_file();
}

int zel_api_db_reset(void)
{
    ZEL_LOGD(ZEL_DB_TAG, "zel_api_db_reset reset\n");
    zel_db_state_t &state = zel_db_state();
    {
        std::lock_guard<std::mutex> save(state.save_lock);
        state.reset = true;
    }
    delete_all_timer(state.timers);
    remove_file("/mnt/data/.zel_db_bak.ini");
    remove_file("/mnt/data/.zel_db.ini");
    remove_file(ZEL_DB_PLAIN_FILE);
    return 0;
}

int zel_api_db_init(void)
{
    zel_db_state_t &state = zel_db_state();
    {
        std::lock_guard<std::mutex> save(state.save_lock);
        if (state.ready) {
            ZEL_LOGW(ZEL_DB_TAG, "[%s %d] the settings database is already open\n", __func__, __LINE__);
            return 0;
        }
    }
    state.stores[ZEL_DB_ROM].dict = factory_info_load();
    char model[ZEL_DB_KEY_MAX] = {};
    zel_api_db_get_value("ROM.model", model, sizeof model);
    std::memset(state.keyiv, 0, sizeof state.keyiv);
    if (zel_gen_keyiv(model, "", state.keyiv) != 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] no factory model: NVM starts from its defaults and can't be saved\n", __func__,
                 __LINE__);
        std::memset(state.keyiv, 0, sizeof state.keyiv);
    }
    dictionary *(*const fillers[])(int) = {chiper_db_iniparser_load, plain_db_iniparser_load,
                                           [](int) { return zel_db_mem_load(); }};
    for (int index = ZEL_DB_NVM; index <= ZEL_DB_MEM; ++index) {
        zel_db_store_t &store = state.stores[index];
        dictionary *d = fillers[index - ZEL_DB_NVM](index);
        if (!d) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] Something error to create %s DB", __func__, __LINE__, store.name);
            free_stores(state);
            return -1;
        }
        std::lock_guard<std::mutex> lock(store.lock);
        store.dict = d;
    }
    {
        std::lock_guard<std::mutex> save(state.save_lock);
        state.reset = false;
        state.ready = true;
    }
    state.timers = timer_init();
    create_event_timer(state.timers, SAVE_TIMER_ID, EVENT_TIMER_PERIODIC, SAVE_PERIOD_S, zel_db_timeout_sync_db);
    // Other processes of the device reach the settings only through this socket: a camera without
    // it does not start.
    if (ipc_server_init(ZEL_DB_SOCKET_PATH, zel_db_server_callback) != 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] no settings socket server\n", __func__, __LINE__);
        return -1;
    }
    return 0;
}

int zel_api_db_deinit(void)
{
    zel_db_state_t &state = zel_db_state();
    ipc_server_deinit();
    const int rc = delete_all_timer(state.timers);
    std::free(state.timers);
    state.timers = nullptr;
    {
        // A timed save already under way finishes before the stores go; a later one sees !ready.
        std::lock_guard<std::mutex> save(state.save_lock);
        state.ready = false;
        free_stores(state);
    }
    std::memset(state.keyiv, 0, sizeof state.keyiv);
    return rc;
}
