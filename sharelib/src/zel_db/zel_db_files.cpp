// The settings files: filling NVM (encrypted file, backup, defaults), RAM and MEM, and the save that
// writes every dirty store. Each file is written to a temporary file, flushed to disk and renamed
// over the old one, so a power cut leaves either the old or the new file, never a torn one.
#include "zel_db/zel_db_files.h"

#include "zel_control/aes/zel_aes.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_db/zel_db_iniparser.h"
#include "zel_db/zel_db_store.h"
#include "zelmar/zel_path.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

std::string dir_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Renames the flushed temporary file over `path` and makes the rename itself durable.
int commit(const std::string &tmp, const std::string &path)
{
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] rename to %s failed: %s\n", __func__, __LINE__, path.c_str(), std::strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    const std::string dir = dir_of(path);
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || fsync(dfd) != 0)
        ZEL_LOGW(ZEL_DB_TAG, "[%s %d] can't flush directory %s: %s\n", __func__, __LINE__, dir.c_str(),
                 std::strerror(errno));
    if (dfd >= 0)
        close(dfd);
    return 0;
}

// The default file of a store: its defaults rows, a section header whenever the section changes.
void write_default_file(FILE *out, int index)
{
    const zel_db_store_t &store = zel_db_state().stores[index];
    const char *format = index == ZEL_DB_RAM ? "%s\t=\t%s \n" : "%s\t=\t%s\n";
    std::string previous;
    bool first = true;
    for (int i = 0; i < db_keys_num; ++i) {
        const zel_db_key_t &row = db_keys[i];
        if (std::strncmp(row.key, store.name, 3) != 0 || std::strlen(row.key) < 5)
            continue;
        const std::string_view name = row.key + 4;
        const size_t colon = name.find(':');
        const std::string section(colon == std::string_view::npos ? "default" : name.substr(0, colon));
        std::string key(colon == std::string_view::npos ? name : name.substr(colon + 1));
        key = key.substr(0, key.find(':'));
        if (first || section != previous)
            std::fprintf(out, "\n\n[%s]\n", section.c_str());
        first = false;
        previous = section;
        std::fprintf(out, format, key.c_str(), row.value ? row.value : "");
    }
    std::fprintf(out, "\n\n[%s]\n", "Default");
}

// Writes the default file of a store into `path` and reads it back.
dictionary *load_defaults(int index, const std::string &path, bool private_file)
{
    FILE *out = private_file ? zel_db_fopen_private(path, "w+") : std::fopen(path.c_str(), "w");
    if (!out) {
        ZEL_LOGE(ZEL_DB_TAG, "iniparser: cannot create %s\n", path.c_str());
        return nullptr;
    }
    file_lock(out);
    write_default_file(out, index);
    const bool ok = std::fflush(out) == 0 && !std::ferror(out);
    file_unlock(out);
    if (std::fclose(out) != 0 || !ok) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] write of %s failed: %s\n", __func__, __LINE__, path.c_str(), std::strerror(errno));
        return nullptr;
    }
    dictionary *d = iniparser_load(path.c_str());
    if (!d)
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] can't load db file again \n", __func__, __LINE__);
    return d;
}

// Encrypts the plain text of `plain` block by block into `out`.
int encrypt_stream(FILE *plain, FILE *out, const char *keyiv)
{
    unsigned char block[ZEL_AES_FILE_PIECE + 1];
    for (;;) {
        std::memset(block, 0, sizeof block);
        const size_t n = std::fread(block, 1, ZEL_AES_FILE_PIECE, plain);
        if (n == 0)
            return std::ferror(plain) ? -1 : 0;
        const int rounded = static_cast<int>((n + 15) / 16 * 16);
        int out_length = 0;
        if (zel_AES128_CBC_Nopadding_encryptData(block, rounded, &out_length, keyiv) != 0)
            return -1;
        if (std::fwrite(block, 1, static_cast<size_t>(out_length), out) != static_cast<size_t>(out_length)) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] write failed: %s\n", __func__, __LINE__, std::strerror(errno));
            return -1;
        }
    }
}

