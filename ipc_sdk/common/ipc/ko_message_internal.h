// State shared between the message bus's front (registry, queue, push) and its worker pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "common/ipc/ko_message.h"
#include "common/utils/ko_thread.h"

namespace ko_msg {

constexpr const char *kModule = "KO MESSAGE";

// One queued delivery; `param` is the bus's own zero-terminated copy (vexa_malloc'ed).
struct Record {
    uint32_t from_uid = 0;
    uint32_t to_uid = 0;
    char msgkey[KO_MSG_KEY_LEN] = {};
    char *param = nullptr;
    uint32_t len = 0;
    void *user = nullptr;
    uint64_t timeout_ms = 0;
    ko_message_handler handler = nullptr;
};

// The job a worker is running, for the main thread's overrun check.
struct WorkerSlot {
    ko_thread *thread = nullptr; // guarded by the bus mutex
    bool exited = false;         // guarded by the bus mutex: the worker has left its loop
    std::mutex job_lock;
    uint64_t budget_ms = KO_MSG_DEFAULT_TIMEOUT_MS;
    uint64_t start_ms = 0; // monotonic
    uint64_t end_ms = 0;
    bool overrun = false;
    uint32_t from_uid = 0;
    uint32_t to_uid = 0;
    char msgkey[KO_MSG_KEY_LEN] = {};
};

struct Counters {
    std::atomic<uint32_t> asyn_msg{0}, asyn_msg_err{0}, syn_msg{0}, syn_msg_err{0};
    std::atomic<uint32_t> push{0}, push_err{0}, pull{0}, pull_err{0};
    std::atomic<uint32_t> cb_time_max{0}, cb_time_toid{0}, cb_timeout{0}, cb_timeout_toid{0};
    std::atomic<uint32_t> enough{0}, thread_max{0};
};

struct Bus {
    std::mutex lock; // running flag, pool counters, slots' thread handles
    std::condition_variable work_cv;
    std::condition_variable main_cv;
    bool running = false;
    int live = 0;
    int busy = 0;
    int exit_requests = 0;
    ko_thread *main_thread = nullptr;
    WorkerSlot slots[KO_MSG_MAX_WORKERS];
};

extern Bus &g_bus;
extern Counters &g_counters;

// Takes the oldest queued record; false when the queue is empty.
bool queue_pull(Record *out);
// Frees a record's parameter copy.
void record_free(Record *rec);

// The main thread "msg_main": starts with `running` set; ends when it is cleared.
void *main_thread(void *arg);

} // namespace ko_msg
