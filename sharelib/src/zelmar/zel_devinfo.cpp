// The shared device-information record and the factory text helpers.
#include "zelmar/zel_devinfo.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_system.h"
#include "zelmar/zel_path.h"

static_assert(sizeof(dev_info_t) == 228, "the shared record is 228 bytes");

namespace {

constexpr const char *TAG = "CORE_DEV";

// Runs `command` and keeps at most `max` - 1 characters of its output, without the trailing newline.
bool command_text(const char *command, char *out, int max)
{
    int len = exec(command, out, max);
    if (len <= 0)
        return false;
    out[len] = '\0';
    while (len > 0 && (out[len - 1] == '\n' || out[len - 1] == '\r'))
        out[--len] = '\0';
    return len > 0;
}

void fill_model(dev_info_t *info)
{
    char text[64] = {};
    if (!command_text("zel_dbc get rom model", text, sizeof text)) {
        ZEL_LOGE(TAG, "%s,factory get model error\n", __func__);
        return;
    }
    std::memcpy(info->model, text, sizeof text);
}

void fill_wlan(dev_info_t *info)
{
    const std::string path = zel_path("/proc/net/wireless");
    FILE *f = std::fopen(path.c_str(), "re");
    if (!f) {
        ZEL_LOGW(TAG, "%s: open %s: %s", __func__, path.c_str(), std::strerror(errno));
        return;
    }
    // Two heading lines, then one line per interface: "  wlan0: 0000 ...".
    char line[256];
    for (int i = 0; i < 3 && std::fgets(line, sizeof line, f); ++i) {
        if (i < 2)
            continue;
        const char *name = line + std::strspn(line, " \t");
        const size_t len = std::strcspn(name, ":");
        if (name[len] == ':')
            std::memcpy(info->wlan, name, len < sizeof info->wlan - 1 ? len : sizeof info->wlan - 1);
    }
    std::fclose(f);
}

int fill_dev_info(char *record)
{
    auto *info = reinterpret_cast<dev_info_t *>(record);
    std::memset(info, 0, sizeof *info);
    fill_model(info);
    std::snprintf(info->version, sizeof info->version, "%s", "HALVORN_VERSION=5.1.7_0371");
    std::snprintf(info->numbers, sizeof info->numbers, "%d.%d.%d", 3, 18, 30);
    std::snprintf(info->util, sizeof info->util, "%s", "FIXME_lumo_util");
    fill_wlan(info);
    return 0;
}

int open_shared(const std::string &path, bool *read_only)
{
    for (;;) {
        *read_only = false;
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
            if (fd < 0 && errno == EEXIST)
                continue; // another process made it first
        }
        if (fd < 0 && errno == EACCES) {
            fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            *read_only = true;
        }
        if (fd < 0)
            ZEL_LOGE(TAG, "open %s: %s", path.c_str(), std::strerror(errno));
        return fd;
    }
}

int lock_file(int fd, int op)
{
    int rc;
    do
        rc = flock(fd, op);
    while (rc != 0 && errno == EINTR);
    return rc;
}

} // namespace

void *lumo_shared(const char *name, int size, int (*init)(char *record))
{
    if (!name || size <= 0)
        return nullptr;
    const std::string path = zel_path(std::string("/dev/shm/lumo-") + name);
    bool read_only = false;
    const int fd = open_shared(path, &read_only);
    if (fd < 0)
        return nullptr;
    void *map = nullptr;
    if (lock_file(fd, LOCK_EX) != 0) {
        ZEL_LOGE(TAG, "flock %s: %s", path.c_str(), std::strerror(errno));
        close(fd);
        return nullptr;
    }
    struct stat st;
    bool fill = false;
    if (fstat(fd, &st) != 0) {
        ZEL_LOGE(TAG, "fstat %s: %s", path.c_str(), std::strerror(errno));
    } else if (st.st_size < size && read_only) {
        ZEL_LOGE(TAG, "%s is short and read-only", path.c_str());
    } else if (st.st_size < size && ftruncate(fd, size) != 0) {
        ZEL_LOGE(TAG, "ftruncate %s: %s", path.c_str(), std::strerror(errno));
    } else {
        fill = st.st_size < size;
        map = mmap(nullptr, static_cast<size_t>(size), read_only ? PROT_READ : PROT_READ | PROT_WRITE, MAP_SHARED,
                   fd, 0);
        if (map == MAP_FAILED) {
            ZEL_LOGE(TAG, "mmap %s: %s", path.c_str(), std::strerror(errno));
            map = nullptr;
        }
    }
    if (map && fill && init && init(static_cast<char *>(map)) < 0) {
        ZEL_LOGE(TAG, "%s cannot be filled", path.c_str());
        munmap(map, static_cast<size_t>(size));
        map = nullptr;
        if (ftruncate(fd, 0) != 0)
            ZEL_LOGE(TAG, "ftruncate %s: %s", path.c_str(), std::strerror(errno));
    }
    if (lock_file(fd, LOCK_UN) != 0)
        ZEL_LOGE(TAG, "unlock %s: %s", path.c_str(), std::strerror(errno));
    close(fd);
    return map;
}

const dev_info_t *dev_get_info(void)
{
    static std::mutex lock;
    static const dev_info_t *info = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (!info)
        info = static_cast<const dev_info_t *>(lumo_shared("devinfo", sizeof(dev_info_t), fill_dev_info));
    return info;
}

int get_model_id(char *out, int size)
{
    if (!out)
        return -1;
    char text[64] = {};
    if (!command_text("factory get model", text, sizeof text)) {
        ZEL_LOGE(TAG, "%s,factory get model error\n", __func__);
        return -2;
    }
    if (size <= 0)
        return 0;
    const char *dot = std::strrchr(text, '.');
    const char *id = dot ? dot + 1 : text;
    const size_t n = std::min(std::strlen(id), static_cast<size_t>(size - 1));
    std::memcpy(out, id, n);
    out[n] = '\0';
    return 0;
}

const char *get_split_mac_addr(const char *src, int src_len, char *dst, int dst_len)
{
    if (!src || !dst || dst_len < src_len)
        return src;
    for (int i = 0, j = 0; i < src_len && src[i]; ++i)
        if (src[i] != ':')
            dst[j++] = src[i];
    return src;
}

namespace {

// The factory tool's answer to `command` into `out` (its colons dropped for `without_colons`).
int fill_factory_text(const char *command, const char *error, bool without_colons, char *out, int size)
{
    if (!out || size < 1)
        return -1;
    char text[64] = {};
    if (!command_text(command, text, sizeof text)) {
        ZEL_LOGE(TAG, "%s", error);
        return -2;
    }
    char kept[sizeof text] = {};
    if (without_colons)
        get_split_mac_addr(text, static_cast<int>(std::strlen(text)), kept, sizeof kept - 1);
    else
        std::memcpy(kept, text, sizeof text);
    std::snprintf(out, static_cast<size_t>(size), "%s", kept);
    return 0;
}

} // namespace

int fill_mac_addr(char *out, int size)
{
    return fill_factory_text("factory get mac", "facotry get mac addr error\n", true, out, size);
}

int fill_dev_name(char *out, int size)
{
    const int rc = fill_factory_text("factory get dev_name", "facotry get dev name error\n", false, out, size);
    if (rc == 0)
        ZEL_LOGD(TAG, "[%s:%d]>>> devname=%s", __func__, __LINE__, out);
    return rc;
}
