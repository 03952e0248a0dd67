// Event loop: a dictionary from descriptor to watch entry under one mutex. A descriptor handed to
// the pool is taken out of the poller until its callback returns, so the loop thread does not see it
// ready again and spin; a refused pool item re-arms it at once.
#include "zel_net_core/zel_evtloop.h"

#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <vector>

#include "zel_control/container/zel_dict.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_cond.h"
#include "zel_control/utils/zel_error.h"

namespace {

constexpr const char *TAG = "ZEL_NET";
constexpr int kWaitMs = 200;
constexpr int kEpollEvents = 1024;
constexpr int kEntryCapacity = 64;
constexpr int kCallbackEntry = 1;
constexpr useconds_t kRefusedRetryUs = 10000;

struct watch_entry {
    int fd;
    int kind;
    void *user_data;
    bool busy;
    bool armed;    // registered with the poller now
    bool removed;  // removed while its callback ran: freed when it returns
    int events;    // pending events of the dispatch in progress
    int flags;     // what the descriptor is watched for
    zel_evtloop_fn callback;
};

} // namespace

struct zel_evtloop {
    const zel_poller_ops *poller_ops;
    zel_poller_t *poller;
    std::atomic<bool> running{false};
    zel_dict_t *entries;
    pthread_mutex_t mutex;
    zel_thread_pool_t *pool = nullptr;
    pthread_t thread{};
    bool has_thread = false;
    int in_pool = 0;
    pthread_cond_t pool_idle;
    zel_evtloop_ops_t *ops;
};

