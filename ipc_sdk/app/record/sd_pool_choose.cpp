// Choosing the pool file for a recording, renaming files, and closing them on a short thread.
#include <errno.h>
#include <string.h>

#include "common/tiny_fmp4/fmp4_box.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "sd_io.h"
#include "sd_names.h"
#include "sd_pool_internal.h"
#include "sd_statistics.h"

namespace sd {

namespace {

constexpr const char *kModule = "sd_pool";

struct FileLock {
    explicit FileLock(sd_file_info_t *f) : f_(f) { pthread_mutex_lock(&f_->lock); }
    ~FileLock() { pthread_mutex_unlock(&f_->lock); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    sd_file_info_t *f_;
};

bool real_time(uint64_t t) { return t != 0 && t != SD_TIME_OPEN && t != SD_TIME_OPEN - 1; }

const char *basename_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void report(int code)
{
    if (pool().status_cb)
        pool().status_cb(code);
}

// Makes a recording that is taken back one "mdat" box over the whole file, durable before the
// rename: its index records are already gone, and a cut before the writer's first write must not
// leave its old periods walkable (or resumable) under the new name.
int blank_head(const sd_file_info_t *f)
{
    FILE *fp = sd_io_fopen(full_path(f->path).c_str(), "rb+");
    if (!fp)
        return _get_system_err(SD_ERR_OPEN, errno);
    uint8_t head[8];
    fmp4::put_box_header(head, static_cast<uint32_t>(DATA_FILE_SIZE_BYTES), "mdat");
    int rc = _write_file(fp, head, sizeof head, static_cast<int64_t>(DATA_FILE_SIZE_BYTES));
    if (rc == 0 && sd_io_sync(fp) != 0)
        rc = _get_system_err(SD_ERR_WRITE, errno);
    const int closed = _close_file(fp);
    return rc != 0 ? rc : closed;
}

// Deletes the index records that point into a file about to be overwritten: a video file's video,
// picture and event records of its channel up to its end, a picture file's pictures only.
int prune_before_reuse(const sd_file_info_t *f)
{
    const sd_index_ops_t &ops = index_ops();
    int rc = 0;
    if (f->kind == SD_KIND_VIDEO) {
        if (ops.record_del_index_before && (rc = ops.record_del_index_before(f->channel, f->end)) != 0) {
            KO_LOGE(kModule, "record_del_index_before fail. %d %llu \n", rc, static_cast<unsigned long long>(f->end));
            return rc;
        }
        if (ops.event_del_index_before && (rc = ops.event_del_index_before(f->channel, f->end)) != 0) {
            KO_LOGE(kModule, "event_del_index_before fail. %d %llu \n", rc, static_cast<unsigned long long>(f->end));
            return rc;
        }
    }
    if (f->kind == SD_KIND_VIDEO || f->kind == SD_KIND_PIC) {
        if (ops.pic_del_index_before &&
            (rc = ops.pic_del_index_before(f->channel, static_cast<uint32_t>(f->end))) != 0) {
            KO_LOGE(kModule, "pic_del_index_before fail. %d %llu \n", rc, static_cast<unsigned long long>(f->end));
            return rc;
        }
    }
    return 0;
}

bool reuse(sd_file_info_t *f, int kind, int channel);

sd_file_info_t *take_data_file(int kind, int channel, int *cover)
{
    Pool &p = pool();
    const int limit = kind == SD_KIND_YVIDEO ? 20 : 10;
    // The indexes open on init's own thread, which holds the choice lock and the pool's lock: there a
    // channel may only resume its open file, as nothing is taken before the pool is up.
    bool opening = false;
    {
        std::lock_guard<std::recursive_mutex> guard(p.lock);
        opening = p.opening_indexes;
    }
    std::unique_lock<std::mutex> choice(p.choice, std::defer_lock);
    if (!opening)
        choice.lock();
    sd_file_info_t *resume = nullptr, *free_file = nullptr, *oldest = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(p.lock);
        if (!p.initialised && !opening)
            return nullptr;
        if (kind == SD_KIND_YVIDEO && p.yvideo_handed >= static_cast<int>(p.yvideo / DATA_FILE_SIZE_BYTES)) {
            KO_LOGW(kModule, "custom video files used up: %d\n", p.yvideo_handed);
            return nullptr;
        }
        for (sd_file_info_t *f : p.files) {
            FileLock lock(f);
            if (f->priority > limit || f->busy)
                continue;
            if (f->kind == kind && f->channel == channel && f->end == SD_TIME_OPEN) {
                resume = f;
                break;
            }
            if (!free_file && f->priority == 0)
                free_file = f;
            // Only closed recordings compete for the oldest: a file that is open belongs to a writer.
            if (!free_file && f->priority > 0 && f->end != SD_TIME_OPEN && (!oldest || f->end < oldest->end))
                oldest = f;
        }
    }
    if (opening && !resume)
        return nullptr;
    sd_file_info_t *f = resume ? resume : free_file ? free_file : oldest;
    if (!f) {
        KO_LOGE(kModule, "no pool file for kind %d channel %d\n", kind, channel);
        return nullptr;
    }
    if (f != resume) {
        // Marked busy, no other taker chooses it; it is prepared outside the choice lock, since the
        // pruning takes index locks under which a picture writer may be waiting for a file itself.
        // Uninit waits until it is done.
        {
            std::lock_guard<std::mutex> status(p.status_lock);
            if (p.closing)
                return nullptr;
            p.taking++;
        }
        {
            FileLock lock(f);
            f->busy = 1;
        }
        choice.unlock();
        const bool ok = reuse(f, kind, channel);
        {
            FileLock lock(f);
            f->busy = 0;
        }
        {
            std::lock_guard<std::mutex> status(p.status_lock);
            p.taking--;
            p.status_done.notify_all();
        }
        if (!ok)
            return nullptr;
    }
    if (kind == SD_KIND_YVIDEO && f != resume) {
        std::lock_guard<std::recursive_mutex> guard(p.lock);
        p.yvideo_handed++;
    }
    *cover = f == resume ? 0 : 1;
    return f;
}

// Takes a free or closed file for a new recording (marked busy by its taker): false when it cannot be.
bool reuse(sd_file_info_t *f, int kind, int channel)
{
    // Busy, the file is neither chosen nor renamed by anyone else. Its lock is not held while its
    // records are deleted: a rename thread takes it under the pool's lock, and a picture writer takes
    // the pool's lock under the picture index's lock, which the deletion waits for.
    sd_file_info_t old{};
    {
        FileLock lock(f);
        copy_fields(&old, *f);
    }
    // The old footage goes first, then the records that point to it, then the name.
    int rc = old.kind == SD_KIND_VIDEO && real_time(old.end) ? blank_head(&old) : 0;
    if (rc == 0 && real_time(old.end)) {
        rc = prune_before_reuse(&old);
        if (rc != 0)
            KO_LOGE(kModule, "_update_file. error = %d \n", rc);
    }
    FileLock lock(f);
    if (rc == 0) {
        delete_queue_drop(full_path(f->path));
        rc = set_file_info(f, kind, channel, now_seconds(), SD_TIME_OPEN);
    }
    if (rc != 0) {
        report(rc);
        return false;
    }
    if (real_time(old.end))
        g_statistics_storage.loop_coverage = true;
    return true;
}

sd_file_info_t *take_index_file(int kind, int channel)
{
    Pool &p = pool();
    std::lock_guard<std::recursive_mutex> guard(p.lock);
    const int slot = index_slot(kind);
    if ((!p.initialised && !p.opening_indexes) || slot < 0)
        return nullptr;
    sd_file_info_t *f = nullptr;
    for (int c = 0; c < p.cameras && !f; c++)
        if (p.index_files[slot][c] && p.index_files[slot][c]->channel == channel)
            f = p.index_files[slot][c];
    for (int c = 0; c < p.cameras && !f; c++)
        if (p.index_files[slot][c] && p.index_files[slot][c]->channel == SD_CHANNEL_NONE)
            f = p.index_files[slot][c];
    if (!f)
        return nullptr;
    FileLock lock(f);
    const uint64_t start = f->start ? f->start : now_seconds();
    if (set_file_info(f, kind, channel, start, start) != 0)
        return nullptr;
    return f;
}

struct StatusJob {
    char name[128];
    int kind;
    int channel;
    uint64_t start;
    uint64_t end;
};

// Every index record naming a closed file's old name gets the new one.
void rename_records(int kind, int channel, const char *from, const char *to)
{
    const sd_index_ops_t &ops = index_ops();
    int (*change)(int, const char *, const char *) = kind == SD_KIND_VIDEO ? ops.record_change_file_name
                                                     : kind == SD_KIND_PIC ? ops.pic_change_file_name
                                                                           : ops.yvideo_change_file_name;
    if (change)
        change(channel, from, to);
}

void *set_file_status_thread(void *arg)
{
    StatusJob *job = static_cast<StatusJob *>(arg);
    const uint64_t began = vexa_time_tick_ms();
    if (sd_file_info_t *f = find_data_file(job->name)) {
        char from[sizeof f->path], to[sizeof f->path];
        {
            FileLock lock(f);
            snprintf(from, sizeof from, "%s", f->path);
            if (set_file_info(f, job->kind, job->channel, job->start, job->end) != 0)
                KO_LOGE(kModule, "_set_file_info fail.\n");
            snprintf(to, sizeof to, "%s", f->path);
        }
        // The records follow outside the file's lock: renaming them takes an index lock, under which a
        // picture writer whose file is full looks through the pool's files for the next one. The file
        // stays busy meanwhile, so no taker chooses it.
        if (strcmp(from, to) != 0 && is_data_kind(job->kind) && real_time(job->end))
            rename_records(job->kind, job->channel, from, to);
        FileLock lock(f);
        f->busy = 0;
    }
    KO_LOGI(kModule, "_set_file_status %s cost %llu ms\n", job->name,
            static_cast<unsigned long long>(vexa_time_tick_ms() - began));
    delete job;
    Pool &p = pool();
    std::lock_guard<std::mutex> status(p.status_lock);
    p.status_threads--;
    p.status_done.notify_all();
    return nullptr;
}

} // namespace

int set_file_info(sd_file_info_t *f, int kind, int channel, uint64_t start, uint64_t end)
{
    sd_file_info_t copy{};
    copy_fields(&copy, *f);
    copy.number = f->number;
    copy.channel = channel;
    copy.start = start;
    copy.end = end;
    if (is_data_kind(kind)) {
        const KindInfo &k = kind_info(kind);
        copy.kind = kind;
        copy.priority = k.priority;
        snprintf(copy.ext, sizeof copy.ext, "%s", k.ext);
    }
    if (!build_name(copy, copy.path, sizeof copy.path))
        return SD_ERR_ARG;
    if (strcmp(copy.path, f->path) != 0) {
        const std::string from = full_path(f->path), to = full_path(copy.path);
        if (sd_io_rename(from.c_str(), to.c_str()) != 0) {
            const int e = errno;
            KO_LOGE(kModule, "rename fail. src(%s) dst(%s) err(%s)\n", f->path, copy.path, strerror(e));
            return _get_system_err(SD_ERR_RENAME, e);
        }
        delete_queue_rename(from, to);
    }
    copy_fields(f, copy);
    return 0;
}

sd_file_info_t *find_data_file(const char *name)
{
    Pool &p = pool();
    const char *base = basename_of(name);
    std::lock_guard<std::recursive_mutex> guard(p.lock);
    for (sd_file_info_t *f : p.files) {
        FileLock lock(f);
        if (strcmp(f->path, base) == 0)
            return f;
    }
    return nullptr;
}

sd_file_info_t *find_numbered_file(const char *name)
{
    sd_file_info_t parsed{};
    if (!parse_name(basename_of(name), &parsed))
        return nullptr;
    Pool &p = pool();
    std::lock_guard<std::recursive_mutex> guard(p.lock);
    for (sd_file_info_t *f : p.files)
        if (f->number == parsed.number)
            return f;
    return nullptr;
}

} // namespace sd

