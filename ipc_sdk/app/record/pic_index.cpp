// The picture store is the record store of the picture kinds; rebuilding its index from the data
// files and checking it at start-up are its own.
#include "pic_index.h"

#include <string.h>

#include <memory>
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

} // namespace
} // namespace sd

using namespace sd;

extern "C" int pic_init(int cameras) { return store_init(g_pic, cameras); }

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
    return index_named_file_missing(index_name, kLayout, store_path_of);
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
