// Every walk runs under the context's recursive lock and restores the write cursor; lists are copied
// under the lock and sent to the caller after it is released, so a slow phone never holds up the
// recorder's period close.
#include "record_index.h"

#include <dirent.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "sd_index_module.h"
#include "sd_names.h"
#include "sd_statistics.h"

namespace sd {
namespace {
constexpr const char *kModule = "KO REC";
constexpr IndexLayout kLayout{RECORD_INDEX_RECORD_SIZE, 140, 8, 7, 0};
static_assert(RECORD_INDEX_RECORD_SIZE == 12 + 128 + 4, "record layout");

IndexModule g_video{"record_index", SD_KIND_VIDEOI, kLayout};

using Lock = std::lock_guard<std::recursive_mutex>;

void copy_name(char *out, const char *name)
{
    memset(out, 0, 128);
    if (name)
        strncpy(out, name, 127);
}

// Visits the newest run of valid records naming `name`, newest first, from the cursor backwards (the
// records of the file being written, or just closed, are the newest); visit(slot, offset) may rewrite
// the slot and returns nonzero to stop with that result. The cursor is restored.
template <typename Visit> int walk_back_named(IndexLog &log, const char *name, Visit visit)
{
    CursorGuard cursor(log);
    char field[128];
    copy_name(field, name);
    uint8_t slot[RECORD_INDEX_RECORD_SIZE];
    int64_t off = cursor.saved();
    const int64_t slots = (log.capacity - kIndexHeadSize) / kLayout.slot;
    for (int64_t n = 0; n < slots; n++) {
        off = log_prev(log, kLayout, off);
        int rc = log_read_at(log, kLayout, g_video.mode, off, slot);
        if (rc != 0)
            return rc;
        if (!slot_valid(kLayout, slot) || memcmp(slot + 12, field, 128) != 0)
            return 0;
        if ((rc = visit(slot, off)) != 0)
            return rc;
        if (slot_seq(kLayout, slot) <= 1)
            return 0;
    }
    return 0;
}

// fn(log) on the channel's video index under its lock: fn's result; -5 without the module or a
// context for the channel, `closed` when its file is not open.
template <typename Fn> int on_open_log(int channel, int closed, Fn fn)
{
    if (!index_module_ready(g_video))
        return -5;
    IndexLog *log = index_context(g_video, channel);
    if (!log)
        return -5;
    Lock guard(log->lock);
    return log->file ? fn(*log) : closed;
}

// The real path of the recording a record names. A file closed with its times is renamed before its
// records are: its path is then that of the card's recording with the same pool number. The card is
// looked at, not the pool: the pool's lock is not taken under an index lock, which its uninit waits for.
bool recording_path(const char *name, char path[1024])
{
    sd_file_info_t wanted{};
    if (sd_get_path(name, path) != 0)
        return false;
    if (access(path, F_OK) == 0 || !parse_name(name, &wanted))
        return true;
    DIR *dir = opendir(sd_get_base_path());
    bool found = false;
    while (dirent *e = dir && !found ? readdir(dir) : nullptr) {
        sd_file_info_t f{};
        found = parse_name(e->d_name, &f) && f.kind == wanted.kind && f.number == wanted.number &&
                sd_get_path(e->d_name, path) == 0;
    }
    if (dir)
        closedir(dir);
    return true;
}

// Deletes the fragments of one recording file at their start times, keeping the reader open while
// consecutive records name the same file. The entry's deleted mark is durable in the file before the
// record goes, so that no rebuild lists the period again; the pool's queue then blanks it.
class FragmentDeleter {
public:
    ~FragmentDeleter() { close(); }
    ListedDelete remove(const char *name, uint32_t time)
    {
        if (!open(name))
            return ListedDelete::mark;
        const fmp4_index_entry_t *entries = nullptr;
        uint32_t bytes = 0;
        if (fmp4_demuxer_read_fileinfo(demuxer_, &entries, &bytes) != 0 || !entries) {
            KO_LOGE(kModule, "delete fragment timestamp:%u failed: demuxer %s fail.\n", time, path_);
            return ListedDelete::mark;
        }
        const uint32_t n = bytes / FMP4_INDEX_ENTRY_SIZE;
        for (uint32_t i = 0; i < n; i++) {
            if (entries[i].start != time)
                continue;
            if (entries[i].flags & FMP4_INDEX_DELETED) {
                KO_LOGI(kModule, "fragment timestamp:%u, duration:%u is already deleted!\n", time,
                        entries[i].duration);
                continue;
            }
            fmp4_index_entry_t copy = entries[i];
            copy.flags |= FMP4_INDEX_DELETED;
            bool marked = fmp4_muxer_fragment_mark_deleted(path_, &copy) == 0;
            if (!marked && found_renamed())
                marked = fmp4_muxer_fragment_mark_deleted(path_, &copy) == 0;
            if (!marked) {
                KO_LOGE(kModule, "fmp4 fragment delete fail.\n");
                return ListedDelete::keep_and_fail;
            }
            if (sd_delete_video_queue_push(path_, &copy) != 0)
                KO_LOGE(kModule, "fmp4 fragment delete fail.\n");
            return ListedDelete::mark;
        }
        KO_LOGE(kModule, "not find fragment timestamp:%u, filepath:%s, index count:%d\n", time, path_,
                static_cast<int>(n));
        return ListedDelete::mark_but_fail;
    }

private:
    bool open(const char *name)
    {
        if (demuxer_ && name_ == name)
            return true;
        close();
        if (!recording_path(name, path_)) {
            KO_LOGE(kModule, "sd_get_path fail, path:%s.\n", name);
            return false;
        }
        name_ = name;
        demuxer_ = fmp4_demuxer_open(path_);
        if (!demuxer_ && found_renamed())
            demuxer_ = fmp4_demuxer_open(path_);
        if (!demuxer_)
            KO_LOGE(kModule, "delete fragment failed: demuxer %s fail.\n", path_);
        return demuxer_ != nullptr;
    }
    // A file closed since its record was read (or since the reader opened it) was renamed at its
    // close: path_ is pointed at it again.
    bool found_renamed() { return access(path_, F_OK) != 0 && recording_path(name_.c_str(), path_); }
    void close()
    {
        if (demuxer_)
            fmp4_demuxer_close(demuxer_);
        demuxer_ = nullptr;
    }
    fmp4_demuxer_t *demuxer_ = nullptr;
    std::string name_;
    char path_[1024] = {};
};

std::string record_name(const uint8_t *slot)
{
    return decode_record(slot).name;
}
} // namespace

void encode_record(const record_index_record_t &r, uint8_t out[RECORD_INDEX_RECORD_SIZE])
{
    put_u32(out, r.time);
    out[4] = r.duration;
    out[5] = r.motion;
    out[6] = r.extra;
    out[7] = r.del;
    put_u32(out + 8, r.seq);
    memcpy(out + 12, r.name, 128);
    put_u32(out + 140, r.crc);
}

record_index_record_t decode_record(const uint8_t in[RECORD_INDEX_RECORD_SIZE])
{
    record_index_record_t r{};
    r.time = get_u32(in);
    r.duration = in[4];
    r.motion = in[5];
    r.extra = in[6];
    r.del = in[7];
    r.seq = get_u32(in + 8);
    memcpy(r.name, in + 12, 128);
    r.name[127] = 0;
    r.crc = get_u32(in + 140);
    return r;
}

} // namespace sd

