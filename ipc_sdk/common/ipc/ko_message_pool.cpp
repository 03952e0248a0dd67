// The message bus's workers and their supervisor "msg_main": workers run queued handlers; every 30 ms
// the supervisor reaps ended workers, reports overrunning handlers, and grows or shrinks the pool.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/ipc/ko_message_internal.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_msg {

namespace {

constexpr auto kTick = std::chrono::milliseconds(30);
constexpr int kWarnTicks = 101;
constexpr uint32_t kWorkerStack = 512 * 1024;

unsigned long tid_of(const ko_thread *t)
{
    return t ? static_cast<unsigned long>(t->tid) : 0;
}

void reset_job(WorkerSlot &slot)
{
    std::lock_guard<std::mutex> guard(slot.job_lock);
    slot.budget_ms = KO_MSG_DEFAULT_TIMEOUT_MS;
    slot.start_ms = 0;
    slot.end_ms = 0;
    slot.overrun = false;
    slot.from_uid = 0;
    slot.to_uid = 0;
    slot.msgkey[0] = '\0';
}

// Leaves the worker loop; the caller holds the bus lock.
void *leave(WorkerSlot &slot)
{
    --g_bus.live;
    slot.exited = true;
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

void run(WorkerSlot &slot, Record &rec)
{
    {
        std::lock_guard<std::mutex> guard(slot.job_lock);
        slot.budget_ms = rec.timeout_ms ? rec.timeout_ms : static_cast<uint64_t>(KO_MSG_DEFAULT_TIMEOUT_MS);
        slot.start_ms = vexa_time_tick_ms();
        slot.end_ms = 0;
        slot.overrun = false;
        slot.from_uid = rec.from_uid;
        slot.to_uid = rec.to_uid;
        std::memcpy(slot.msgkey, rec.msgkey, sizeof(slot.msgkey));
    }
    if (rec.handler && rec.param) {
        ko_message_arg arg{rec.from_uid, rec.msgkey, rec.param, rec.len, rec.user};
        rec.handler(&arg);
    }
    const uint64_t end = vexa_time_tick_ms();
    uint64_t start = 0;
    {
        std::lock_guard<std::mutex> guard(slot.job_lock);
        slot.end_ms = end > slot.start_ms ? end : slot.start_ms + 1;
        start = slot.start_ms;
    }
    const uint32_t cost = static_cast<uint32_t>(end - start);
    uint32_t best = g_counters.cb_time_max.load();
    while (cost > best) {
        if (g_counters.cb_time_max.compare_exchange_weak(best, cost)) {
            g_counters.cb_time_toid = rec.to_uid;
            KO_LOGW(kModule, "fromid:%u.toid:%u,key:%s,cost_ms:%u\n", rec.from_uid, rec.to_uid, rec.msgkey, cost);
            break;
        }
    }
    record_free(&rec);
}

void *worker(void *arg)
{
    const int index = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    WorkerSlot &slot = g_bus.slots[index];
    const unsigned long self = static_cast<unsigned long>(pthread_self());
    char name[16] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    for (;;) {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 0);
        reset_job(slot);
        Record rec;
        {
            std::unique_lock<std::mutex> lock(g_bus.lock);
            bool took = false;
            while (g_bus.running) {
                if (g_bus.exit_requests > 0) {
                    --g_bus.exit_requests;
                    if (g_bus.live > KO_MSG_MIN_WORKERS) {
                        KO_LOGI(kModule, "thread 0x%lx (%s) (%d) (%d) is exiting \n", self, name, g_bus.live,
                                g_bus.busy);
                        return leave(slot);
                    }
                }
                if (queue_pull(&rec)) {
                    took = true;
                    break;
                }
                thread_alive_update_status(THREAD_ALIVE_WAITING, 0);
                g_bus.work_cv.wait(lock);
            }
            if (!g_bus.running) {
                if (took)
                    record_free(&rec);
                KO_LOGI(kModule, "running == 0, thread 0x%lx (%s) is exiting \n", self, name);
                return leave(slot);
            }
            ++g_bus.busy;
        }
        KO_LOGD(kModule, "thread 0x%lx (%s) (%llu) start working \n", self, name,
                static_cast<unsigned long long>(vexa_time_tick_ms()));
        run(slot, rec);
        KO_LOGD(kModule, "thread 0x%lx (%s) (%llu) end working \n", self, name,
                static_cast<unsigned long long>(vexa_time_tick_ms()));
        std::lock_guard<std::mutex> lock(g_bus.lock);
        --g_bus.busy;
    }
}

// Starts a worker in slot `index`; the caller holds the bus lock.
bool start_worker(int index)
{
    ko_thread_attr attr{};
    attr.stack_size = kWorkerStack;
    std::snprintf(attr.name, sizeof(attr.name), "msg_sch%d", index);
    WorkerSlot &slot = g_bus.slots[index];
    slot.exited = false;
    slot.thread = ko_thread_run(&attr, worker, reinterpret_cast<void *>(static_cast<intptr_t>(index)));
    if (!slot.thread)
        return false;
    ++g_bus.live;
    return true;
}

// Joins workers that have left their loop and frees their slots; the caller holds the bus lock.
void reap_exited()
{
    for (int i = 0; i < KO_MSG_MAX_WORKERS; ++i) {
        WorkerSlot &slot = g_bus.slots[i];
        if (!slot.thread || !slot.exited)
            continue;
        KO_LOGI(kModule, "thread 0x%lx (%d) is dead!\n", tid_of(slot.thread), i);
        // The worker has done its last step under the lock; the join only waits for its return.
        ko_thread_destory(slot.thread);
        slot.thread = nullptr;
        slot.exited = false;
    }
}

// Reports jobs that overran their budget, once each; the caller holds the bus lock.
void check_overruns(uint64_t now)
{
    for (int i = 0; i < KO_MSG_MAX_WORKERS; ++i) {
        WorkerSlot &slot = g_bus.slots[i];
        if (!slot.thread)
            continue;
        std::lock_guard<std::mutex> guard(slot.job_lock);
        if (slot.start_ms == 0 || slot.end_ms != 0 || slot.overrun || now - slot.start_ms <= slot.budget_ms)
            continue;
        KO_LOGE(kModule,
                "message center: thread(0x%lx) %d %d %d msgkey(%s) fromid(%u) toid(%u) (%llu) callback timeout!\n",
                tid_of(slot.thread), i, g_bus.live, g_bus.busy, slot.msgkey, slot.from_uid, slot.to_uid,
                static_cast<unsigned long long>(slot.start_ms));
        slot.overrun = true;
        ++g_counters.cb_timeout;
        g_counters.cb_timeout_toid = slot.to_uid;
    }
}

void resize_pool()
{
    if (g_bus.busy >= g_bus.live && g_bus.live < KO_MSG_MAX_WORKERS) {
        for (int i = 0; i < KO_MSG_MAX_WORKERS; ++i) {
            if (g_bus.slots[i].thread)
                continue;
            if (start_worker(i))
                KO_LOGI(kModule, "add thread 0x%lx... %d %d %d\n", tid_of(g_bus.slots[i].thread), i, g_bus.live,
                        g_bus.busy);
            else
                KO_LOGE(kModule, "message center: (%d) (0x%lx) pthread_create wrong(%s)!\n", i, 0ul,
                        "thread start failed");
            break;
        }
    } else if (g_bus.busy + 1 < g_bus.live && g_bus.live > KO_MSG_MIN_WORKERS) {
        ++g_bus.exit_requests;
        g_bus.work_cv.notify_one();
    }
}

} // namespace

