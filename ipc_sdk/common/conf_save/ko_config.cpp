// Config slots in "tolk_conf.db": each slot is a little-endian CRC-32 followed by its payload area,
// at the slot's own offset; bytes never written hold 0xFF. Every call opens and closes the file.
#include "common/conf_save/ko_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/utils/ko_crc32.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *kModule = "KO CONF";
constexpr const char *kFileName = "tolk_conf.db";
constexpr size_t kPathMax = 63;
constexpr uint32_t kUnwritten = 0xFFFFFFFFu;

struct SlotRow {
    unsigned slot;
    unsigned size; // CRC included
};
constexpr SlotRow kSlots[] = {{128, 256}, {384, 288}, {768, 256}, {1024, 1536}};

constexpr bool slots_lie_apart_in_the_file()
{
    for (size_t i = 0; i < sizeof kSlots / sizeof kSlots[0]; ++i) {
        const unsigned end = kSlots[i].slot + kSlots[i].size;
        const unsigned next = i + 1 < sizeof kSlots / sizeof kSlots[0] ? kSlots[i + 1].slot : unsigned{KO_CONFIG_FILE_SIZE};
        if (kSlots[i].size <= 4 || end > next)
            return false;
    }
    return true;
}
static_assert(slots_lie_apart_in_the_file(), "each slot (CRC and payload) ends before the next one and the file's end");

struct ConfigState {
    std::mutex lock;
    bool inited = false;
    std::string path; // real location
};

ConfigState g_conf;

void syscall_err(const char *step)
{
    KO_LOGE(kModule, "system call err:%s, errno:%s\n", step, std::strerror(errno));
}

int _module_size(unsigned slot, unsigned *size)
{
    for (const auto &row : kSlots) {
        if (row.slot == slot) {
            *size = row.size;
            return 0;
        }
    }
    KO_LOGW(kModule, "invalid module 0x%x\n", slot);
    return -1;
}

// The slot's payload bytes (size less the CRC), or 0 for a bad request (logged).
unsigned check_request(unsigned slot, const void *data, unsigned len)
{
    unsigned size = 0;
    if (_module_size(slot, &size) != 0 || !data || len == 0 || len > size - 4) {
        KO_LOGW(kModule, "invalid argument .. \n");
        return 0;
    }
    return size - 4;
}