using namespace sd;

extern "C" int record_index_init(int cameras) { return index_module_init(g_video, cameras); }

extern "C" int record_index_deinit(void) { return index_module_deinit(g_video); }

extern "C" uint64_t record_get_defalut_size_bytes(uint32_t fragments)
{
    return kIndexHeadSize + static_cast<uint64_t>(RECORD_INDEX_RECORD_SIZE) * fragments;
}

extern "C" int record_add_index(int channel, const record_index_entry_t *entry, const char *file_name)
{
    if (!index_module_ready(g_video) || !entry || !file_name)
        return -1;
    if (entry->time <= kIndexMinTime) {
        KO_LOGE(kModule, "err timestamp=%u\n", entry->time);
        g_statistics_storage.index_update_err++;
        return -1;
    }
    IndexLog *log = index_context(g_video, channel);
    if (!log)
        return -2;
    Lock guard(log->lock);
    if (index_ensure_open(g_video, *log) != 0) {
        g_statistics_storage.index_add_err++;
        return -4;
    }
    record_index_record_t r{};
    r.time = entry->time;
    r.duration = entry->duration;
    r.motion = entry->motion;
    r.extra = entry->extra;
    r.del = 0;
    copy_name(r.name, file_name);
    uint8_t slot[RECORD_INDEX_RECORD_SIZE];
    encode_record(r, slot);
    if (log_append(*log, kLayout, g_video.mode, slot) != 0) {
        KO_LOGE(kModule, "_add_index fail. file=%s\n", log->name.c_str());
        g_statistics_storage.index_add_err++;
        return -5;
    }
    return 0;
}

