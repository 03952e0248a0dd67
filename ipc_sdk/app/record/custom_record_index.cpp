// The index is small and read and written whole. A change is written to a temporary file that is made
// durable and renamed over the index, so a cut at any moment leaves the old or the new list; only an
// absent or damaged file is replaced by a bare head, never one that merely failed to open or read.
#include "custom_record_index.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/ko_porting_hooks.h"
#include "common/tiny_fmp4/fmp4_box.h"
#include "common/utils/ko_crc32.h"
#include "common/utils/ko_log.h"
#include "sd_io.h"
#include "sd_pool.h"
#include "zelmar/zel_file.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *kModule = "KO REC";
constexpr const char *kDir = "DORVI_CUSTOM_RECORD";
constexpr const char *kIndexName = ".custom_record_msg";
constexpr const char *kTag = "dorvi";
constexpr size_t kFullSizeAt = 72;
constexpr size_t kCrcAt = 504;
constexpr size_t kCountAt = 508;
constexpr uint32_t kMinStart = 999999999;

static_assert(sizeof(custom_record_index_entry_t) == CUSTOM_INDEX_ENTRY_SIZE, "entry record");
static_assert(kCountAt + 4 == CUSTOM_INDEX_HEAD_SIZE, "the count closes the head");

std::mutex g_index_lock;

using fmp4::le32;
using fmp4::put_le32;

std::string dir_path() { return std::string(local_get_base_path()) + "/" + kDir; }
std::string index_path() { return dir_path() + "/" + kIndexName; }

uint32_t image_crc(const std::vector<uint8_t> &img)
{
    uint32_t c = ko_crc32_init();
    c = ko_crc32_update(c, img.data(), kCrcAt);
    c = ko_crc32_update(c, img.data() + kCountAt, img.size() - kCountAt);
    return ko_crc32_finish(c);
}

uint32_t count_of(const std::vector<uint8_t> &img) { return le32(img.data() + kCountAt); }

// The length rule of a valid image, in 64 bits so that a huge count cannot wrap.
bool length_fits(uint64_t length, uint32_t full_size, uint32_t count)
{
    return length <= CUSTOM_INDEX_MAX_SIZE && length == full_size &&
           length == (static_cast<uint64_t>(count) + 64) * CUSTOM_INDEX_ENTRY_SIZE;
}

std::vector<uint8_t> bare_image()
{
    std::vector<uint8_t> img(CUSTOM_INDEX_HEAD_SIZE, 0);
    put_le32(img.data(), 1);
    put_le32(img.data() + 4, 1);
    memcpy(img.data() + 8, kTag, strlen(kTag));
    return img;
}

// Sets full_size and the CRC of an image whose entries are in place.
void seal(std::vector<uint8_t> *img)
{
    put_le32(img->data() + kFullSizeAt, static_cast<uint32_t>(img->size()));
    put_le32(img->data() + kCrcAt, image_crc(*img));
}

int sync_dir(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int rc = fsync(fd);
    close(fd);
    return rc;
}

int flush_image(std::vector<uint8_t> *img)
{
    if (img->size() < CUSTOM_INDEX_HEAD_SIZE ||
        !length_fits(img->size(), static_cast<uint32_t>(img->size()), count_of(*img))) {
        KO_LOGE(kModule, "index size err,size=%zu,num=%u\n", img->size(), count_of(*img));
        return -1;
    }
    std::string dir = dir_path();
    if (access(dir.c_str(), F_OK) != 0) {
        KO_LOGW(kModule, "can't access custom record index path, recreat!\n");
        if (mkdir_recursive(&dir[0], 0777) != 0) {
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "mkdir", strerror(errno));
            return -1;
        }
    }
    seal(img);
    const std::string path = index_path();
    const std::string tmp = path + ".tmp";
    FILE *fp = sd_io_fopen(tmp.c_str(), "wb");
    if (!fp) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "open", strerror(errno));
        return -1;
    }
    const bool written = fwrite(img->data(), 1, img->size(), fp) == img->size() && sd_io_sync(fp) == 0;
    const int err = errno;
    if (fclose(fp) != 0 || !written) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "write", strerror(written ? errno : err));
        sd_io_unlink(tmp.c_str());
        return -1;
    }
    if (sd_io_rename(tmp.c_str(), path.c_str()) != 0) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "rename", strerror(errno));
        sd_io_unlink(tmp.c_str());
        return -1;
    }
    if (sync_dir(dir) != 0)
        KO_LOGW(kModule, "system call err:%s, errno:%s\n", "fsync", strerror(errno));
    return 0;
}

