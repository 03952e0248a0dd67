// What the video, picture and event indexes share around their logs: the per-channel contexts (two at
// most, one per camera), their lookup and lazy opening through the pool, the access-mode word and
// init/deinit.
#pragma once

#include <mutex>

#include "sd_index_log.h"

namespace sd {

struct IndexModule {
    IndexModule(const char *name, int index_kind, IndexLayout l) : who(name), kind(index_kind), layout(l) {}
    const char *who;   // the module's name in log lines
    int kind;          // pool kind of its index file
    IndexLayout layout;
    std::mutex start_lock; // init and deinit
    std::mutex lock;       // the context table
    bool initialised = false;
    int cameras = 1;
    IndexMode mode;
    IndexLog contexts[2];
};

// The channel's context, claiming a free one; NULL (logged) when none fits.
IndexLog *index_context(IndexModule &m, int channel);
// Opens the channel's index file from the pool into the context (lock held).
int index_open_context(IndexModule &m, IndexLog &log);
// The context opened, opening it lazily (lock held): 0 or the open error.
int index_ensure_open(IndexModule &m, IndexLog &log);
// Frees the contexts, asks the pool which channels own an index file and opens their contexts.
int index_module_init(IndexModule &m, int cameras);
// Closes and frees every context under its own lock.
int index_module_deinit(IndexModule &m);
bool index_module_ready(IndexModule &m);

} // namespace sd