namespace {

struct pool_dispatch {
    zel_evtloop_t *loop;
    watch_entry *entry;
};

// Under the mutex, after a callback: free a removed entry, else make it ready for the next dispatch.
void finish_dispatch(zel_evtloop_t *loop, watch_entry *e)
{
    e->busy = false;
    e->events = 0;
    if (e->removed) {
        delete e;
        return;
    }
    if (!e->armed && loop->poller_ops->add_fd(loop->poller, e->fd, e->flags) == 0)
        e->armed = true;
}

void run_entry(zel_evtloop_t *loop, watch_entry *e)
{
    if (e->kind == kCallbackEntry)
        e->callback(loop->ops, e->fd, e->events, e->user_data);
}

void *pool_run(void *first, void *)
{
    auto *d = static_cast<pool_dispatch *>(first);
    zel_evtloop_t *loop = d->loop;
    watch_entry *e = d->entry;
    delete d;
    run_entry(loop, e);
    pthread_mutex_lock(&loop->mutex);
    finish_dispatch(loop, e);
    if (--loop->in_pool == 0)
        pthread_cond_broadcast(&loop->pool_idle);
    pthread_mutex_unlock(&loop->mutex);
    return nullptr;
}

// Under the mutex: hand the entry to the pool with its descriptor out of the poller. False when the
// pool refuses: the entry is ready for the next dispatch again.
bool dispatch_to_pool(zel_evtloop_t *loop, watch_entry *e)
{
    if (loop->poller_ops->remove_fd(loop->poller, e->fd) == 0)
        e->armed = false;
    auto *d = new (std::nothrow) pool_dispatch{loop, e};
    if (d && zel_thread_pool_add_work(loop->pool, pool_run, d, nullptr, nullptr) >= 0) {
        loop->in_pool++;
        return true;
    }
    delete d;
    finish_dispatch(loop, e);
    return false;
}

void *loop_main(void *arg)
{
    auto *loop = static_cast<zel_evtloop_t *>(arg);
    bool refusing = false;  // the pool refuses work: logged once, then retried at a slower pace
    while (loop->running) {
        int fd = -1, events = 0;
        const int rc = loop->poller_ops->wait(loop->poller, kWaitMs, &fd, &events);
        if (rc < 0) {
            ZEL_LOGE(TAG, "event loop: the poller failed, the loop thread ends");
            break;
        }
        if (rc == 0)
            continue;
        pthread_mutex_lock(&loop->mutex);
        auto *e = static_cast<watch_entry *>(zel_dict_get(loop->entries, &fd, nullptr));
        if (!e || e->busy) {
            pthread_mutex_unlock(&loop->mutex);
            continue;
        }
        e->busy = true;
        e->events = events;
        if (loop->pool) {
            const bool taken = dispatch_to_pool(loop, e);
            pthread_mutex_unlock(&loop->mutex);
            if (!taken && !refusing)
                ZEL_LOGE(TAG, "event loop: the pool refused the callback of descriptor %d; retrying", fd);
            refusing = !taken;
            if (!taken)
                usleep(kRefusedRetryUs);
            continue;
        }
        pthread_mutex_unlock(&loop->mutex);
        run_entry(loop, e);
        pthread_mutex_lock(&loop->mutex);
        finish_dispatch(loop, e);
        pthread_mutex_unlock(&loop->mutex);
    }
    loop->running = false;
    return nullptr;
}

int loop_add(zel_evtloop_ops_t *ops, int fd, int events, zel_evtloop_fn callback, void *user_data)
{
    if (!ops || !callback || fd < 0)
        return ZEL_EINVAL;
    zel_evtloop_t *loop = ops->loop;
    pthread_mutex_lock(&loop->mutex);
    if (zel_dict_is_key_exist(loop->entries, &fd)) {
        pthread_mutex_unlock(&loop->mutex);
        return ZEL_EBUSY;
    }
    auto *e = new (std::nothrow) watch_entry{fd, kCallbackEntry, user_data, false, true, false, 0, events, callback};
    if (!e) {
        pthread_mutex_unlock(&loop->mutex);
        return ZEL_ENOMEM;
    }
    int rc = loop->poller_ops->add_fd(loop->poller, fd, events);
    if (rc == 0 && zel_dict_set(loop->entries, &fd, e, nullptr) != 0) {
        loop->poller_ops->remove_fd(loop->poller, fd);
        rc = ZEL_ENOMEM;
    }
    pthread_mutex_unlock(&loop->mutex);
    if (rc != 0)
        delete e;
    return rc;
}

int loop_remove(zel_evtloop_ops_t *ops, int fd)
{
    if (!ops)
        return ZEL_EINVAL;
    zel_evtloop_t *loop = ops->loop;
    pthread_mutex_lock(&loop->mutex);
    auto *e = static_cast<watch_entry *>(zel_dict_remove(loop->entries, &fd));
    if (!e) {
        pthread_mutex_unlock(&loop->mutex);
        return ZEL_ENOTFOUND;
    }
    if (e->armed)
        loop->poller_ops->remove_fd(loop->poller, fd);
    e->armed = false;
    if (e->busy)
        e->removed = true;
    else
        delete e;
    pthread_mutex_unlock(&loop->mutex);
    return 0;
}

// Joins a thread that has ended (stopped, or after a poller failure).
void reap(zel_evtloop_t *loop)
{
    if (loop->has_thread) {
        pthread_join(loop->thread, nullptr);
        loop->has_thread = false;
    }
}

int loop_start(zel_evtloop_ops_t *ops)
{
    if (!ops)
        return ZEL_EINVAL;
    zel_evtloop_t *loop = ops->loop;
    if (loop->running)
        return ZEL_EBUSY;
    reap(loop);
    loop->running = true;
    if (pthread_create(&loop->thread, nullptr, loop_main, loop) != 0) {
        loop->running = false;
        ZEL_LOGE(TAG, "event loop: cannot start its thread");
        return ZEL_EFAIL;
    }
    loop->has_thread = true;
    return 0;
}

void loop_stop(zel_evtloop_ops_t *ops)
{
    if (!ops)
        return;
    zel_evtloop_t *loop = ops->loop;
    loop->running = false;
    if (loop->has_thread && !pthread_equal(loop->thread, pthread_self()))
        reap(loop);
}

void loop_join(zel_evtloop_ops_t *ops)
{
    if (ops && ops->loop->has_thread && !pthread_equal(ops->loop->thread, pthread_self()))
        reap(ops->loop);
}

void loop_set_pool(zel_evtloop_ops_t *ops, zel_thread_pool_t *pool)
{
    if (!ops)
        return;
    pthread_mutex_lock(&ops->loop->mutex);
    ops->loop->pool = pool;
    pthread_mutex_unlock(&ops->loop->mutex);
}

void loop_release(zel_evtloop_ops_t *ops)
{
    if (!ops)
        return;
    zel_evtloop_t *loop = ops->loop;
    loop_stop(ops);
    std::vector<watch_entry *> entries;
    pthread_mutex_lock(&loop->mutex);
    while (loop->in_pool > 0)
        pthread_cond_wait(&loop->pool_idle, &loop->mutex);
    zel_dict_iter_t *it = zel_dict_get_iterator(loop->entries);
    void *value = nullptr;
    while (it && zel_dict_iter_get_next(it, nullptr, &value))
        entries.push_back(static_cast<watch_entry *>(value));
    zel_dict_release_iterator(it);
    pthread_mutex_unlock(&loop->mutex);
    for (watch_entry *e : entries) {
        e->callback(ops, e->fd, ZEL_POLL_RELEASED, e->user_data);
        delete e;
    }
    zel_dict_release(loop->entries);
    loop->poller_ops->release(loop->poller);
    pthread_cond_destroy(&loop->pool_idle);
    pthread_mutex_destroy(&loop->mutex);
    delete loop;
    delete ops;
}

} // namespace

extern "C" zel_evtloop_ops_t *zel_evtloop_factory(const char *kind)
{
    const bool use_select = kind && strcasecmp(kind, "select") == 0;
    auto *ops = new (std::nothrow) zel_evtloop_ops_t{};
    auto *loop = new (std::nothrow) zel_evtloop;
    if (!ops || !loop) {
        delete ops;
        delete loop;
        return nullptr;
    }
    loop->poller_ops = use_select ? zel_select_poller() : zel_epoll_poller();
    loop->poller = loop->poller_ops->create(kEpollEvents);
    loop->entries = zel_dict_create_ex(kEntryCapacity, int32_hash, int32_comparer, int32_duplicate, int32_release);
    if (!loop->poller || !loop->entries) {
        if (loop->poller)
            loop->poller_ops->release(loop->poller);
        zel_dict_release(loop->entries);
        delete loop;
        delete ops;
        return nullptr;
    }
    pthread_mutex_init(&loop->mutex, nullptr);
    zel_cond_init_monotonic(&loop->pool_idle);
    loop->ops = ops;
    ops->loop = loop;
    ops->release = loop_release;
    ops->add = loop_add;
    ops->remove = loop_remove;
    ops->start = loop_start;
    ops->stop = loop_stop;
    ops->join = loop_join;
    ops->set_pool = loop_set_pool;
    return ops;
}