extern "C" int record_find_record_info(int channel, uint64_t time, record_index_record_t *out, uint8_t next)
{
    if (!index_module_ready(g_video)) {
        KO_LOGE(kModule, "not init\n");
        return 0;
    }
    IndexLog *log = out ? index_context(g_video, channel) : nullptr;
    if (!log) {
        g_statistics_storage.index_query_err++;
        return 0;
    }
    Lock guard(log->lock);
    if (!log->file || log->valid_count == 0)
        return 0;
    CursorGuard cursor(*log);
    bool matched = false, found = false;
    uint8_t answer[RECORD_INDEX_RECORD_SIZE];
    log_walk(*log, kLayout, g_video.mode, [&](uint8_t *slot, int64_t) {
        const uint32_t t = slot_time(kLayout, slot);
        if (matched) {
            if (slot_deleted(kLayout, slot))
                return Walk::Next;
            memcpy(answer, slot, sizeof answer);
            found = true;
            return Walk::Stop;
        }
        if (t > time) {
            KO_LOGI(kModule, "record find timestamp fail.exp: %d, get: %d\n", static_cast<int>(time),
                    static_cast<int>(t));
            return Walk::Stop;
        }
        if (t < time)
            return Walk::Next;
        if (next) {
            matched = true;
            return Walk::Next;
        }
        memcpy(answer, slot, sizeof answer);
        found = true;
        return Walk::Stop;
    });
    if (!found || !log_live(*log, kLayout, answer))
        return 0;
    *out = decode_record(answer);
    return 1;
}

extern "C" int record_get_index_all(int channel, record_list_cb cb, uint32_t size, void *user)
{
    if (!index_module_ready(g_video))
        return -2;
    if (size < RECORD_LIST_HEAD_SIZE) {
        KO_LOGE(kModule, "size is too small, must >: %d!\n", RECORD_LIST_HEAD_SIZE);
        return -3;
    }
    IndexLog *log = index_context(g_video, channel);
    if (!log || !cb)
        return -5;
    const uint64_t t0 = vexa_time_tick_ms();
    std::vector<uint8_t> entries;
    {
        Lock guard(log->lock);
        if (!log->file || log->valid_count == 0) {
            KO_LOGE(kModule, "valid_count is %d!\n", static_cast<int>(log->valid_count));
            return -6;
        }
        CursorGuard cursor(*log);
        entries.reserve(static_cast<size_t>(log->valid_count) * RECORD_INDEX_ENTRY_SIZE);
        const int rc = log_walk(*log, kLayout, g_video.mode, [&](uint8_t *slot, int64_t) {
            if (!slot_deleted(kLayout, slot))
                entries.insert(entries.end(), slot, slot + RECORD_INDEX_ENTRY_SIZE);
            return Walk::Next;
        });
        if (rc != 0) {
            KO_LOGE(kModule, "_get_info_all fail\n");
            return -2;
        }
    }
    const int rc = index_send_pieces(channel, 6, entries, size, RECORD_INDEX_ENTRY_SIZE, cb, user);
    KO_LOGI(kModule, "%s out,  cost: %llu ms\n", __func__,
            static_cast<unsigned long long>(vexa_time_tick_ms() - t0));
    return rc;
}

extern "C" int record_del_index_before(int channel, uint64_t time)
{
    return index_del_before(g_video, channel, time);
}

extern "C" int record_del_index(int channel, const uint32_t *times, int count)
{
    FragmentDeleter fragments;
    return index_del_listed(g_video, channel, times, count, [&](const uint8_t *slot) {
        const record_index_record_t r = decode_record(slot);
        return fragments.remove(r.name, r.time);
    });
}

extern "C" int record_change_file_name(int channel, const char *old_name, const char *new_name)
{
    if (!old_name || !new_name)
        return -5;
    return on_open_log(channel, -1111, [&](IndexLog &log) {
        const uint64_t t0 = vexa_time_tick_ms();
        int rc = walk_back_named(log, old_name, [&](uint8_t *slot, int64_t off) {
            copy_name(reinterpret_cast<char *>(slot + 12), new_name);
            slot_seal(kLayout, slot);
            const int wrc = log_write_at(log, kLayout, g_video.mode, off, slot);
            if (wrc == 0)
                KO_LOGI(kModule, "%d rename %s -> %s, channel = %d\n", static_cast<int>(slot_seq(kLayout, slot)),
                        old_name, new_name, channel);
            return wrc;
        });
        if (fflush(log.file) != 0 && rc == 0)
            rc = _get_system_err(SD_ERR_WRITE, errno);
        KO_LOGI(kModule, "%s out, cost:%llu ms\n", "record_change_file_name",
                static_cast<unsigned long long>(vexa_time_tick_ms() - t0));
        return rc;
    });
}