// Moves all `len` bytes at `offset` with pread or pwrite, going on after short transfers.
template <class Byte, class Io> bool transfer_all(Io io, int fd, Byte *buf, size_t len, off_t offset)
{
    while (len > 0) {
        const ssize_t n = io(fd, buf, len, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool write_all(int fd, const uint8_t *buf, size_t len, off_t offset)
{
    return transfer_all(pwrite, fd, buf, len, offset);
}

bool read_all(int fd, uint8_t *buf, size_t len, off_t offset)
{
    return transfer_all(pread, fd, buf, len, offset);
}

// Fills a new or short file with 0xFF up to the full size, or cuts a longer one.
int size_file(int fd, off_t size)
{
    if (size > KO_CONFIG_FILE_SIZE) {
        if (ftruncate(fd, KO_CONFIG_FILE_SIZE) != 0) {
            syscall_err("ftruncate config save error");
            return -1;
        }
        return 0;
    }
    uint8_t fill[1024];
    std::memset(fill, 0xFF, sizeof(fill));
    while (size < KO_CONFIG_FILE_SIZE) {
        const size_t n = static_cast<size_t>(std::min<off_t>(sizeof(fill), KO_CONFIG_FILE_SIZE - size));
        if (!write_all(fd, fill, n, size)) {
            syscall_err("write config save error");
            return -1;
        }
        size += static_cast<off_t>(n);
    }
    return 0;
}

} // namespace

int ko_config_init(const char *dir)
{
    std::lock_guard<std::mutex> guard(g_conf.lock);
    if (g_conf.inited) {
        KO_LOGW(kModule, "config init already .. \n");
        return -1;
    }
    if (!dir) {
        KO_LOGW(kModule, "invalid argument .. \n");
        return -1;
    }
    const std::string device_path = std::string(dir) + "/" + kFileName;
    if (device_path.size() > kPathMax) {
        KO_LOGW(kModule, "invalid argument .. \n");
        return -1;
    }
    const std::string path = zel_path(device_path);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        syscall_err("open config error");
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        syscall_err("fstat config save error");
        close(fd);
        return -1;
    }
    KO_LOGI(kModule, "CONF DB CONFIG_MODULE_MAX = %d,  realSize = %zd\n", KO_CONFIG_FILE_SIZE,
            static_cast<ssize_t>(st.st_size));
    const int rc = size_file(fd, st.st_size);
    if (close(fd) != 0 && rc == 0) {
        syscall_err("close config error");
        return -1;
    }
    if (rc != 0)
        return -1;
    g_conf.path = path;
    g_conf.inited = true;
    return 0;
}

int ko_config_set(unsigned slot, const void *data, unsigned len)
{
    std::lock_guard<std::mutex> guard(g_conf.lock);
    if (!g_conf.inited) {
        KO_LOGW(kModule, "config: not init!\n");
        return -1;
    }
    const unsigned payload = check_request(slot, data, len);
    if (payload == 0)
        return -1;
    KO_LOGI(kModule, "module max size is %u, file %s\n", payload, g_conf.path.c_str());
    // CRC and payload area go out in one write.
    std::vector<uint8_t> area(4 + payload, 0);
    std::memcpy(area.data() + 4, data, len);
    const uint32_t crc = ko_crc32_total(area.data() + 4, payload);
    for (int i = 0; i < 4; ++i)
        area[i] = static_cast<uint8_t>(crc >> (8 * i));

    const int fd = open(g_conf.path.c_str(), O_RDWR | O_CREAT | O_DSYNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        syscall_err("open config error");
        return -1;
    }
    int rc = 0;
    struct stat st {};
    if (fstat(fd, &st) != 0)
        syscall_err("fstat config save error");
    else if (st.st_size < static_cast<off_t>(slot + 4 + payload) && ftruncate(fd, slot + 4 + payload) != 0) {
        syscall_err("ftruncate config save error");
        rc = -1;
    }
    if (rc == 0 && !write_all(fd, area.data(), area.size(), slot)) {
        syscall_err("write config save error");
        rc = -1;
    }
    if (close(fd) != 0 && rc == 0) {
        syscall_err("close config error");
        rc = -1;
    }
    return rc;
}

int ko_config_get(unsigned slot, void *data, unsigned len)
{
    std::lock_guard<std::mutex> guard(g_conf.lock);
    if (!g_conf.inited) {
        KO_LOGW(kModule, "config: not init!\n");
        return -1;
    }
    const unsigned payload = check_request(slot, data, len);
    if (payload == 0)
        return -1;
    const int fd = open(g_conf.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        syscall_err("open config error");
        return -1;
    }
    int rc = -1;
    struct stat st {};
    std::vector<uint8_t> area(4 + payload);
    if (fstat(fd, &st) != 0)
        syscall_err("fstat config save error");
    if (st.st_size >= static_cast<off_t>(slot + 4 + payload)) {
        if (!read_all(fd, area.data(), area.size(), slot)) {
            syscall_err("read config save error\n");
        } else {
            const uint32_t stored = static_cast<uint32_t>(area[0]) | static_cast<uint32_t>(area[1]) << 8 |
                                    static_cast<uint32_t>(area[2]) << 16 | static_cast<uint32_t>(area[3]) << 24;
            const uint32_t computed = ko_crc32_total(area.data() + 4, payload);
            if (stored == kUnwritten) {
                // Never written: the caller keeps its defaults.
            } else if (stored != computed) {
                KO_LOGE(kModule, "read config save error ,hash %x != %x\n", stored, computed);
            } else {
                std::memcpy(data, area.data() + 4, len);
                rc = 0;
            }
        }
    }
    close(fd);
    return rc;
}

int ko_config_reset(void)
{
    std::lock_guard<std::mutex> guard(g_conf.lock);
    if (!g_conf.inited)
        return -1;
    if (unlink(g_conf.path.c_str()) != 0)
        KO_LOGW(kModule, "%s: can not unlink %s: %s", "ko_config_reset", g_conf.path.c_str(), std::strerror(errno));
    return 0;
}

int ko_config_deinit(void)
{
    std::lock_guard<std::mutex> guard(g_conf.lock);
    if (!g_conf.inited) {
        KO_LOGE(kModule, "config: not init!\n");
        return -1;
    }
    g_conf.inited = false;
    g_conf.path.clear();
    KO_LOGI(kModule, "config: deinit ok!\n");
    return 0;
}
