// Thread pool: a ring array of work items (from a record pool) guarded by one mutex, with workers in
// fixed slots. Workers are joinable; a worker that leaves on its own (idle or temporary) detaches
// itself, and release joins those still in their slots, so nothing runs once release returns.
#include "zel_control/thread/zel_thread_pool.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "zel_control/container/zel_array.h"
#include "zel_control/container/zel_malloc.h"
#include "zel_control/log/zel_trash.h"
#include "zel_control/thread/zel_cond.h"
#include "zel_control/thread/zel_thread_pool_test.h"
#include "zel_control/utils/zel_error.h"
#include "zel_control/utils/zel_system.h"
#include "zelmar/zel_clock.h"

namespace {

enum SlotKind { kFree = 0, kPermanent = 1, kTemporary = 2 };

constexpr int64_t kDefaultIdleRelease = 120000000;
constexpr int64_t kIdlePoll = 100000;
constexpr int64_t kBusyIdleMark = INT64_MAX / 2;  // a busy worker never counts as idle

struct work_item {
    int id;
    zel_work_fn fn;
    zel_work_done_fn done;
    void *first;
    void *second;
};

struct worker_slot {
    int kind;
    int work_id;
    int64_t idle_since;  // monotonic microseconds
    zel_thread_pool_t *pool;
    pthread_t thread;
};

void *new_item()
{
    return __zel_malloc0(sizeof(work_item));
}

void free_item(void *item)
{
    __zel_free(item);
}

} // namespace

struct zel_thread_pool {
    uint16_t running;
    uint16_t live;
    uint16_t min;
    uint16_t max;
    worker_slot *slots;
    int64_t idle_release;
    int queue_limit;
    int threshold;
    zel_array_t *queue;
    zel_trash_t *items;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    int next_id;
    int idle;  // workers waiting on the condition
};

namespace {

void leave_slot(worker_slot *slot)
{
    slot->kind = kFree;
    slot->work_id = -1;
    slot->pool->live--;
}

// Ends the calling worker that gives up its slot on its own: nobody will join it.
void *detach_and_leave(zel_thread_pool_t *pool)
{
    pthread_mutex_unlock(&pool->mutex);
    pthread_detach(pthread_self());
    return nullptr;
}

void *worker_main(void *arg)
{
    auto *slot = static_cast<worker_slot *>(arg);
    zel_thread_pool_t *pool = slot->pool;
    pthread_mutex_lock(&pool->mutex);
    while (pool->running) {
        if (zel_array_get_size(pool->queue) == 0) {
            if (slot->idle_since == kBusyIdleMark)
                slot->idle_since = time_monotonic_us();
            pool->idle++;
            const int rc = zel_cond_wait_for(&pool->cond, &pool->mutex, kIdlePoll);
            pool->idle--;
            if (!pool->running)
                break;
            if (rc == ETIMEDOUT && zel_array_get_size(pool->queue) == 0 &&
                time_monotonic_us() - slot->idle_since > pool->idle_release) {
                leave_slot(slot);
                return detach_and_leave(pool);
            }
            continue;
        }
        auto *item = static_cast<work_item *>(zel_array_dequeue(pool->queue));
        slot->work_id = item->id;
        slot->idle_since = kBusyIdleMark;
        const work_item work = *item;
        zel_trash_recycle(pool->items, item);
        pthread_mutex_unlock(&pool->mutex);

        void *result = work.fn(work.first, work.second);
        if (work.done)
            work.done(result, work.second);

        pthread_mutex_lock(&pool->mutex);
        const int waiting = zel_array_get_size(pool->queue);
        // A temporary worker leaves below the threshold, but never strands waiting items: the last
        // live worker stays while any wait.
        if (slot->kind == kTemporary && pool->running && waiting < pool->threshold &&
            (waiting == 0 || pool->live > 1)) {
            leave_slot(slot);
            return detach_and_leave(pool);
        }
        slot->work_id = -1;  // idle from when it finds the queue empty
    }
    // Stopping: release joins this thread.
    pthread_mutex_unlock(&pool->mutex);
    return nullptr;
}

// Under the mutex: start a worker of `kind` in the first free slot where a thread can be created.
void start_worker(zel_thread_pool_t *pool, int kind)
{
    for (int i = 0; i < pool->max; i++) {
        worker_slot *slot = &pool->slots[i];
        if (slot->kind != kFree)
            continue;
        slot->kind = kind;
        slot->work_id = -1;
        slot->idle_since = time_monotonic_us();
        const int rc = pthread_create(&slot->thread, nullptr, worker_main, slot);
        if (rc != 0) {
            slot->kind = kFree;
            std::fprintf(stderr, "thread pool: start thread failed, code=%d\n", rc);
            continue;
        }
        pool->live++;
        return;
    }
}

} // namespace

