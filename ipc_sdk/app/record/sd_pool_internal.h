// The pool's one instance and the helpers its files share. Lock order: choice lock, then the pool
// mutex, then a file record's lock. The picture store takes a data file under its index lock, so no
// index lock is taken under the choice lock: a file taken back is pruned after the choice.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/utils/ko_thread.h"
#include "sd_index_ops.h"
#include "sd_pool.h"

namespace sd {

// Index kinds in the order of the per-kind arrays.
constexpr int kIndexKinds[] = {SD_KIND_EVENT, SD_KIND_PICI, SD_KIND_VIDEOI, SD_KIND_YVIDEOI};
constexpr int kMaxCameras = 2;

struct Pool {
    std::mutex choice;          // one choice of a data file at a time
    std::recursive_mutex lock;  // init, uninit, format check and the file array
    std::string base;           // real path of the card's base directory
    int cameras = 0;
    uint64_t reserved = 0, min = 0, yvideo = 0;
    sd_status_cb status_cb = nullptr;
    std::vector<sd_file_info_t *> files; // data files in pool order
    size_t max = 0;
    sd_file_info_t *index_files[4][kMaxCameras] = {}; // by kIndexKinds position
    uint32_t fragments = 0;
    int yvideo_handed = 0;
    int next_number = 0;
    bool initialised = false;
    bool opening_indexes = false; // the indexes open their files while init runs
    std::atomic<bool> quick_exit{false};
    std::atomic<bool> stop_create{false};
    std::atomic<bool> stop_delete{false};
    std::mutex stop_lock; // wakes the idle deletion thread at once when it must stop
    std::condition_variable stop_wake;
    ko_thread *create_thread = nullptr;
    ko_thread *delete_thread = nullptr;
    void (*free_playback)(void) = nullptr;

    // The "_set_file_status" threads still running and the files being taken outside the choice
    // lock; uninit waits for both.
    std::mutex status_lock;
    std::condition_variable status_done;
    int status_threads = 0;
    int taking = 0;
    bool closing = false;
};

Pool &pool();
const sd_index_ops_t &index_ops();

int index_slot(int kind); // position in kIndexKinds, or -1
uint64_t now_seconds();

sd_file_info_t *new_file_record();
void free_file_record(sd_file_info_t *f);
// What a rename changes: everything but the number (which the creation thread reads under the pool
// mutex alone), the busy flag and the lock.
void copy_fields(sd_file_info_t *to, const sd_file_info_t &from);
sd_file_info_t *record_of(const sd_file_info_t &fields);
std::string full_path(const char *name);
// The smallest number from the last one given that no pool file carries (pool mutex held).
int take_number(Pool &p);

// Reserves size bytes for a new file (real path).
int create_file(const std::string &path, uint64_t size);
// Renames the record's file for the new channel, times and (for data kinds) kind; the index records
// that name it are the caller's to rename, outside the file's lock. Called with the file's lock held.
int set_file_info(sd_file_info_t *f, int kind, int channel, uint64_t start, uint64_t end);
// The data file whose name (or real path) is `name`, or null. Takes the pool mutex.
sd_file_info_t *find_data_file(const char *name);
// The data file with the number that `name` (or a real path) carries, whatever its name is now (a
// closed file was renamed with its times), or null. Takes the pool mutex.
sd_file_info_t *find_numbered_file(const char *name);

int start_threads();
void stop_threads();

// Delete-queue helpers for the deletion thread and the choice.
bool delete_queue_pop(std::string *path, fmp4_index_entry_t *entry);
void delete_queue_drop(const std::string &path);
// The periods queued for a file that was renamed stay queued under its new name.
void delete_queue_rename(const std::string &from, const std::string &to);

} // namespace sd
