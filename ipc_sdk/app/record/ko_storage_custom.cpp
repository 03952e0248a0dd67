// The switch, start time and index mark of each instance's custom record live here; the index and
// the record files belong to the custom-record store. A record's entry is marked once, with its first
// frame, not rewritten for every frame.
#include "ko_storage_custom.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <string>

#include "common/ko_porting_hooks.h"
#include "common/utils/ko_log.h"
#include "custom_record_index.h"
#include "ko_local_storage.h"
#include "yvideo.h"
#include "zelmar/zel_file.h"

namespace {

constexpr const char *kModule = "KO REC";
constexpr int kChannels = 8;

struct CustomRecord {
    bool on = false;
    uint32_t start = 0;
    bool marked = false; // the entry says the file holds frames
};

std::mutex g_lock; // the record files and the marks
std::array<CustomRecord, kChannels> g_records;

// -1 without the instance, -10 while the card is not usable, else 0.
int gate(int instance)
{
    if (instance < 0 || instance >= kChannels || !ko_local_storage_created(instance))
        return -1;
    return ko_storage_get_status() != 0 ? KO_STORAGE_CARD_NOT_READY : 0;
}

int append(const char *path, const void *data, size_t size)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "open", strerror(errno));
        return -1;
    }
    const auto *p = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "write", strerror(errno));
            close(fd);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0 ? 0 : -1;
}

} // namespace

extern "C" int ko_storage_custom_record_start(int count) { return yvideo_init(count); }

extern "C" int ko_storage_custom_record_finish(void) { return 0; }

extern "C" int ko_storage_set_custom_record(int on, uint32_t start_time, int instance)
{
    const int rc = gate(instance);
    if (rc != 0)
        return rc;
    std::lock_guard<std::mutex> guard(g_lock);
    CustomRecord &r = g_records[instance];
    r.on = on != 0;
    r.start = start_time;
    r.marked = false;
    if (!r.on) {
        const custom_record_index_entry_t off{start_time, CUSTOM_RECORD_OFF, 0, {0, 0}};
        return custom_record_index_mod(&off);
    }
    char path[1024];
    if (timestamp_to_custom_record_path(start_time, path, sizeof path) == 0 && access(path, F_OK) == 0) {
        KO_LOGW(kModule, "custom record task already exist! timestamp=%u\n", start_time);
        return 0;
    }
    const custom_record_index_entry_t set_up{start_time, CUSTOM_RECORD_SET_UP, CUSTOM_RECORD_NO_FRAME, {0, 0}};
    return custom_record_index_add(&set_up);
}

extern "C" int ko_storage_custom_put_frame(const ko_av_frame *frame, int instance)
{
    int rc = gate(instance);
    if (rc != 0)
        return rc;
    if (!frame || (!frame->data && frame->size))
        return -5;
    const uint64_t when = frame->timestamp_s ? frame->timestamp_s : static_cast<uint64_t>(time(nullptr));
    std::lock_guard<std::mutex> guard(g_lock);
    CustomRecord &r = g_records[instance];
    if (!r.on || when < r.start)
        return -5;
    char path[1024];
    if (timestamp_to_custom_record_path(r.start, path, sizeof path) != 0)
        return -4;
    const std::string dir(path, strrchr(path, '/') - path);
    if (access(dir.c_str(), F_OK) != 0) {
        std::string make = dir;
        if (mkdir_recursive(&make[0], 0777) != 0) {
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "mkdir", strerror(errno));
            return -1;
        }
    }
    if ((rc = append(path, frame->data, frame->size)) != 0)
        return rc;
    if (!r.marked) {
        const custom_record_index_entry_t written{r.start, CUSTOM_RECORD_WRITTEN, CUSTOM_RECORD_HAS_FRAMES, {0, 0}};
        r.marked = custom_record_index_mod(&written) == 0;
    }
    return 0;
}

extern "C" int ko_storage_custom_record_delete(uint32_t time, int instance)
{
    const int rc = gate(instance);
    if (rc == KO_STORAGE_CARD_NOT_READY)
        KO_LOGE(kModule, "custom record delete failed: sdcard status is abnormal!\n");
    if (rc != 0)
        return rc;
    std::lock_guard<std::mutex> guard(g_lock);
    return custom_record_index_del(time);
}
