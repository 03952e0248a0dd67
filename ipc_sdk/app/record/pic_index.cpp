// The index context and the data file of a channel share the context's recursive lock. A picture is
// read under the lock and sent after it is released.
#include "pic_index.h"

#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "sd_pic_store.h"
#include "sd_statistics.h"

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";
static_assert(PIC_INDEX_RECORD_SIZE == kStoreRecordSize, "picture record layout");
constexpr uint32_t kDataHead = 2;
constexpr uint32_t kPictureKind = 5;

PicStore g_pic{"pic_index", SD_KIND_PICI, SD_KIND_PIC, kDataHead};
const IndexLayout &kLayout = kStoreLayout;

using Lock = std::lock_guard<std::recursive_mutex>;
} // namespace

const IndexLayout kStoreLayout{kStoreRecordSize, 141, 0, 8, 4};

void store_copy_path(uint8_t *out, const char *name)
{
    memset(out, 0, 128);
    strncpy(reinterpret_cast<char *>(out), name, 127);
}

std::string store_path_of(const uint8_t *slot)
{
    return std::string(reinterpret_cast<const char *>(slot + 9), strnlen(reinterpret_cast<const char *>(slot + 9), 128));
}

void StoreReadFile::close()
{
    if (file)
        _close_file(file);
    file = nullptr;
    name.clear();
}

PicDataFile &store_data_of(PicStore &st, IndexLog &log)
{
    PicDataFile &df = st.data[&log - st.index.contexts];
    df.channel = log.channel;
    return df;
}

int store_deinit(PicStore &st)
{
    for (int i = 0; i < 2; i++) {
        Lock guard(st.index.contexts[i].lock);
        st.data[i].close();
        st.read[i].close();
    }
    return index_module_deinit(st.index);
}

int store_add_data(PicStore &st, IndexLog &log, const uint8_t *data, uint32_t size)
{
    Lock guard(log.lock);
    if (size == 0 || !data) {
        KO_LOGE(kModule, "%s data size is %d\n", st.index.who, static_cast<int>(size));
        return -4;
    }
    PicDataFile &df = store_data_of(st, log);
    if (pic_data_ensure_room(df, size) != 0)
        return -2;
    const int rc = pic_data_write(df, data, size);
    KO_LOGI(kModule, "%s over size:%u channel:%d, ret:%d, file_name: %s\n", st.index.who, size, log.channel, rc,
            df.name.c_str());
    return rc;
}

int store_add_index(PicStore &st, IndexLog &log, uint32_t time)
{
    Lock guard(log.lock);
    PicDataFile &df = store_data_of(st, log);
    if (!df.file) {
        KO_LOGE(kModule, "%s file_name_data is null \n", st.index.who);
        return -3;
    }
    if (time <= kIndexMinTime) {
        KO_LOGE(kModule, "err timestamp=%u\n", time);
        g_statistics_storage.index_update_err++;
        return -4;
    }
    uint32_t offset = 0;
    if (pic_data_stamp(df, time, &offset) != 0)
        return -4;
    if (index_ensure_open(st.index, log) != 0) {
        KO_LOGE(kModule, "_init_context_index fail. file=%s\n", df.name.c_str());
        return -5;
    }
    uint8_t slot[kStoreRecordSize] = {};
    put_u32(slot + 4, time);
    store_copy_path(slot + 9, df.name.c_str());
    put_u32(slot + 137, offset);
    if (log_append(log, kLayout, st.index.mode, slot) != 0) {
        KO_LOGE(kModule, "_add_index fail. file=%s\n", log.name.c_str());
        g_statistics_storage.index_add_err++;
        return -6;
    }
    return 0;
}