extern "C" {

zel_thread_pool_t *zel_thread_pool_create(uint16_t min, uint16_t max, int threshold, int queue_limit)
{
    if (max < min || max == 0 || queue_limit < 1)
        return nullptr;
    if (threshold < 1)
        threshold = 1;
    auto *pool = static_cast<zel_thread_pool_t *>(__zel_malloc0(sizeof(zel_thread_pool_t)));
    if (!pool)
        return nullptr;
    const int maximum = calc_table_size(queue_limit);
    const int initial = calc_table_size(threshold) < maximum ? calc_table_size(threshold) : maximum;
    pool->slots = static_cast<worker_slot *>(__zel_malloc0(sizeof(worker_slot) * max));
    pool->queue = zel_array_create(initial, maximum);
    pool->items = zel_trash_create(new_item, free_item, nullptr, queue_limit);
    const int mutex_rc = pthread_mutex_init(&pool->mutex, nullptr);
    const int cond_rc = zel_cond_init_monotonic(&pool->cond);
    if (!pool->slots || !pool->queue || !pool->items || mutex_rc != 0 || cond_rc != 0) {
        if (mutex_rc == 0)
            pthread_mutex_destroy(&pool->mutex);
        if (cond_rc == 0)
            pthread_cond_destroy(&pool->cond);
        zel_trash_release(pool->items);
        zel_array_release(pool->queue);
        __zel_free(pool->slots);
        __zel_free(pool);
        return nullptr;
    }
    for (int i = 0; i < max; i++) {
        pool->slots[i].pool = pool;
        pool->slots[i].work_id = -1;
    }
    pool->running = 1;
    pool->min = min;
    pool->max = max;
    pool->threshold = threshold;
    pool->queue_limit = queue_limit;
    pool->idle_release = kDefaultIdleRelease;
    return pool;
}

int zel_thread_pool_add_work(zel_thread_pool_t *pool, zel_work_fn fn, void *first, void *second,
                             zel_work_done_fn done)
{
    if (!pool || !fn)
        return ZEL_EINVAL;
    pthread_mutex_lock(&pool->mutex);
    const int waiting = zel_array_get_size(pool->queue);
    int refused = !pool->running ? ZEL_EFAIL : waiting >= pool->queue_limit ? ZEL_EFULL : 0;
    auto *item = refused ? nullptr : static_cast<work_item *>(zel_trash_request(pool->items));
    if (!refused && !item)
        refused = ZEL_ENOMEM;
    if (item) {
        *item = work_item{pool->next_id, fn, done, first, second};
        if (zel_array_enqueue(pool->queue, item) != 0) {
            zel_trash_recycle(pool->items, item);
            refused = ZEL_ENOMEM;
        }
    }
    if (refused) {
        pthread_mutex_unlock(&pool->mutex);
        return refused;
    }
    if (pool->live < pool->min)
        start_worker(pool, kPermanent);
    else if ((waiting >= pool->threshold || pool->live == 0) && pool->live < pool->max)
        start_worker(pool, kTemporary);
    const int id = pool->next_id;
    pool->next_id = id == INT_MAX ? 0 : id + 1;
    const bool wake = pool->idle > 0;
    pthread_mutex_unlock(&pool->mutex);
    // Signalled after unlocking, so the woken worker does not block on the mutex at once.
    if (wake)
        pthread_cond_signal(&pool->cond);
    return id;
}

int zel_thread_pool_cancel_work(zel_thread_pool_t *pool, int id)
{
    if (!pool)
        return ZEL_EINVAL;
    pthread_mutex_lock(&pool->mutex);
    const int n = zel_array_get_size(pool->queue);
    for (int i = 0; i < n; i++) {
        auto *item = static_cast<work_item *>(zel_array_get(pool->queue, i));
        if (item->id == id) {
            zel_array_remove(pool->queue, i);
            zel_trash_recycle(pool->items, item);
            break;
        }
    }
    pthread_mutex_unlock(&pool->mutex);
    return 0;
}

void zel_thread_pool_set_idle_release(zel_thread_pool_t *pool, int64_t microseconds)
{
    if (!pool)
        return;
    pthread_mutex_lock(&pool->mutex);
    pool->idle_release = microseconds;
    pthread_mutex_unlock(&pool->mutex);
}

void zel_thread_pool_release(zel_thread_pool_t *pool)
{
    if (!pool)
        return;
    pthread_mutex_lock(&pool->mutex);
    pool->running = 0;
    pthread_cond_broadcast(&pool->cond);
    // Workers still in their slots now leave through the stop path and are joined; those that gave
    // up their slot already detached themselves and touch nothing of the pool after unlocking.
    std::unique_ptr<pthread_t[]> joining(new pthread_t[pool->max]);
    int n = 0;
    for (int i = 0; i < pool->max; i++) {
        if (pool->slots[i].kind != kFree)
            joining[n++] = pool->slots[i].thread;
    }
    pthread_mutex_unlock(&pool->mutex);
    for (int i = 0; i < n; i++)
        pthread_join(joining[i], nullptr);

    while (void *item = zel_array_dequeue(pool->queue))
        free_item(item);
    zel_array_release(pool->queue);
    zel_trash_release(pool->items);
    pthread_cond_destroy(&pool->cond);
    pthread_mutex_destroy(&pool->mutex);
    __zel_free(pool->slots);
    __zel_free(pool);
}

void zel_thread_pool_set_next_id(zel_thread_pool_t *pool, int id)
{
    if (!pool)
        return;
    pthread_mutex_lock(&pool->mutex);
    pool->next_id = id < 0 ? 0 : id;
    pthread_mutex_unlock(&pool->mutex);
}

int zel_thread_pool_live_workers(zel_thread_pool_t *pool)
{
    if (!pool)
        return 0;
    pthread_mutex_lock(&pool->mutex);
    const int live = pool->live;
    pthread_mutex_unlock(&pool->mutex);
    return live;
}

} // extern "C"