// Writes a plain store (RAM) through its temporary file.
int save_plain_store(const zel_db_store_t &store)
{
    const std::string path = zel_path(store.file);
    const std::string tmp = path + ".tmp";
    FILE *out = std::fopen(tmp.c_str(), "w");
    if (!out) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d]: Can't open the %s\n", __func__, __LINE__, tmp.c_str());
        return -1;
    }
    file_lock(out);
    iniparser_dump_ini(store.dict, out);
    const bool ok = std::fflush(out) == 0 && !std::ferror(out) && fsync(fileno(out)) == 0;
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] save %s\n", __func__, __LINE__, path.c_str());
    file_unlock(out);
    if (std::fclose(out) != 0 || !ok) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] write of %s failed: %s\n", __func__, __LINE__, tmp.c_str(), std::strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    return commit(tmp, path);
}

int save_store(int index)
{
    zel_db_state_t &state = zel_db_state();
    if (index != ZEL_DB_NVM)
        return save_plain_store(state.stores[index]);
    if (!state.keyiv[0]) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] the NVM store has no key (no factory model), not saved\n", __func__, __LINE__);
        return -1;
    }
    const int main_rc = chiper_db_iniparser_dump(index, state.keyiv, 0);
    const int backup_rc = chiper_db_iniparser_dump(index, state.keyiv, 1);
    return main_rc == 0 && backup_rc == 0 ? 0 : -1;
}

} // namespace

FILE *zel_db_fopen_private(const std::string &path, const char *mode)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    FILE *stream = fchmod(fd, 0600) == 0 ? fdopen(fd, mode) : nullptr;
    if (!stream)
        close(fd);
    return stream;
}

int file_lock(FILE *stream)
{
    if (!stream || flock(fileno(stream), LOCK_EX) != 0) {
        ZEL_LOGD(ZEL_DB_TAG, "[%s %d] locked failed\n", __func__, __LINE__);
        return -1;
    }
    return 0;
}

int file_unlock(FILE *stream)
{
    if (!stream || flock(fileno(stream), LOCK_UN) != 0) {
        ZEL_LOGD(ZEL_DB_TAG, "[%s %d] unlock failed\n", __func__, __LINE__);
        return -1;
    }
    return 0;
}

dictionary *zel_db_load_encrypted(const std::string &main, const std::string &backup, const std::string &plain,
                                  const char *keyiv, bool *from_backup)
{
    int rc = zel_aes128_cbc_pkcs5_decrypt_file(main.c_str(), plain.c_str(), keyiv);
    ZEL_LOGI(ZEL_DB_TAG, "[%s %d] decrypt file result = %d", __func__, __LINE__, rc);
    dictionary *d = rc == 0 ? zel_db_ini_load_checked(plain.c_str()) : nullptr;
    if (d) {
        ZEL_LOGI(ZEL_DB_TAG, "[%s %d] settings loaded from %s\n", __func__, __LINE__, main.c_str());
        *from_backup = false;
        return d;
    }
    ZEL_LOGW(ZEL_DB_TAG, "decrypt file[%s] result = %d, and retry to Decrypt bak file", main.c_str(), rc);
    rc = zel_aes128_cbc_pkcs5_decrypt_file(backup.c_str(), plain.c_str(), keyiv);
    ZEL_LOGI(ZEL_DB_TAG, "decrypt  file[%s] result = %d", backup.c_str(), rc);
    d = rc == 0 ? zel_db_ini_load_checked(plain.c_str()) : nullptr;
    if (d) {
        ZEL_LOGW(ZEL_DB_TAG, "[%s %d] settings loaded from the backup %s\n", __func__, __LINE__, backup.c_str());
        *from_backup = true;
        return d;
    }
    ZEL_LOGE(ZEL_DB_TAG, "[%s %d] neither %s nor its backup holds sound settings\n", __func__, __LINE__, main.c_str());
    if (unlink(plain.c_str()) != 0 && errno != ENOENT)
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] can't remove %s: %s\n", __func__, __LINE__, plain.c_str(), std::strerror(errno));
    return nullptr;
}

dictionary *chiper_db_iniparser_load(int index)
{
    zel_db_state_t &state = zel_db_state();
    zel_db_store_t &store = state.stores[index];
    const std::string plain = zel_path(ZEL_DB_PLAIN_FILE);
    if (state.keyiv[0]) {
        bool from_backup = false;
        dictionary *d = zel_db_load_encrypted(zel_path(store.file), zel_path(store.backup), plain, state.keyiv,
                                              &from_backup);
        if (d) {
            // The main file is damaged: the next timed save rewrites it from the backup's values.
            store.dirty = from_backup ? 1 : 0;
            return d;
        }
    } else {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] the NVM store has no key (no factory model)\n", __func__, __LINE__);
    }
    ZEL_LOGW(ZEL_DB_TAG, "[%s %d] the %s store starts from its defaults\n", __func__, __LINE__, store.name);
    return load_defaults(index, plain, true);
}

