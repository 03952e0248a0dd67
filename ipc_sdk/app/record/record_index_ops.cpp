#include "record_index_ops.h"

#include "event_index.h"
#include "pic_index.h"
#include "record_index.h"
#include "yvideo.h"

namespace {

uint64_t index_size(int kind, uint32_t fragments)
{
    switch (kind) {
    case SD_KIND_VIDEOI:
        return record_get_defalut_size_bytes(fragments);
    case SD_KIND_EVENT:
        return event_get_defalut_size_bytes(fragments);
    case SD_KIND_PICI:
        return pic_get_defalut_size_bytes(fragments);
    case SD_KIND_YVIDEOI:
        return yvideo_get_defalut_size_bytes(fragments);
    default:
        return 0;
    }
}

int index_clear(int kind, const char *path)
{
    switch (kind) {
    case SD_KIND_VIDEOI:
        return record_clear_old_data(path);
    case SD_KIND_EVENT:
        return event_clear_old_data(path);
    case SD_KIND_PICI:
    case SD_KIND_YVIDEOI: // the custom container's index has the picture index's layout
        return pic_clear_old_data(path);
    default:
        return 0;
    }
}

const sd_index_ops_t kOps = {
    index_size,
    index_clear,
    record_index_init,
    record_index_deinit,
    pic_init,
    pic_deinit,
    event_init,
    event_deinit,
    [](int, const char *name) { return record_index_need_reset(name); },
    [](int, const char *name) { return pic_index_need_reset(name); },
    [](int channel, FILE *index, const sd_file_info_t *f) { return record_reset_index(channel, f->path, index); },
    [](int, FILE *index, const sd_file_info_t *f) { return pic_reset_index(f->path, index); },
    record_del_index_before,
    [](int channel, uint32_t end) { return pic_del_index_before(channel, end); },
    event_del_index_before,
    record_change_file_name,
    pic_change_file_name,
    yvideo_change_file_name,
    [](int kind, FILE *index) {
        return kind == SD_KIND_VIDEOI ? record_index_seal(index) : kind == SD_KIND_PICI ? pic_index_seal(index) : 0;
    },
    yvideo_deinit,
    [](int, const char *name) { return record_blank_deleted(name); },
};

} // namespace

extern "C" const sd_index_ops_t *record_index_ops(void) { return &kOps; }
