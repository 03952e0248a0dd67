// The item pool: a mutex-guarded stack of free items linked through their first word. The mutex is
// held for a few loads and stores, by threads that often take items on one core and give them back
// on another: a thread that finds it taken spins for a moment instead of sleeping at once, which
// spares both threads a futex sleep and wake-up per collision.
#include "zel_control/log/zel_trash.h"

#include <pthread.h>

#include <cstring>
#include <new>

struct zel_trash {
    int capacity;
    int count;
    zel_trash_create_fn create;
    zel_trash_destroy_fn destroy;
    zel_trash_reset_fn reset;
    void *free_items;
    pthread_mutex_t lock;
};

namespace {

void *next_of(void *item)
{
    void *next;
    std::memcpy(&next, item, sizeof next);
    return next;
}

void set_next(void *item, void *next)
{
    std::memcpy(item, &next, sizeof next);
}

} // namespace

zel_trash_t *zel_trash_create(zel_trash_create_fn create, zel_trash_destroy_fn destroy, zel_trash_reset_fn reset,
                              int capacity)
{
    if (!create || !destroy)
        return nullptr;
    auto *pool = new (std::nothrow) zel_trash;
    if (!pool)
        return nullptr;
    pool->capacity = capacity < 0 ? 0 : capacity;
    pool->count = 0;
    pool->create = create;
    pool->destroy = destroy;
    pool->reset = reset;
    pool->free_items = nullptr;
    pool->lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    return pool;
}

void zel_trash_release(zel_trash_t *pool)
{
    if (!pool)
        return;
    zel_trash_clear(pool);
    pthread_mutex_destroy(&pool->lock);
    delete pool;
}

void *zel_trash_request(zel_trash_t *pool)
{
    if (!pool)
        return nullptr;
    pthread_mutex_lock(&pool->lock);
    void *item = pool->free_items;
    if (item) {
        pool->free_items = next_of(item);
        pool->count--;
    }
    pthread_mutex_unlock(&pool->lock);
    return item ? item : pool->create();
}

void zel_trash_recycle(zel_trash_t *pool, void *item)
{
    if (!pool || !item)
        return;
    if (pool->reset)
        pool->reset(item);
    pthread_mutex_lock(&pool->lock);
    const bool kept = pool->count < pool->capacity;
    if (kept) {
        set_next(item, pool->free_items);
        pool->free_items = item;
        pool->count++;
    }
    pthread_mutex_unlock(&pool->lock);
    if (!kept)
        pool->destroy(item);
}

int zel_trash_get_size(zel_trash_t *pool)
{
    if (!pool)
        return 0;
    pthread_mutex_lock(&pool->lock);
    const int count = pool->count;
    pthread_mutex_unlock(&pool->lock);
    return count;
}

void zel_trash_clear(zel_trash_t *pool)
{
    if (!pool)
        return;
    pthread_mutex_lock(&pool->lock);
    void *items = pool->free_items;
    pool->free_items = nullptr;
    pool->count = 0;
    pthread_mutex_unlock(&pool->lock);
    while (items) {
        void *next = next_of(items);
        pool->destroy(items);
        items = next;
    }
}
