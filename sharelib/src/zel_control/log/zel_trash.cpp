// The item pool: a mutex-guarded stack of free items linked through their first word.
#include "zel_control/log/zel_trash.h"

#include <cstring>
#include <mutex>
#include <new>

struct zel_trash {
    int capacity;
    int count;
    zel_trash_create_fn create;
    zel_trash_destroy_fn destroy;
    zel_trash_reset_fn reset;
    void *free_items;
    std::mutex lock;
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
    return pool;
}

void zel_trash_release(zel_trash_t *pool)
{
    if (!pool)
        return;
    zel_trash_clear(pool);
    delete pool;
}

void *zel_trash_request(zel_trash_t *pool)
{
    if (!pool)
        return nullptr;
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        if (void *item = pool->free_items) {
            pool->free_items = next_of(item);
            pool->count--;
            return item;
        }
    }
    return pool->create();
}

void zel_trash_recycle(zel_trash_t *pool, void *item)
{
    if (!pool || !item)
        return;
    if (pool->reset)
        pool->reset(item);
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        if (pool->count < pool->capacity) {
            set_next(item, pool->free_items);
            pool->free_items = item;
            pool->count++;
            return;
        }
    }
    pool->destroy(item);
}

int zel_trash_get_size(zel_trash_t *pool)
{
    if (!pool)
        return 0;
    std::lock_guard<std::mutex> guard(pool->lock);
    return pool->count;
}

void zel_trash_clear(zel_trash_t *pool)
{
    if (!pool)
        return;
    void *items;
    {
        std::lock_guard<std::mutex> guard(pool->lock);
        items = pool->free_items;
        pool->free_items = nullptr;
        pool->count = 0;
    }
    while (items) {
        void *next = next_of(items);
        pool->destroy(items);
        items = next;
    }
}
