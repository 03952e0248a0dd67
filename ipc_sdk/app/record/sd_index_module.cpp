#include "sd_index_module.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "common/utils/ko_log.h"
#include "sd_io.h"

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";
}

IndexLog *index_context(IndexModule &m, int channel)
{
    std::lock_guard<std::mutex> guard(m.lock);
    const int n = m.cameras == 2 ? 2 : 1;
    for (int i = 0; i < n; i++)
        if (m.contexts[i].channel == channel)
            return &m.contexts[i];
    for (int i = 0; i < n; i++) {
        if (m.contexts[i].channel == SD_CHANNEL_NONE) {
            m.contexts[i].channel = channel;
            return &m.contexts[i];
        }
    }
    KO_LOGE(kModule, "_get_context fail, channel=%u, [%d, %d]\n", static_cast<unsigned>(channel),
            m.contexts[0].channel, m.contexts[1].channel);
    return nullptr;
}

int index_open_context(IndexModule &m, IndexLog &log, bool *open_failed)
{
    sd_file_info_t *f = sd_get_path_and_set_channel(m.kind, log.channel, nullptr);
    if (!f) {
        KO_LOGE(kModule, "sd_get_path_and_set_channel fail. file=%s\n", m.who);
        return -1;
    }
    char path[1024];
    if (sd_get_path(f->path, path) != 0) {
        KO_LOGE(kModule, "sd_get_path fail. file=%s\n", f->path);
        return -2;
    }
    log.name = f->path;
    const int rc = log_open(log, m.layout, m.mode, path, m.who, open_failed);
    if (rc != 0)
        log.name.clear();
    return rc;
}

int index_ensure_open(IndexModule &m, IndexLog &log)
{
    if (log.file)
        return 0;
    const int rc = index_open_context(m, log);
    if (rc != 0)
        KO_LOGE(kModule, "_init_context fail. file=%s\n", log.name.c_str());
    return rc;
}

bool index_module_ready(IndexModule &m)
{
    std::lock_guard<std::mutex> guard(m.start_lock);
    return m.initialised;
}

int index_module_init(IndexModule &m, int cameras, const std::function<void(IndexLog &log)> &before_open)
{
    std::lock_guard<std::mutex> start(m.start_lock);
    if (m.initialised)
        return 0;
    m.cameras = cameras == 2 ? 2 : 1;
    for (IndexLog &log : m.contexts) {
        std::lock_guard<std::recursive_mutex> guard(log.lock);
        log.reset();
    }
    int channels[2] = {SD_CHANNEL_NONE, SD_CHANNEL_NONE};
    if (sd_get_exist_channel(m.kind, channels, 2) == 0) {
        for (int i = 0; i < m.cameras; i++) {
            if (channels[i] == SD_CHANNEL_NONE)
                continue;
            IndexLog *log = index_context(m, channels[i]);
            if (!log)
                continue;
            std::lock_guard<std::recursive_mutex> guard(log->lock);
            if (before_open)
                before_open(*log);
            bool open_failed = false;
            const int rc = index_open_context(m, *log, &open_failed);
            if (rc != 0 && open_failed && m.open_later)
                continue;
            if (rc != 0) {
                KO_LOGE(kModule, "%s _init_context fail\n", m.who);
                for (IndexLog &l : m.contexts) {
                    std::lock_guard<std::recursive_mutex> g(l.lock);
                    l.reset();
                }
                return rc;
            }
        }
    }
    m.initialised = true;
    return 0;
}

int index_module_deinit(IndexModule &m)
{
    std::lock_guard<std::mutex> start(m.start_lock);
    if (!m.initialised) {
        KO_LOGI(kModule, "%s not init \n", m.who);
        return 0;
    }
    m.initialised = false;
    std::lock_guard<std::mutex> table(m.lock);
    for (IndexLog &log : m.contexts) {
        std::lock_guard<std::recursive_mutex> guard(log.lock);
        log.reset();
    }
    return 0;
}

int index_del_before(IndexModule &m, int channel, uint64_t time)
{
    if (!index_module_ready(m))
        return -1;
    IndexLog *log = index_context(m, channel);
    if (!log)
        return -1;
    std::lock_guard<std::recursive_mutex> guard(log->lock);
    return log->file ? log_del_before(*log, m.layout, m.mode, time) : 0;
}