int store_get_data(PicStore &st, int channel, uint32_t time, uint32_t kind,
                   int (*cb)(int, uint32_t, uint32_t, const uint8_t *, uint32_t, void *), uint32_t size, void *user)
{
    if (!index_module_ready(st.index) || !cb || size <= PIC_HEAD_SIZE)
        return -1;
    IndexLog *log = index_context(st.index, channel);
    if (!log)
        return -2;
    std::vector<uint8_t> bytes;
    {
        Lock guard(log->lock);
        if (!log->file || log->valid_count == 0) {
            KO_LOGE(kModule, "valid_count is %d!\n", static_cast<int>(log->valid_count));
            return -6;
        }
        uint8_t found[kStoreRecordSize];
        bool have = false;
        {
            CursorGuard cursor(*log);
            log_walk(*log, kLayout, st.index.mode, [&](uint8_t *slot, int64_t) {
                const uint32_t t = slot_time(kLayout, slot);
                if (t < time)
                    return Walk::Next;
                if (t == time && !slot_deleted(kLayout, slot)) {
                    memcpy(found, slot, sizeof found);
                    have = true;
                }
                return t == time && !have ? Walk::Next : Walk::Stop;
            });
        }
        if (!have || !log_live(*log, kLayout, found)) {
            KO_LOGI(kModule, "%s not find index.\n", st.index.who);
            return -6;
        }
        StoreReadFile &rf = st.read[log - st.index.contexts];
        const std::string name = store_path_of(found);
        if (!rf.file || rf.name != name) {
            KO_LOGI(kModule, "read data change. %s -> %s\n", rf.name.c_str(), name.c_str());
            rf.close();
            char path[1024];
            int err = 0;
            if (sd_get_path(name.c_str(), path) != 0 || !(rf.file = _open_file(path, "rb", &err))) {
                KO_LOGE(kModule, "not find data file. %d \n", err);
                return -6;
            }
            rf.name = name;
            rf.capacity = _get_capacity(rf.file);
        }
        // A stamped record never moves, but the data file may be written by this process meanwhile.
        PicDataFile &df = store_data_of(st, *log);
        if (df.file && df.name == name)
            fflush(df.file);
        if (pic_data_read(rf.file, rf.capacity, get_u32(found + 137), time, bytes) != 0)
            return -6;
    }
    return index_send_pieces(channel, kind, bytes, size, 1, cb, user);
}

int store_change_file_name(PicStore &st, int channel, const char *old_name, const char *new_name, const char *who)
{
    if (!index_module_ready(st.index) || !old_name || !new_name)
        return -1;
    IndexLog *log = index_context(st.index, channel);
    if (!log) {
        KO_LOGE(kModule, "%s  err, channel = %d\n", who, channel);
        return -1;
    }
    Lock guard(log->lock);
    const uint64_t t0 = vexa_time_tick_ms();
    PicDataFile &df = store_data_of(st, *log);
    if (df.name == old_name)
        df.name = new_name;
    StoreReadFile &rf = st.read[log - st.index.contexts];
    if (rf.name == old_name)
        rf.close();
    if (!log->file)
        return 0;
    // Every record of the file is renamed, the newest included and across the wrap.
    CursorGuard cursor(*log);
    int err = 0;
    uint8_t field[128];
    store_copy_path(field, old_name);
    const int rc = log_walk(*log, kLayout, st.index.mode, [&](uint8_t *slot, int64_t off) {
        if (memcmp(slot + 9, field, 128) != 0)
            return Walk::Next;
        store_copy_path(slot + 9, new_name);
        slot_seal(kLayout, slot);
        err = log_write_at(*log, kLayout, st.index.mode, off, slot);
        return err != 0 ? Walk::Stop : Walk::Next;
    });
    if (fflush(log->file) != 0 && err == 0)
        err = _get_system_err(SD_ERR_WRITE, errno);
    KO_LOGI(kModule, "%s out, ret: %d, cost: %llu \n", who, rc != 0 ? rc : err,
            static_cast<unsigned long long>(vexa_time_tick_ms() - t0));
    return rc != 0 ? rc : err;
}

} // namespace sd

using namespace sd;

extern "C" int pic_init(int cameras) { return index_module_init(g_pic.index, cameras); }

extern "C" int pic_deinit(void) { return store_deinit(g_pic); }

extern "C" uint64_t pic_get_defalut_size_bytes(uint32_t fragments)
{
    return kIndexHeadSize + static_cast<uint64_t>(PIC_INDEX_RECORD_SIZE) * fragments;
}

extern "C" int pic_add_data(int channel, const uint8_t *data, uint32_t size)
{
    if (!index_module_ready(g_pic.index))
        return -1;
    IndexLog *log = index_context(g_pic.index, channel);
    return log ? store_add_data(g_pic, *log, data, size) : -2;
}

