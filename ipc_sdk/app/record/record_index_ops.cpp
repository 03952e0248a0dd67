#include "record_index_ops.h"

#include "event_index.h"
#include "record_index.h"

namespace {

uint64_t index_size(int kind, uint32_t fragments)
{
    switch (kind) {
    case SD_KIND_VIDEOI:
        return record_get_defalut_size_bytes(fragments);
    case SD_KIND_EVENT:
        return event_get_defalut_size_bytes(fragments);
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
    default:
        return 0;
    }
}

const sd_index_ops_t kOps = {
    index_size,
    index_clear,
    record_index_init,
    record_index_deinit,
    nullptr,
    nullptr,
    event_init,
    event_deinit,
    [](int, const char *name) { return record_index_need_reset(name); },
    nullptr,
    [](int channel, FILE *index, const sd_file_info_t *f) { return record_reset_index(channel, f->path, index); },
    nullptr,
    record_del_index_before,
    nullptr,
    event_del_index_before,
    [](int channel, const char *from, const char *to) { return record_change_file_name(channel, from, to); },
    nullptr,
    nullptr,
    [](int kind, FILE *index) { return kind == SD_KIND_VIDEOI ? record_index_seal(index) : 0; },
};

} // namespace

extern "C" const sd_index_ops_t *record_index_ops(void) { return &kOps; }
