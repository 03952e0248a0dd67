// Reading the factory partition: the partition search in /proc/mtd, the whole-partition read, the
// "FLSH" header search and the walk over its name=value entries.
#include "zel_db/zel_db_factory.h"

#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db_iniparser.h"
#include "zel_db/zel_db_store.h"
#include "zelmar/zel_path.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr uint32_t NVRAM_MAGIC = 0x48534C46;  // "FLSH" little-endian
constexpr size_t HEADER_SIZE = 20;
constexpr size_t HEADER_ROOM = 32768;  // the header is searched no closer to the end than this
constexpr int MAX_PARTITION = 16 << 20;
constexpr size_t MAX_TEXT_VALUE = 1536;

uint32_t le32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The whole partition, read until `size` bytes or the end; empty when it cannot be opened.
std::vector<unsigned char> read_partition(const char *path, int size)
{
    std::vector<unsigned char> data;
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        ZEL_LOGE(ZEL_DB_TAG, "Can't open the partition:%s\n", path);
        return data;
    }
    data.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                ZEL_LOGE(ZEL_DB_TAG, "[%s %d] read of %s failed: %s\n", __func__, __LINE__, path, std::strerror(errno));
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    data.resize(got);
    return data;
}

// Offset of the entry list after the header, or 0 when there is no usable header.
size_t find_entries(const std::vector<unsigned char> &data, int partition_size)
{
    if (data.size() >= HEADER_ROOM) {
        for (size_t off = 0; off <= data.size() - HEADER_ROOM; off += 4) {
            if (le32(&data[off]) != NVRAM_MAGIC)
                continue;
            const uint32_t length = le32(&data[off + 4]);
            if (length < static_cast<uint64_t>(partition_size) - off)
                return off + HEADER_SIZE;
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] NVRAM length %u passes the partition end\n", __func__, __LINE__, length);
            return 0;
        }
    }
    ZEL_LOGE(ZEL_DB_TAG, "Can't find the NVRAM_MAGIC.\n");
    return 0;
}

using EntryFn = std::function<void(std::string_view name, std::string_view value)>;

void walk_entries(const std::vector<unsigned char> &data, size_t pos, const EntryFn &fn)
{
    while (pos < data.size()) {
        if (data[pos] == 0xFF) {
            ZEL_LOGD(ZEL_DB_TAG, "[%s %d] name = 0x%x\n", __func__, __LINE__, data[pos]);
            return;
        }
        const auto *begin = reinterpret_cast<const char *>(&data[pos]);
        const size_t len = strnlen(begin, data.size() - pos);
        if (len == 0 || pos + len == data.size())
            return;  // the empty text ends the list; an unterminated one is cut and not taken
        const std::string_view text(begin, len);
        const size_t eq = text.find('=');
        if (eq == std::string_view::npos)
            return;
        fn(text.substr(0, eq), text.substr(eq + 1));
        pos += len + 1;
    }
}

// Finds and reads the partition; false with a log line when any step fails.
bool load_partition(std::vector<unsigned char> *data, size_t *entries)
{
    int size = 0;
    char *path = nvram_find_mtd("factory", &size);
    if (!path) {
        ZEL_LOGE(ZEL_DB_TAG, "Not init the nvram_handle_t or partition was error.\n");
        return false;
    }
    ZEL_LOGD(ZEL_DB_TAG, "[%s %d] factory=%s \t size=%d\n", __func__, __LINE__, path, size);
    *data = read_partition(path, size);
    std::free(path);
    *entries = data->empty() ? 0 : find_entries(*data, size);
    return *entries != 0;
}

struct LockFile {
    int fd = -1;
    ~LockFile()
    {
        if (fd >= 0) {
            flock(fd, LOCK_UN);
            close(fd);
        }
    }
};

} // namespace

