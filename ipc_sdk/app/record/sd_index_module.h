// What the video, picture and event indexes share around their logs: the per-channel contexts (two at
// most, one per camera), their lookup and lazy opening through the pool, the access-mode word and
// init/deinit.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "sd_index_log.h"

namespace sd {

struct IndexModule {
    IndexModule(const char *name, int index_kind, IndexLayout l, bool later = false)
        : who(name), kind(index_kind), layout(l), open_later(later)
    {
    }
    const char *who;   // the module's name in log lines
    int kind;          // pool kind of its index file
    IndexLayout layout;
    // An index file that cannot be opened at init leaves its context without a file, opened by the
    // first add, instead of failing the init.
    bool open_later;
    std::mutex start_lock; // init and deinit
    std::mutex lock;       // the context table
    bool initialised = false;
    int cameras = 1;
    IndexMode mode;
    IndexLog contexts[2];
};

// The channel's context, claiming a free one; NULL (logged) when none fits.
IndexLog *index_context(IndexModule &m, int channel);
// Opens the channel's index file from the pool into the context (lock held); *open_failed as log_open.
int index_open_context(IndexModule &m, IndexLog &log, bool *open_failed = nullptr);
// The context opened, opening it lazily (lock held): 0 or the open error.
int index_ensure_open(IndexModule &m, IndexLog &log);
// Frees the contexts, asks the pool which channels own an index file and opens their contexts, each
// after `before_open` (when given) has run for it under its lock.
int index_module_init(IndexModule &m, int cameras, const std::function<void(IndexLog &log)> &before_open = {});
// Closes and frees every context under its own lock.
int index_module_deinit(IndexModule &m);
bool index_module_ready(IndexModule &m);

// The channel's records before `time` deleted (as the pool asks before it reuses a file).
int index_del_before(IndexModule &m, int channel, uint64_t time);
// What a deletion by time does with a matched live record, decided before the record is marked.
enum class ListedDelete { mark, mark_but_fail, keep_and_fail };
// Every live record whose time is in the ascending list `times` deleted, in one walk, durable before
// it returns; before_delete sees each record first (without one, each is marked). A failure makes
// the result -1.
int index_del_listed(IndexModule &m, int channel, const uint32_t *times, int count,
                     const std::function<ListedDelete(const uint8_t *slot)> &before_delete = {});

// visit(name, real path) for each data file named (name_of) by a run of valid records of the index file
// (pool name) whose delete byte is set or not as `deleted` says: 0, 1 when the file cannot be scanned,
// or visit's nonzero result, which ends the scan.
int index_visit_named_files(const char *index_name, const IndexLayout &l, bool deleted,
                            const std::function<std::string(const uint8_t *slot)> &name_of,
                            const std::function<int(const char *name, const char *path)> &visit);
// 1 when a live record of the index file (pool name) names a data file that is not on the card, or the
// index cannot be scanned; else 0.
int index_named_file_missing(const char *index_name, const IndexLayout &l,
                             const std::function<std::string(const uint8_t *slot)> &name_of);

typedef int (*index_piece_cb)(int channel, uint32_t total, uint32_t remaining, const uint8_t *buf, uint32_t len,
                              void *user);
// Sends the 12-byte head {u32 kind, u32 payload length, u32 0} and the payload in pieces of at most
// `size` bytes, each a whole number of `unit`s of payload: 0 or the callback's nonzero result.
int index_send_pieces(int channel, uint32_t kind, const std::vector<uint8_t> &payload, uint32_t size,
                      uint32_t unit, index_piece_cb cb, void *user);

} // namespace sd
