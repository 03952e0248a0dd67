// The thread-liveness registry: one record per long-running SDK thread that reported itself, with its
// state, last report time (monotonic) and limit.
#include "common/report_stat/ko_thread_alive.h"

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "common/utils/ko_time.h"

namespace {

struct AliveRecord {
    pthread_t tid;
    char name[16];
    int state;
    uint64_t last_ms;
    uint64_t limit_ms;
};

struct Registry {
    std::mutex lock;
    std::vector<AliveRecord> records;
};

// Never destroyed: detached SDK threads keep reporting while the process runs its exit handlers.
Registry &registry()
{
    static Registry *instance = new Registry;
    return *instance;
}

} // namespace

void thread_alive_update_status(int state, unsigned limit_s)
{
    const pthread_t self = pthread_self();
    const uint64_t now = vexa_time_tick_ms();
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto it = r.records.begin(); it != r.records.end(); ++it) {
        if (!pthread_equal(it->tid, self))
            continue;
        if (state == THREAD_ALIVE_LEAVING) {
            r.records.erase(it);
        } else {
            it->state = state;
            it->last_ms = now;
        }
        return;
    }
    if (state == THREAD_ALIVE_LEAVING)
        return;
    AliveRecord rec{};
    rec.tid = self;
    if (pthread_getname_np(self, rec.name, sizeof(rec.name)) != 0)
        rec.name[0] = '\0';
    rec.state = state;
    rec.last_ms = now;
    rec.limit_ms = static_cast<uint64_t>(limit_s ? limit_s : static_cast<unsigned>(THREAD_ALIVE_DEFAULT_LIMIT_S)) * 1000u;
    try {
        r.records.push_back(rec);
    } catch (const std::bad_alloc &) {
        // Not watched then; the thread's next report tries again.
    }
}

int thread_alive_check(thread_alive_info *out)
{
    if (!out)
        return -1;
    const uint64_t now = vexa_time_tick_ms();
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (const auto &rec : r.records) {
        if (rec.state == THREAD_ALIVE_RUNNING && now > rec.last_ms && now - rec.last_ms > rec.limit_ms) {
            out->tid = rec.tid;
            std::memcpy(out->name, rec.name, sizeof(out->name));
            return 1;
        }
    }
    return 0;
}