char *nvram_find_mtd(const char *pattern, int *size)
{
    if (!pattern || !size)
        return nullptr;
    const std::string mtd = zel_path("/proc/mtd");
    FILE *in = std::fopen(mtd.c_str(), "r");
    if (!in) {
        ZEL_LOGW(ZEL_DB_TAG, "[%s %d] can't read %s\n", __func__, __LINE__, mtd.c_str());
        return nullptr;
    }
    char line[256];
    char *found = nullptr;
    while (!found && std::fgets(line, sizeof line, in)) {
        int number = 0;
        unsigned partition_size = 0;
        if (!strcasestr(line, pattern) || std::sscanf(line, "mtd%d: %08x", &number, &partition_size) != 2)
            continue;
        char device[64];
        std::snprintf(device, sizeof device, "/dev/mtdblock%d", number);
        const std::string real = zel_path(device);
        struct stat st {};
        if (stat(real.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) {
            ZEL_LOGW(ZEL_DB_TAG, "[%s %d] %s is not a device\n", __func__, __LINE__, real.c_str());
            continue;
        }
        if (partition_size == 0 || partition_size > static_cast<unsigned>(MAX_PARTITION)) {
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] %s has an unusable size %u\n", __func__, __LINE__, device, partition_size);
            continue;
        }
        found = strdup(real.c_str());
        *size = static_cast<int>(partition_size);
    }
    std::fclose(in);
    return found;
}

dictionary *factory_info_load(void)
{
    std::vector<unsigned char> data;
    size_t entries = 0;
    if (!load_partition(&data, &entries))
        return nullptr;
    dictionary *d = dictionary_new(0);
    if (!d) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] out of memory\n", __func__, __LINE__);
        return nullptr;
    }
    walk_entries(data, entries, [d](std::string_view name, std::string_view value) {
        const std::string n(name);
        const std::string v(value);
        ZEL_LOGD(ZEL_DB_TAG, "[%s %d]\t%s:%s\n", __func__, __LINE__, n.c_str(), zel_db_loggable(n, v.c_str()));
        if (iniparser_set(d, n.c_str(), v.c_str()) != 0)
            ZEL_LOGE(ZEL_DB_TAG, "[%s %d] can't store factory entry %s\n", __func__, __LINE__, n.c_str());
    });
    return d;
}

int zel_get_key_value_from_factory(const char *name, char *dst, int size)
{
    if (!name || !dst || size <= 0)
        return -1;
    LockFile lock;
    const std::string lock_path = zel_path("/tmp/.factory_lock");
    lock.fd = open(lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] can't lock %s: %s\n", __func__, __LINE__, lock_path.c_str(), std::strerror(errno));
        return -1;
    }
    std::vector<unsigned char> data;
    size_t entries = 0;
    if (!load_partition(&data, &entries))
        return -1;
    // A name given twice takes its last value, as a dictionary filled in order would.
    std::string value;
    bool found = false;
    walk_entries(data, entries, [&](std::string_view n, std::string_view v) {
        if (n == name) {
            value.assign(v);
            found = true;
        }
    });
    if (!found)
        return -1;
    if (value.size() >= static_cast<size_t>(size))
        return -2;
    std::memcpy(dst, value.c_str(), value.size() + 1);
    return 0;
}

int get_key_value_from_factory(const char *name, char *dst, int size)
{
    if (!name || !dst || !*name)
        return -6;
    int partition_size = 0;
    char *path = nvram_find_mtd("factory", &partition_size);
    if (!path)
        return -6;
    const std::vector<unsigned char> data = read_partition(path, partition_size);
    std::free(path);
    if (data.empty())
        return -6;
    const std::string_view raw(reinterpret_cast<const char *>(data.data()), data.size());
    const size_t at = raw.find(name);
    if (at == std::string_view::npos)
        return -1;
    const size_t start = at + std::strlen(name) + 1;
    if (start >= raw.size())
        return -1;
    const size_t end = raw.find('\0', start);
    const size_t len = (end == std::string_view::npos ? raw.size() : end) - start;
    if (len >= MAX_TEXT_VALUE || end == std::string_view::npos) {
        ZEL_LOGE(ZEL_DB_TAG, "[%s %d] out_len is too short", __func__, __LINE__);
        return -1;
    }
    if (len == 0)
        return -1;
    if (len >= static_cast<size_t>(size))
        return -2;
    std::memcpy(dst, raw.data() + start, len);
    dst[len] = '\0';
    return 0;
}