int index_del_listed(IndexModule &m, int channel, const uint32_t *times, int count,
                     const std::function<ListedDelete(const uint8_t *slot)> &before_delete)
{
    if (!index_module_ready(m) || (!times && count > 0))
        return -1;
    IndexLog *log = index_context(m, channel);
    if (!log)
        return -1;
    std::lock_guard<std::recursive_mutex> guard(log->lock);
    if (!log->file || count <= 0)
        return 0;
    const IndexLayout &l = m.layout;
    CursorGuard cursor(*log);
    int i = 0, err = 0, result = 0;
    bool deleted = false;
    const int rc = log_walk(*log, l, m.mode, [&](uint8_t *slot, int64_t off) {
        const uint32_t t = slot_time(l, slot);
        while (i < count && times[i] < t)
            KO_LOGW(kModule, "not find fragment timestamp:%u\n", times[i++]);
        if (i == count)
            return Walk::Stop;
        if (t < times[i] || slot_deleted(l, slot))
            return Walk::Next;
        const ListedDelete verdict = before_delete ? before_delete(slot) : ListedDelete::mark;
        if (verdict != ListedDelete::mark)
            result = -1;
        if (verdict == ListedDelete::keep_and_fail)
            return Walk::Next;
        slot[l.delete_off] = 1;
        slot_seal(l, slot);
        if ((err = log_write_at(*log, l, m.mode, off, slot)) != 0)
            return Walk::Stop;
        log->valid_count--;
        deleted = true;
        return Walk::Next;
    });
    // The phone is answered once this returns: a deleted record must not come back after a power cut.
    if ((deleted ? sd_io_sync(log->file) : fflush(log->file)) != 0 && err == 0)
        err = _get_system_err(SD_ERR_WRITE, errno);
    return rc != 0 ? rc : err != 0 ? err : result;
}

int index_visit_named_files(const char *index_name, const IndexLayout &l, bool deleted,
                            const std::function<std::string(const uint8_t *slot)> &name_of,
                            const std::function<int(const char *name, const char *path)> &visit)
{
    char path[1024];
    if (!index_name || sd_get_path(index_name, path) != 0)
        return 1;
    int err = 0;
    FILE *fp = _open_file(path, "rb", &err);
    if (!fp)
        return 1;
    std::string previous;
    const int rc = log_scan_file(fp, l, [&](const uint8_t *slot) {
        if (slot_deleted(l, slot) != deleted)
            return 0;
        const std::string name = name_of(slot);
        if (previous == name)
            return 0;
        previous = name;
        char file[1024];
        return sd_get_path(name.c_str(), file) != 0 ? 1 : visit(name.c_str(), file);
    });
    _close_file(fp);
    return rc;
}

int index_named_file_missing(const char *index_name, const IndexLayout &l,
                             const std::function<std::string(const uint8_t *slot)> &name_of)
{
    const int rc = index_visit_named_files(index_name, l, false, name_of, [](const char *name, const char *file) {
        if (access(file, F_OK) == 0)
            return 0;
        KO_LOGW(kModule, "%s path is not exist \n", name);
        return 1;
    });
    return rc != 0 ? 1 : 0;
}

int index_send_pieces(int channel, uint32_t kind, const std::vector<uint8_t> &payload, uint32_t size,
                      uint32_t unit, index_piece_cb cb, void *user)
{
    constexpr uint32_t kHead = 12;
    if (size < kHead + unit)
        return -3;
    const uint32_t total = static_cast<uint32_t>(payload.size()) + kHead;
    std::vector<uint8_t> buf(size);
    put_u32(buf.data(), kind);
    put_u32(buf.data() + 4, static_cast<uint32_t>(payload.size()));
    put_u32(buf.data() + 8, 0);
    size_t used = kHead, taken = 0;
    uint32_t remaining = total;
    do {
        const size_t n = std::min((size - used) / unit * unit, payload.size() - taken);
        memcpy(buf.data() + used, payload.data() + taken, n);
        taken += n;
        used += n;
        remaining -= static_cast<uint32_t>(used);
        const int rc = cb(channel, total, remaining, buf.data(), static_cast<uint32_t>(used), user);
        if (rc != 0) {
            KO_LOGE(kModule, "callback fail. ret: %d\n", rc);
            return rc;
        }
        used = 0;
    } while (taken < payload.size());
    return 0;
}

} // namespace sd
