// The record store's operations. The index context and the data file of a channel share the
// context's recursive lock; a record is read under the lock and sent after it is released.
#include "sd_pic_store.h"

#include <errno.h>
#include <string.h>

#include <vector>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "sd_statistics.h"

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";
constexpr uint32_t kPieceHead = 12; // {kind, length, 0} in front of the first piece
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

int store_init(PicStore &st, int cameras)
{
    const int rc =
        index_module_init(st.index, cameras, [&st](IndexLog &log) { pic_data_open(store_data_of(st, log)); });
    if (rc != 0) {
        for (PicDataFile &df : st.data)
            df.close();
    }
    return rc;
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
    if (!index_module_ready(st.index) || !cb || size <= kPieceHead)
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