dictionary *plain_db_iniparser_load(int index)
{
    const zel_db_store_t &store = zel_db_state().stores[index];
    const std::string path = zel_path(store.file);
    if (dictionary *d = zel_db_ini_load_checked(path.c_str()))
        return d;
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] ready to create_default_db_file %s\n", __func__, __LINE__, store.name);
    return load_defaults(index, path, false);
}

dictionary *zel_db_mem_load(void)
{
    dictionary *d = dictionary_new(0);
    if (!d)
        return nullptr;
    for (int i = 0; i < db_keys_num; ++i) {
        const zel_db_key_t &row = db_keys[i];
        if (std::strncmp(row.key, "MEM", 3) == 0 && std::strlen(row.key) > 4 &&
            iniparser_set(d, row.key + 4, row.value) != 0) {
            dictionary_del(d);
            return nullptr;
        }
    }
    return d;
}

int chiper_db_iniparser_dump(int index, const char *keyiv, int to_backup)
{
    if (!keyiv || !keyiv[0])
        return -1;
    const zel_db_store_t &store = zel_db_state().stores[index];
    const char *out_path = to_backup ? store.backup : store.file;
    if (!out_path) {
        ZEL_LOGE(ZEL_DB_TAG, "out_path is NULL,pls check code\n");
        return -1;
    }
    const std::string plain_path = zel_path(ZEL_DB_PLAIN_FILE);
    FILE *plain = zel_db_fopen_private(plain_path, "w+");
    if (!plain) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d]: Can't open the %s\n", __func__, __LINE__, plain_path.c_str());
        return -1;
    }
    file_lock(plain);
    iniparser_dump_ini(store.dict, plain);
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] save %s\n", __func__, __LINE__, plain_path.c_str());
    int rc = std::fflush(plain) == 0 && !std::ferror(plain) ? 0 : -1;
    const std::string path = zel_path(out_path);
    const std::string tmp = path + ".tmp";
    FILE *out = rc == 0 ? std::fopen(tmp.c_str(), "we") : nullptr;
    if (!out) {
        ZEL_LOGE(ZEL_DB_TAG, "iniparser: cannot create %s\n", tmp.c_str());
        rc = -1;
    } else {
        ZEL_LOGD(ZEL_DB_TAG, "[%s][%d]: filesize=%ld \n", __func__, __LINE__, std::ftell(plain));
        std::rewind(plain);
        rc = encrypt_stream(plain, out, keyiv);
        if (rc == 0 && (std::fflush(out) != 0 || fsync(fileno(out)) != 0))
            rc = -1;
        if (std::fclose(out) != 0)
            rc = -1;
        if (rc == 0)
            rc = commit(tmp, path);
        else {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] write of %s failed: %s\n", __func__, __LINE__, tmp.c_str(), std::strerror(errno));
            unlink(tmp.c_str());
        }
    }
    file_unlock(plain);
    std::fclose(plain);
    return rc;
}

int zel_db_ko_save_db_file(void)
{
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] \n", __func__, __LINE__);
    zel_db_state_t &state = zel_db_state();
    std::lock_guard<std::mutex> save(state.save_lock);
    if (!state.ready) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] the settings database is not open\n", __func__, __LINE__);
        return -1;
    }
    int result = 0;
    for (int i = 0; i < ZEL_DB_STORE_COUNT; ++i) {
        if (state.reset) {
            ZEL_LOGE(ZEL_DB_TAG, " db has reset,stop save\n");
            return -1;
        }
        zel_db_store_t &store = state.stores[i];
        if (!store.file)
            continue;
        std::lock_guard<std::mutex> lock(store.lock);
        if (!store.dict || !store.dirty)
            continue;
        ZEL_LOGD(ZEL_DB_TAG, "[%s %d] index: %d\n", __func__, __LINE__, i);
        // A store that fails stays dirty for the next save; the later stores are still written.
        if (save_store(i) == 0)
            store.dirty = 0;
        else
            result = -1;
    }
    if (result != 0)
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] save failed; unsaved stores stay dirty\n", __func__, __LINE__);
    return result;
}

void zel_db_timeout_sync_db(union sigval)
{
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] zel_db_timeout_sync_db \n", __func__, __LINE__);
    zel_db_ko_save_db_file();
}