extern "C" int record_get_deleted_times(int channel, const char *name, uint32_t *times, int max)
{
    if (!name || !times || max <= 0)
        return -5;
    return on_open_log(channel, 0, [&](IndexLog &log) {
        int n = 0;
        const int rc = walk_back_named(log, name, [&](uint8_t *slot, int64_t) {
            if (slot_deleted(kLayout, slot) && n < max)
                times[n++] = slot_time(kLayout, slot);
            return 0;
        });
        return rc != 0 ? rc : n;
    });
}

extern "C" int record_index_need_reset(const char *index_name)
{
    return index_named_file_missing(index_name, kLayout, record_name);
}

extern "C" int record_blank_deleted(const char *index_name)
{
    std::vector<std::string> files;
    index_visit_named_files(index_name, kLayout, true, record_name, [&files](const char *, const char *file) {
        if (access(file, F_OK) == 0 && std::find(files.begin(), files.end(), file) == files.end())
            files.emplace_back(file);
        return 0;
    });
    int rc = 0;
    for (const std::string &file : files)
        if (fmp4_muxer_fragment_blank_deleted(file.c_str()) < 0)
            rc = -1;
    return rc;
}

extern "C" int record_reset_index(int, const char *file_name, FILE *index)
{
    if (!file_name || !index)
        return -1;
    const uint64_t t0 = vexa_time_tick_ms();
    const int64_t cap = _get_capacity(index);
    int64_t pos = _tell_file(index);
    if (pos < 0 || cap < 0)
        return static_cast<int>(pos < 0 ? pos : cap);
    uint32_t last = 0;
    // The head is written last (record_index_seal), so a rebuild cut short leaves no index to trust.
    if (pos < kIndexHeadSize) {
        pos = kIndexHeadSize;
    } else if (pos >= kIndexHeadSize + RECORD_INDEX_RECORD_SIZE) {
        uint8_t slot[RECORD_INDEX_RECORD_SIZE];
        int rc = _seek_file(index, pos - RECORD_INDEX_RECORD_SIZE, SEEK_SET, cap);
        if (rc == 0)
            rc = _read_file(index, slot, sizeof slot, cap);
        if (rc != 0)
            return rc;
        if (slot_valid(kLayout, slot))
            last = slot_seq(kLayout, slot);
    }
    int rc = _seek_file(index, pos, SEEK_SET, cap);
    if (rc != 0)
        return rc;
    char path[1024];
    if (sd_get_path(file_name, path) != 0)
        return -1;
    fmp4_demuxer_t *demuxer = fmp4_demuxer_open(path);
    if (!demuxer) {
        // A file taken for a recording whose head is not written yet holds nothing to list; failing
        // here would leave every other file unlisted.
        KO_LOGE(kModule, "%s fmp4_demuxer_open fail, nothing of it listed\n", file_name);
        return 0;
    }
    const fmp4_index_entry_t *entries = nullptr;
    uint32_t bytes = 0;
    if (fmp4_demuxer_read_fileinfo(demuxer, &entries, &bytes) != 0 || !entries) {
        KO_LOGE(kModule, "%s fmp4_demuxer_read_fileinfo fail \n", file_name);
        bytes = 0;
    }
    const uint32_t n = bytes / FMP4_INDEX_ENTRY_SIZE;
    KO_LOGI(kModule, "%s len: %d, count: %d\n", file_name, static_cast<int>(bytes), static_cast<int>(n));
    bool deleted = false;
    for (uint32_t i = 0; i < n && rc == 0; i++) {
        const fmp4_index_entry_t &e = entries[i];
        deleted = deleted || (e.flags & FMP4_INDEX_DELETED);
        if ((e.flags & FMP4_INDEX_DELETED) || e.duration == 0 || e.start <= kIndexMinTime)
            continue;
        record_index_record_t r{};
        r.time = e.start;
        r.duration = e.duration;
        r.motion = e.motion;
        r.extra = e.extra;
        last = next_seq(last);
        r.seq = last;
        copy_name(r.name, file_name);
        uint8_t slot[RECORD_INDEX_RECORD_SIZE];
        encode_record(r, slot);
        slot_seal(kLayout, slot);
        rc = _write_file(index, slot, sizeof slot, cap);
    }
    fmp4_demuxer_close(demuxer);
    // A deletion whose blanking a power cut or a stop lost leaves its footage behind its mark.
    if (deleted && fmp4_muxer_fragment_blank_deleted(path) < 0)
        KO_LOGE(kModule, "%s deleted periods not blanked\n", file_name);
    KO_LOGI(kModule, "%s out, cost: %llu ms\n", file_name,
            static_cast<unsigned long long>(vexa_time_tick_ms() - t0));
    return rc;
}

extern "C" int record_index_seal(FILE *index) { return index ? log_seal_file(index, "record_index") : -1; }

extern "C" int record_clear_old_data(const char *path)
{
    return path ? log_clear_file(kLayout, path, path) : -1;
}