enum class Load { ok, replaced, failed };

// Reads and checks the index; an absent or damaged file is replaced by a bare head (the caller
// loads again), one that cannot be opened or read for another reason is left alone.
Load load_once(std::vector<uint8_t> *img)
{
    const std::string path = index_path();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool damaged = false;
    if (fd < 0) {
        if (errno != ENOENT) {
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "open", strerror(errno));
            return Load::failed;
        }
    } else {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "fstat", strerror(errno));
            close(fd);
            return Load::failed;
        }
        const uint64_t length = static_cast<uint64_t>(st.st_size);
        if (length < CUSTOM_INDEX_HEAD_SIZE || length > CUSTOM_INDEX_MAX_SIZE) {
            KO_LOGE(kModule, "lseek length = %llu,err!!\n", static_cast<unsigned long long>(length));
            damaged = true;
        } else {
            img->assign(static_cast<size_t>(length), 0);
            const ssize_t n = pread(fd, img->data(), img->size(), 0);
            if (n < 0) {
                KO_LOGE(kModule, "system call err:%s, errno:%s\n", "read", strerror(errno));
                close(fd);
                return Load::failed;
            }
            const uint32_t full = le32(img->data() + kFullSizeAt);
            const uint32_t count = count_of(*img);
            if (static_cast<size_t>(n) != img->size() || !length_fits(length, full, count)) {
                KO_LOGE(kModule, "index file size err,goto recreate... length=%llu,full_size=%u,num=%u\n",
                        static_cast<unsigned long long>(length), full, count);
                damaged = true;
            } else if (image_crc(*img) != le32(img->data() + kCrcAt)) {
                KO_LOGE(kModule, "crc32=%u,header.crc32=%u!\n", image_crc(*img), le32(img->data() + kCrcAt));
                damaged = true;
            }
        }
        close(fd);
        if (!damaged)
            return Load::ok;
    }
    KO_LOGW(kModule, "recreate custom record index start!\n");
    std::vector<uint8_t> bare = bare_image();
    flush_image(&bare);
    return Load::replaced;
}

bool load(std::vector<uint8_t> *img)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        const Load r = load_once(img);
        if (r == Load::ok)
            return true;
        if (r == Load::failed)
            return false;
    }
    return false;
}

uint8_t *entry_at(std::vector<uint8_t> &img, uint32_t i)
{
    return img.data() + CUSTOM_INDEX_HEAD_SIZE + static_cast<size_t>(i) * CUSTOM_INDEX_ENTRY_SIZE;
}

// Index of the first entry whose start is not below `start`.
uint32_t lower_bound(std::vector<uint8_t> &img, uint32_t start)
{
    uint32_t lo = 0, hi = count_of(img);
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (le32(entry_at(img, mid)) < start)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

bool found(std::vector<uint8_t> &img, uint32_t at, uint32_t start)
{
    return at < count_of(img) && le32(entry_at(img, at)) == start;
}

void remove_entry(std::vector<uint8_t> *img, uint32_t at)
{
    const auto first = img->begin() + CUSTOM_INDEX_HEAD_SIZE + static_cast<long>(at) * CUSTOM_INDEX_ENTRY_SIZE;
    img->erase(first, first + CUSTOM_INDEX_ENTRY_SIZE);
    put_le32(img->data() + kCountAt, count_of(*img) - 1);
}

bool record_file_exists(uint32_t start)
{
    char path[1024];
    return timestamp_to_custom_record_path(start, path, sizeof path) == 0 && access(path, F_OK) == 0;
}

} // namespace

extern "C" const char *local_get_base_path(void)
{
    const char *base = sd_get_base_path();
    if (base && base[0])
        return base;
    // Before the recorder started the card, the base path is the one the application gives it.
    static thread_local std::string fallback;
    fallback = zel_path("/mnt/sdcard");
    return fallback.c_str();
}