using namespace sd;

extern "C" sd_file_info_t *sd_get_path_and_set_channel(int kind, int channel, int *cover)
{
    if (is_index_kind(kind))
        return take_index_file(kind, channel);
    if (!is_data_kind(kind))
        return nullptr;
    if (!cover) {
        KO_LOGE(kModule, "sd_get_path_and_set_channel cover is NULL \n");
        return nullptr;
    }
    return take_data_file(kind, channel, cover);
}

extern "C" int sd_set_file_status(const char *path, int kind, int channel, uint64_t start, uint64_t end)
{
    if (!path || is_index_kind(kind))
        return -1;
    sd_file_info_t *f = find_data_file(path);
    if (!f)
        return -2;
    Pool &p = pool();
    {
        std::lock_guard<std::mutex> status(p.status_lock);
        if (p.closing)
            return -3;
        p.status_threads++;
    }
    StatusJob *job = new StatusJob{};
    {
        FileLock lock(f);
        f->busy = 1;
        snprintf(job->name, sizeof job->name, "%s", f->path);
    }
    job->kind = kind;
    job->channel = channel;
    job->start = start;
    job->end = end;
    ko_thread_attr attr{};
    attr.detached = 1;
    snprintf(attr.name, sizeof attr.name, "_set_file_status");
    ko_thread *thread = ko_thread_run(&attr, set_file_status_thread, job);
    if (thread) {
        ko_thread_destory(thread); // detached: only the handle is freed
        return 0;
    }
    {
        {
            FileLock lock(f);
            f->busy = 0;
        }
        delete job;
        std::lock_guard<std::mutex> status(p.status_lock);
        p.status_threads--;
        p.status_done.notify_all();
    }
    return -3;
}