void *main_thread(void *)
{
    std::unique_lock<std::mutex> lock(g_bus.lock);
    if (!g_bus.running) {
        KO_LOGE(kModule, "message center: main thread cannot run!\n");
        return nullptr;
    }
    for (int i = 0; i < KO_MSG_MIN_WORKERS; ++i) {
        if (start_worker(i))
            KO_LOGI(kModule, "start thread 0x%lx... %d\n", tid_of(g_bus.slots[i].thread), i);
        else
            KO_LOGE(kModule, "message center: pthread_create wrong!\n");
    }
    int ticks = 0;
    while (g_bus.running) {
        lock.unlock();
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 0);
        lock.lock();
        if (g_bus.main_cv.wait_for(lock, kTick, [] { return !g_bus.running; }))
            break;
        if (++ticks >= kWarnTicks) {
            ticks = 0;
            if (g_bus.live > KO_MSG_MIN_WORKERS)
                KO_LOGW(kModule, "main thread: live_thr_num=%d,busy_thr_num=%d\n", g_bus.live, g_bus.busy);
        }
        if (static_cast<uint32_t>(g_bus.live) > g_counters.thread_max)
            g_counters.thread_max = static_cast<uint32_t>(g_bus.live);
        reap_exited();
        check_overruns(vexa_time_tick_ms());
        resize_pool();
    }
    g_bus.exit_requests += g_bus.live;
    g_bus.work_cv.notify_all();
    ko_thread *threads[KO_MSG_MAX_WORKERS] = {};
    for (int i = 0; i < KO_MSG_MAX_WORKERS; ++i) {
        threads[i] = g_bus.slots[i].thread;
        g_bus.slots[i].thread = nullptr;
        g_bus.slots[i].exited = false;
    }
    lock.unlock();
    for (auto *t : threads)
        ko_thread_destory(t);
    lock.lock();
    g_bus.exit_requests = 0;
    lock.unlock();
    KO_LOGI(kModule, "main thread 0x%lx is exiting \n", static_cast<unsigned long>(pthread_self()));
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

} // namespace ko_msg