extern "C" int timestamp_to_custom_record_path(uint32_t time, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return -1;
    const time_t t = static_cast<time_t>(time);
    struct tm tm;
    if (!localtime_r(&t, &tm))
        return -1;
    const int n = snprintf(buffer, size, "%s/%s/%04d%02d%02dD%02dH%02dM%02dS_%u.video", local_get_base_path(), kDir,
                           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, time);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        KO_LOGE(kModule, "custom record path of %u does not fit %zu bytes\n", time, size);
        return -1;
    }
    return 0;
}

extern "C" int custom_record_index_add(const custom_record_index_entry_t *entry)
{
    if (!entry || entry->start <= kMinStart) {
        KO_LOGE(kModule, "err timestamp=%u\n", entry ? entry->start : 0u);
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_index_lock);
    std::vector<uint8_t> img;
    if (!load(&img))
        return -1;
    const uint32_t at = lower_bound(img, entry->start);
    if (found(img, at, entry->start))
        return 0;
    if (img.size() + CUSTOM_INDEX_ENTRY_SIZE > CUSTOM_INDEX_MAX_SIZE) {
        KO_LOGE(kModule, "custom record index is full (%u entries)\n", count_of(img));
        return -1;
    }
    uint8_t bytes[CUSTOM_INDEX_ENTRY_SIZE] = {};
    put_le32(bytes, entry->start);
    bytes[4] = entry->state;
    bytes[5] = entry->data;
    img.insert(img.begin() + CUSTOM_INDEX_HEAD_SIZE + static_cast<long>(at) * CUSTOM_INDEX_ENTRY_SIZE, bytes,
               bytes + sizeof bytes);
    put_le32(img.data() + kCountAt, count_of(img) + 1);
    return flush_image(&img);
}

extern "C" int custom_record_index_mod(const custom_record_index_entry_t *entry)
{
    if (!entry)
        return -1;
    std::lock_guard<std::mutex> guard(g_index_lock);
    std::vector<uint8_t> img;
    if (!load(&img))
        return -1;
    const uint32_t at = lower_bound(img, entry->start);
    if (!found(img, at, entry->start))
        return 0;
    uint8_t *e = entry_at(img, at);
    const uint8_t state = entry->state ? entry->state : e[4];
    const uint8_t data = entry->data ? entry->data : e[5];
    if (state == e[4] && data == e[5])
        return 0;
    e[4] = state;
    e[5] = data;
    return flush_image(&img);
}

extern "C" int custom_record_index_del(uint32_t start)
{
    char path[1024];
    if (timestamp_to_custom_record_path(start, path, sizeof path) == 0 && sd_io_unlink(path) != 0 &&
        errno != ENOENT)
        KO_LOGE(kModule, "%s: can not unlink %s: %s\n", __func__, path, strerror(errno));
    std::lock_guard<std::mutex> guard(g_index_lock);
    std::vector<uint8_t> img;
    if (!load(&img))
        return -1;
    const uint32_t at = lower_bound(img, start);
    if (!found(img, at, start))
        return 0;
    remove_entry(&img, at);
    return flush_image(&img);
}

extern "C" int custom_record_index_get(uint8_t **out, uint32_t *length)
{
    if (!out || !length)
        return -1;
    if (ko_storage_get_status() != 0)
        return -1;
    std::lock_guard<std::mutex> guard(g_index_lock);
    std::vector<uint8_t> img;
    if (!load(&img))
        return -1;
    bool dropped = false;
    for (uint32_t i = count_of(img); i-- > 0;) {
        const uint8_t *e = entry_at(img, i);
        const uint32_t start = le32(e);
        const bool never_written = e[4] == CUSTOM_RECORD_OFF && e[5] == CUSTOM_RECORD_NO_FRAME;
        const bool file_gone = e[5] == CUSTOM_RECORD_HAS_FRAMES && !record_file_exists(start);
        if (file_gone)
            KO_LOGW(kModule, "custom record file of %u is gone\n", start);
        if (never_written || file_gone) {
            remove_entry(&img, i);
            dropped = true;
        }
    }
    if (dropped && (flush_image(&img) != 0 || !load(&img)))
        return -1;
    uint8_t *buf = static_cast<uint8_t *>(malloc(img.size()));
    if (!buf)
        return -1;
    memcpy(buf, img.data(), img.size());
    *out = buf;
    *length = static_cast<uint32_t>(img.size());
    return 0;
}
