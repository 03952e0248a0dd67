// The custom container is a second instance of the picture store with pool kinds of its own
// ("yvideo" data, "yvideoi" index), so it never writes into a picture data file. Only deleting by age
// differs: it also marks the data records deleted.
#include "yvideo.h"

#include <errno.h>

#include <string>

#include "common/utils/ko_log.h"
#include "sd_pic_store.h"
#include "sd_statistics.h"

namespace sd {
namespace {

constexpr const char *kModule = "KO REC";
constexpr uint32_t kDataHead = 2;
constexpr uint32_t kPieceKind = 5; // the picture store's piece head

PicStore g_yvideo{"yvideo_index", SD_KIND_YVIDEOI, SD_KIND_YVIDEO, kDataHead};

using Lock = std::lock_guard<std::recursive_mutex>;

// The data file a record names, for marking its data records: the store's open file, or one opened
// for the walk.
class DataFiles {
public:
    explicit DataFiles(PicDataFile &open) : open_(open) {}
    ~DataFiles() { close_own(); }
    FILE *get(const std::string &name, int64_t *cap)
    {
        if (open_.file && open_.name == name) {
            *cap = open_.capacity;
            return open_.file;
        }
        if (name != name_) {
            close_own();
            char path[1024];
            int err = 0;
            if (sd_get_path(name.c_str(), path) == 0)
                own_ = _open_file(path, "rb+", &err);
            name_ = name;
            cap_ = own_ ? _get_capacity(own_) : 0;
        }
        *cap = cap_;
        return own_;
    }
    int flush()
    {
        int rc = 0;
        if (own_ && fflush(own_) != 0)
            rc = _get_system_err(SD_ERR_WRITE, errno);
        if (open_.file && fflush(open_.file) != 0 && rc == 0)
            rc = _get_system_err(SD_ERR_WRITE, errno);
        return rc;
    }

private:
    void close_own()
    {
        if (own_)
            _close_file(own_);
        own_ = nullptr;
    }
    PicDataFile &open_;
    FILE *own_ = nullptr;
    std::string name_;
    int64_t cap_ = 0;
};

} // namespace
} // namespace sd

using namespace sd;

extern "C" int yvideo_init(int cameras) { return index_module_init(g_yvideo.index, cameras); }

extern "C" int yvideo_deinit(void) { return store_deinit(g_yvideo); }

extern "C" uint64_t yvideo_get_defalut_size_bytes(uint32_t fragments)
{
    return kIndexHeadSize + static_cast<uint64_t>(kStoreRecordSize) * fragments;
}

extern "C" int yvideo_add_data(int channel, const uint8_t *data, uint32_t size)
{
    IndexLog *log = index_context(g_yvideo.index, channel);
    if (!log)
        return -3;
    const int rc = store_add_data(g_yvideo, *log, data, size);
    return rc == -2 ? -3 : rc;
}

extern "C" int yvideo_add_index(int channel, uint32_t time)
{
    if (!index_module_ready(g_yvideo.index))
        return -1;
    IndexLog *log = index_context(g_yvideo.index, channel);
    if (!log)
        return -3;
    const int rc = store_add_index(g_yvideo, *log, time);
    if (rc != 0 && rc != -6) // a record that cannot be added is counted by the store
        g_statistics_storage.index_add_err++;
    return rc;
}

extern "C" int yvideo_get_data(int channel, uint32_t time, yvideo_data_cb cb, uint32_t size, void *user)
{
    return store_get_data(g_yvideo, channel, time, kPieceKind, cb, size, user);
}

extern "C" int yvideo_del_index_before(int channel, uint32_t time)
{
    if (!index_module_ready(g_yvideo.index))
        return -1;
    IndexLog *log = index_context(g_yvideo.index, channel);
    if (!log)
        return -1;
    Lock guard(log->lock);
    if (!log->file || log->valid_count == 0)
        return 0;
    const IndexLayout &l = kStoreLayout;
    DataFiles files(store_data_of(g_yvideo, *log));
    CursorGuard cursor(*log);
    std::string previous;
    int64_t last_deleted = -1;
    int err = 0;
    int rc = log_walk(*log, l, g_yvideo.index.mode, [&](uint8_t *slot, int64_t off) {
        if (slot_deleted(l, slot))
            return Walk::Next;
        const uint32_t t = slot_time(l, slot);
        const std::string name = store_path_of(slot);
        if (t > time || (t == time && name != previous))
            return Walk::Stop;
        slot[l.delete_off] = 1;
        slot_seal(l, slot);
        if ((err = log_write_at(*log, l, g_yvideo.index.mode, off, slot)) != 0)
            return Walk::Stop;
        log->valid_count--;
        last_deleted = off;
        previous = name;
        int64_t cap = 0;
        FILE *fp = files.get(name, &cap);
        if (!fp)
            KO_LOGW(kModule, "yvideo data file %s is gone\n", name.c_str());
        else if (pic_data_mark_deleted(fp, cap, get_u32(slot + 137), t) != 0)
            KO_LOGW(kModule, "yvideo data record %u of %s not marked\n", t, name.c_str());
        return Walk::Next;
    });
    if (last_deleted >= 0)
        log->beg_pos = log->valid_count ? log_next(*log, l, last_deleted) : kIndexHeadSize;
    if (rc == 0)
        rc = err;
    const int flushed = files.flush();
    if (fflush(log->file) != 0 && rc == 0)
        rc = _get_system_err(SD_ERR_WRITE, errno);
    if (rc == 0)
        rc = flushed;
    if (rc != 0)
        g_statistics_storage.index_del_err++;
    return rc;
}

extern "C" int yvideo_change_file_name(int channel, const char *old_name, const char *new_name)
{
    return store_change_file_name(g_yvideo, channel, old_name, new_name, "yvideo_change_file_name");
}