extern "C" int pic_add_index(int channel, uint32_t time)
{
    if (!index_module_ready(g_pic.index))
        return -1;
    IndexLog *log = index_context(g_pic.index, channel);
    return log ? store_add_index(g_pic, *log, time) : -2;
}

extern "C" int pic_get_data(int channel, uint32_t time, pic_data_cb cb, uint32_t size, void *user)
{
    return store_get_data(g_pic, channel, time, kPictureKind, cb, size, user);
}

extern "C" int pic_del_index_before(int channel, uint64_t time)
{
    return index_del_before(g_pic.index, channel, time);
}

extern "C" int pic_del_index(int channel, const uint32_t *times, int count)
{
    return index_del_listed(g_pic.index, channel, times, count);
}

extern "C" int pic_change_file_name(int channel, const char *old_name, const char *new_name)
{
    return store_change_file_name(g_pic, channel, old_name, new_name, "pic_change_file_name");
}

extern "C" int pic_index_need_reset(const char *index_name)
{
    char path[1024];
    if (!index_name || sd_get_path(index_name, path) != 0)
        return 1;
    int err = 0;
    FILE *fp = _open_file(path, "rb", &err);
    if (!fp)
        return 1;
    std::string previous;
    const int rc = log_scan_file(fp, kLayout, [&](const uint8_t *slot) {
        if (slot_deleted(kLayout, slot))
            return 0;
        const std::string name = store_path_of(slot);
        if (previous == name)
            return 0;
        previous = name;
        char file[1024];
        if (sd_get_path(name.c_str(), file) != 0 || access(file, F_OK) != 0) {
            KO_LOGW(kModule, "%s path is not exist \n", name.c_str());
            return 1;
        }
        return 0;
    });
    _close_file(fp);
    return rc != 0 ? 1 : 0;
}

extern "C" int pic_reset_index(const char *data_name, FILE *index)
{
    char path[1024];
    if (!data_name || !index || sd_get_path(data_name, path) != 0)
        return -1;
    const int64_t cap = _get_capacity(index);
    int64_t pos = _tell_file(index);
    if (pos < 0 || cap < 0)
        return -1;
    struct State {
        uint32_t seq = 0, time = 0;
        FILE *index;
        int64_t cap;
        const char *name;
        int rc = 0;
    } st{0, 0, index, cap, data_name, 0};
    // The head is written last (pic_index_seal); an append goes on after the last record.
    if (pos < kIndexHeadSize) {
        pos = kIndexHeadSize;
    } else if (pos >= kIndexHeadSize + PIC_INDEX_RECORD_SIZE) {
        uint8_t slot[PIC_INDEX_RECORD_SIZE];
        if (_seek_file(index, pos - PIC_INDEX_RECORD_SIZE, SEEK_SET, cap) != 0 ||
            _read_file(index, slot, sizeof slot, cap) != 0)
            return -1;
        if (slot_valid(kLayout, slot)) {
            st.seq = slot_seq(kLayout, slot);
            st.time = slot_time(kLayout, slot);
        }
    }
    if (_seek_file(index, pos, SEEK_SET, cap) != 0)
        return -1;
    int err = 0;
    FILE *data = _open_file(path, "rb", &err);
    if (!data)
        return err;
    pic_data_walk(data, _get_capacity(data),
                  [](const PicRecordInfo &r, void *u) {
                      auto *s = static_cast<State *>(u);
                      if (s->rc != 0 || r.del == 1 || r.time <= s->time)
                          return;
                      uint8_t slot[PIC_INDEX_RECORD_SIZE] = {};
                      s->seq = next_seq(s->seq);
                      put_u32(slot, s->seq);
                      put_u32(slot + 4, r.time);
                      store_copy_path(slot + 9, s->name);
                      put_u32(slot + 137, r.offset);
                      slot_seal(kLayout, slot);
                      s->rc = _write_file(s->index, slot, sizeof slot, s->cap);
                      s->time = r.time;
                  },
                  &st);
    _close_file(data);
    return st.rc;
}

extern "C" int pic_index_seal(FILE *index) { return index ? log_seal_file(index, "pic_index") : -1; }

extern "C" int pic_clear_old_data(const char *path) { return path ? log_clear_file(kLayout, path, path) : -1; }
