// The pool's two threads: "sd_create_files" fills the card with free data files up to the pool's
// size, "sd_delete_video" blanks the periods the indexes queued for deletion.
#include <string.h>

#include <chrono>
#include <thread>

#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "sd_names.h"
#include "sd_pool_internal.h"

namespace sd {

namespace {

constexpr const char *kModule = "sd_pool";
constexpr unsigned kThreadLimitS = 300;
constexpr auto kRetry = std::chrono::milliseconds(10);
constexpr auto kIdle = std::chrono::milliseconds(100);

bool stopping(const Pool &p) { return p.quick_exit || p.stop_create; }

// One more free data file; false when the thread should end.
bool create_one(Pool &p)
{
    uint64_t total = 0, used = 0, free_bytes = 0;
    if (ko_storage_get_capacity(&total, &used, &free_bytes) != 0) {
        if (p.status_cb)
            p.status_cb(SD_ERR_CAPACITY);
        return false;
    }
    if (free_bytes < DATA_FILE_SIZE_BYTES + p.reserved) {
        KO_LOGI(kModule, "%s free bytes is too small. free: %llu, need: %llu \n", __func__,
                static_cast<unsigned long long>(free_bytes),
                static_cast<unsigned long long>(DATA_FILE_SIZE_BYTES + p.reserved));
        return false;
    }
    sd_file_info_t *f = new_file_record();
    if (!f)
        return false;
    for (;;) {
        if (stopping(p)) {
            free_file_record(f);
            return false;
        }
        std::unique_lock<std::recursive_mutex> guard(p.lock, std::try_to_lock);
        if (!guard.owns_lock()) {
            KO_LOGW(kModule, "%s pthread_mutex_trylock1 fail, %d\n", __func__, EBUSY);
            std::this_thread::sleep_for(kRetry);
            continue;
        }
        if (p.files.size() >= p.max) {
            KO_LOGI(kModule, "file_size(%d) over max(%d). \n", static_cast<int>(p.files.size()), static_cast<int>(p.max));
            free_file_record(f);
            return false;
        }
        f->number = take_number(p);
        break;
    }
    snprintf(f->ext, sizeof f->ext, "%s", kind_info(SD_KIND_FREE).ext);
    build_name(*f, f->path, sizeof f->path);
    const int rc = create_file(full_path(f->path), DATA_FILE_SIZE_BYTES);
    if (rc != 0) {
        free_file_record(f);
        if (p.status_cb)
            p.status_cb(rc);
        return false;
    }
    for (;;) {
        std::unique_lock<std::recursive_mutex> guard(p.lock, std::try_to_lock);
        if (guard.owns_lock()) {
            p.files.push_back(f);
            return true;
        }
        if (stopping(p)) {
            // The file exists on the card with its full length: the next init takes it in.
            free_file_record(f);
            return false;
        }
        KO_LOGW(kModule, "%s pthread_mutex_trylock2 fail, %d\n", __func__, EBUSY);
        std::this_thread::sleep_for(kRetry);
    }
}

void *create_files_thread(void *)
{
    Pool &p = pool();
    const uint64_t began = vexa_time_tick_ms();
    while (!stopping(p)) {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, kThreadLimitS);
        if (!create_one(p))
            break;
    }
    uint64_t total = 0, used = 0, free_bytes = 0;
    ko_storage_get_capacity(&total, &used, &free_bytes);
    KO_LOGI(kModule, "%s out, cost: %llu, total: %llu, used: %llu, free: %llu \n", __func__,
            static_cast<unsigned long long>(vexa_time_tick_ms() - began), static_cast<unsigned long long>(total),
            static_cast<unsigned long long>(used), static_cast<unsigned long long>(free_bytes));
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

// Blanks one queued period. Its file is found by its number: closed since the entry was queued, it
// carries another name; open under another name, it was taken for a new recording. A period of the
// file still being written is blanked as well: the writer only writes behind its last complete
// period, and the entry must still name the period on the card.
void delete_one(const std::string &path, const fmp4_index_entry_t &entry)
{
    sd_file_info_t *f = find_numbered_file(path.c_str());
    if (!f) {
        KO_LOGW(kModule, "%s is no longer a pool file; period %u not deleted\n", path.c_str(), entry.start);
        return;
    }
    pthread_mutex_lock(&f->lock);
    const std::string now = full_path(f->path);
    if (now != path && f->end == SD_TIME_OPEN)
        KO_LOGW(kModule, "%s was taken for another recording; period %u not deleted\n", path.c_str(), entry.start);
    else if (fmp4_muxer_fragment_delete_by_index(now.c_str(), &entry) != 0)
        KO_LOGE(kModule, "fmp4 fragment delete fail.\n");
    pthread_mutex_unlock(&f->lock);
}

void *delete_video_thread(void *)
{
    Pool &p = pool();
    while (!p.stop_delete) {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, kThreadLimitS);
        std::string path;
        fmp4_index_entry_t entry;
        if (delete_queue_pop(&path, &entry)) {
            delete_one(path, entry);
        } else {
            std::unique_lock<std::mutex> wait(p.stop_lock);
            p.stop_wake.wait_for(wait, kIdle, [&p] { return p.stop_delete.load(); });
        }
    }
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

ko_thread *start(const char *name, ko_thread_entry entry, uint32_t stack)
{
    ko_thread_attr attr{};
    attr.stack_size = stack;
    snprintf(attr.name, sizeof attr.name, "%s", name);
    return ko_thread_run(&attr, entry, nullptr);
}

} // namespace

int start_threads()
{
    Pool &p = pool();
    p.stop_create = false;
    p.stop_delete = false;
    p.create_thread = start("sd_create_files", create_files_thread, 2 * 1024 * 1024);
    sd_delete_video_queue_reset();
    p.delete_thread = p.create_thread ? start("sd_delete_video", delete_video_thread, 0) : nullptr;
    if (!p.create_thread || !p.delete_thread) {
        stop_threads();
        return SD_ERR_THREAD;
    }
    return 0;
}

void stop_threads()
{
    Pool &p = pool();
    p.stop_create = true;
    ko_thread_destory(p.create_thread);
    p.create_thread = nullptr;
    {
        std::lock_guard<std::mutex> wake(p.stop_lock);
        p.stop_delete = true;
    }
    p.stop_wake.notify_all();
    ko_thread_destory(p.delete_thread);
    p.delete_thread = nullptr;
}

} // namespace sd
