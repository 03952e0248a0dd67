// Rendezvous: a dictionary from key to waiter, waiter records from a pool of 16, one mutex over both.
// Each waiter sleeps on its own monotonic condition under the same mutex, so a wake can never slip
// between the registration and the sleep.
#include "zel_control/thread/zel_sync.h"

#include <errno.h>
#include <pthread.h>

#include <new>

#include "zel_control/container/zel_malloc.h"
#include "zel_control/log/zel_trash.h"
#include "zel_control/thread/zel_cond.h"
#include "zel_control/utils/zel_error.h"
#include "zelmar/zel_clock.h"

namespace {

constexpr int kWaiterPool = 16;
constexpr int kIntKeyCapacity = 8;

struct waiter {
    int context;
    bool woken;
    pthread_cond_t cond;
};

void *new_waiter()
{
    auto *w = static_cast<waiter *>(__zel_malloc0(sizeof(waiter)));
    if (w && zel_cond_init_monotonic(&w->cond) != 0) {
        __zel_free(w);
        return nullptr;
    }
    return w;
}

void free_waiter(void *item)
{
    auto *w = static_cast<waiter *>(item);
    pthread_cond_destroy(&w->cond);
    __zel_free(w);
}

} // namespace

struct zel_sync {
    zel_dict_t *waiters;
    zel_trash_t *pool;
    pthread_mutex_t mutex;
    pthread_cond_t all_left;
    int waiting;  // waits in progress
    bool released;
};

extern "C" {

zel_sync_t *zel_sync_create_ex(int capacity, zel_dict_hash_fn hash, zel_dict_compare_fn compare,
                               zel_dict_duplicate_fn duplicate, zel_dict_release_fn release)
{
    auto *sync = new (std::nothrow) zel_sync{};
    if (!sync)
        return nullptr;
    sync->waiters = zel_dict_create_ex(capacity, hash, compare, duplicate, release);
    sync->pool = zel_trash_create(new_waiter, free_waiter, nullptr, kWaiterPool);
    if (!sync->waiters || !sync->pool || zel_cond_init_monotonic(&sync->all_left) != 0) {
        zel_dict_release(sync->waiters);
        zel_trash_release(sync->pool);
        delete sync;
        return nullptr;
    }
    pthread_mutex_init(&sync->mutex, nullptr);
    return sync;
}

zel_sync_t *zel_sync_create(void)
{
    return zel_sync_create_ex(kIntKeyCapacity, int32_hash, int32_comparer, int32_duplicate, int32_release);
}

int zel_sync_wait(zel_sync_t *sync, const void *key, int value, int timeout_ms)
{
    if (!sync || !key)
        return ZEL_EINVAL;
    pthread_mutex_lock(&sync->mutex);
    if (sync->released) {
        pthread_mutex_unlock(&sync->mutex);
        return ZEL_EFAIL;
    }
    if (zel_dict_is_key_exist(sync->waiters, key)) {
        pthread_mutex_unlock(&sync->mutex);
        return ZEL_EWAITED;
    }
    auto *w = static_cast<waiter *>(zel_trash_request(sync->pool));
    if (!w || zel_dict_set(sync->waiters, key, w, nullptr) != 0) {
        if (w)
            zel_trash_recycle(sync->pool, w);
        pthread_mutex_unlock(&sync->mutex);
        return ZEL_ENOMEM;
    }
    w->context = value;
    w->woken = false;
    sync->waiting++;
    const int64_t deadline = time_monotonic_us() + static_cast<int64_t>(timeout_ms < 0 ? 0 : timeout_ms) * 1000;
    int rc = 0;
    while (!w->woken && !sync->released && rc == 0)
        rc = zel_cond_wait_until(&w->cond, &sync->mutex, deadline);
    int result;
    if (w->woken)
        result = 0;
    else if (sync->released)
        result = ZEL_EFAIL;
    else
        result = rc == ETIMEDOUT ? ZEL_ETIMEOUT : ZEL_EFAIL;
    if (zel_dict_get(sync->waiters, key, nullptr) == w)
        zel_dict_remove(sync->waiters, key);
    zel_trash_recycle(sync->pool, w);
    if (--sync->waiting == 0 && sync->released)
        pthread_cond_broadcast(&sync->all_left);
    pthread_mutex_unlock(&sync->mutex);
    return result;
}

int zel_sync_get_ctx(zel_sync_t *sync, const void *key)
{
    if (!sync || !key)
        return 0;
    pthread_mutex_lock(&sync->mutex);
    auto *w = static_cast<waiter *>(zel_dict_get(sync->waiters, key, nullptr));
    const int context = w ? w->context : 0;
    pthread_mutex_unlock(&sync->mutex);
    return context;
}

int zel_sync_set(zel_sync_t *sync, const void *key)
{
    if (!sync || !key)
        return ZEL_EINVAL;
    pthread_mutex_lock(&sync->mutex);
    auto *w = static_cast<waiter *>(zel_dict_remove(sync->waiters, key));
    if (w) {
        w->woken = true;
        pthread_cond_signal(&w->cond);
    }
    pthread_mutex_unlock(&sync->mutex);
    return w ? 0 : ZEL_ENOTFOUND;
}

void zel_sync_release(zel_sync_t *sync)
{
    if (!sync)
        return;
    pthread_mutex_lock(&sync->mutex);
    sync->released = true;
    zel_dict_iter_t *it = zel_dict_get_iterator(sync->waiters);
    void *value = nullptr;
    while (it && zel_dict_iter_get_next(it, nullptr, &value))
        pthread_cond_signal(&static_cast<waiter *>(value)->cond);
    zel_dict_release_iterator(it);
    while (sync->waiting > 0)
        pthread_cond_wait(&sync->all_left, &sync->mutex);
    pthread_mutex_unlock(&sync->mutex);
    zel_dict_release(sync->waiters);
    zel_trash_release(sync->pool);
    pthread_cond_destroy(&sync->all_left);
    pthread_mutex_destroy(&sync->mutex);
    delete sync;
}

} // extern "C"
