// Dispatch objects and groups. Synchronous requests are told apart from the caller's items by the
// queue itself (a list of the requests it holds), never by reading an item: any pointer is a valid
// item. Each object stops what runs before it is freed.
#include "zel_control/thread/zel_dispatch.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "zel_control/container/zel_array.h"
#include "zel_control/thread/zel_semaphore.h"
#include "zel_control/utils/zel_error.h"
#include "zel_control/utils/zel_system.h"

namespace {

enum Runner { kNoThread = 0, kQueueThread, kTimerThread, kOnceThread };

constexpr int kGroupInitial = 16;
constexpr int kGroupMaximum = 64;

} // namespace

struct zel_dispatch {
    int kind = DISPATCH_KIND_NONE;
    semaphore_t *sem = nullptr;
    pthread_mutex_t mutex;      // start, stop, put and length
    pthread_mutex_t ring_lock;  // the ring and the request list, between putters and the consumer
    pthread_t thread{};
    int runner = kNoThread;
    std::atomic<bool> thread_done{false};
    zel_array_t *queue = nullptr;
    zel_array_t *requests = nullptr;  // synchronous requests now in the ring
    std::atomic<bool> stop{false};
    int capacity = 0;
    int interval_ms = 0;
    std::atomic<int> wait_ms{-1};
    std::atomic<int> result{0};
    zel_dispatch_fn callback = nullptr;
    void *user_data = nullptr;
};

struct zel_dispatch_group {
    pthread_mutex_t mutex;
    zel_array_t *members;
};

namespace {

// A synchronous request: run `target`'s callback on the queue's thread and post `done`.
struct sync_request {
    zel_dispatch_t *target;
    semaphore_t *done;
    int result;
};

int same_pointer(const void *item, const void *key)
{
    return item == key ? 0 : -1;
}

void drain_posts(semaphore_t *sem)
{
    while (semaphore_wait(sem, 0) == 0) {
    }
}

int run_callback(zel_dispatch_t *object, void *item)
{
    const int result = object->callback ? object->callback(item, object->user_data) : 0;
    object->result = result;
    return result;
}

void *queue_main(void *arg)
{
    auto *object = static_cast<zel_dispatch_t *>(arg);
    for (;;) {
        if (semaphore_wait(object->sem, -1) != 0)
            break;
        pthread_mutex_lock(&object->ring_lock);
        if (object->stop && zel_array_get_size(object->queue) == 0) {
            pthread_mutex_unlock(&object->ring_lock);
            break;
        }
        void *item = zel_array_dequeue(object->queue);
        const bool is_request =
            item && zel_array_search_and_remove(object->requests, 0, same_pointer, item) != nullptr;
        pthread_mutex_unlock(&object->ring_lock);
        if (!item)
            continue;  // taken by getq
        if (is_request) {
            auto *request = static_cast<sync_request *>(item);
            request->result = run_callback(request->target, request);
            semaphore_post(request->done);
        } else {
            run_callback(object, item);
        }
    }
    return nullptr;
}

void *timer_main(void *arg)
{
    auto *object = static_cast<zel_dispatch_t *>(arg);
    for (;;) {
        const int rc = semaphore_wait(object->sem, object->wait_ms);
        if (object->stop)
            break;
        if (rc != 0 && rc != ETIMEDOUT)
            break;
        if (object->wait_ms != -1)
            run_callback(object, nullptr);
    }
    return nullptr;
}

void *once_main(void *arg)
{
    auto *object = static_cast<zel_dispatch_t *>(arg);
    run_callback(object, nullptr);
    object->thread_done = true;
    return nullptr;
}

// Under the object's mutex: joins a one-off thread that has finished, so the object can run again.
void reap_finished(zel_dispatch_t *object)
{
    if (object->runner == kOnceThread && object->thread_done) {
        pthread_join(object->thread, nullptr);
        object->runner = kNoThread;
    }
}

// Locks the object when no thread of it runs (a finished one-off thread is joined first); else
// prints "<name> CODE_RES_IN_USED error" and leaves it unlocked.
bool lock_idle(zel_dispatch_t *object, const char *name)
{
    pthread_mutex_lock(&object->mutex);
    reap_finished(object);
    if (object->runner == kNoThread)
        return true;
    pthread_mutex_unlock(&object->mutex);
    std::printf("%s CODE_RES_IN_USED error\n", name);
    return false;
}

int put_item(zel_dispatch_t *object, void *item, bool is_request)
{
    pthread_mutex_lock(&object->mutex);
    if (!object->queue || object->stop || object->runner != kQueueThread) {
        pthread_mutex_unlock(&object->mutex);
        return ZEL_EINVAL;
    }
    pthread_mutex_lock(&object->ring_lock);
    int rc = zel_array_enqueue(object->queue, item);
    if (rc == 0 && is_request) {
        rc = zel_array_enqueue(object->requests, item);
        if (rc != 0)
            zel_array_pop(object->queue);
    }
    pthread_mutex_unlock(&object->ring_lock);
    if (rc == 0)
        semaphore_post(object->sem);
    pthread_mutex_unlock(&object->mutex);
    return rc;
}

// Ends the object's queue or timer thread: flags the stop, wakes the thread and joins it outside the
// mutex (its callback may still put items or read lengths meanwhile).
bool stop_thread(zel_dispatch_t *object, int runner)
{
    pthread_mutex_lock(&object->mutex);
    if (object->runner != runner || object->stop) {
        pthread_mutex_unlock(&object->mutex);
        return false;
    }
    object->stop = true;
    semaphore_post(object->sem);
    const pthread_t thread = object->thread;
    pthread_mutex_unlock(&object->mutex);
    pthread_join(thread, nullptr);
    pthread_mutex_lock(&object->mutex);
    object->runner = kNoThread;
    object->stop = false;
    pthread_mutex_unlock(&object->mutex);
    return true;
}

int start_thread(zel_dispatch_t *object, int runner, void *(*entry)(void *))
{
    object->stop = false;
    object->thread_done = false;
    drain_posts(object->sem);
    if (pthread_create(&object->thread, nullptr, entry, object) != 0)
        return ZEL_ETHREAD;
    object->runner = runner;
    return 0;
}

// callback(null, user data) once on a new thread; with `wait`, joined before returning.
int run_once(zel_dispatch_t *object, const char *name, bool wait)
{
    if (!object)
        return ZEL_EINVAL;
    if (!lock_idle(object, name))
        return ZEL_EBUSY;
    const int rc = start_thread(object, kOnceThread, once_main);
    const pthread_t thread = object->thread;
    pthread_mutex_unlock(&object->mutex);
    if (rc != 0) {
        std::printf("%s g_thread_new error\n", name);
        return rc;
    }
    if (wait) {
        pthread_join(thread, nullptr);
        pthread_mutex_lock(&object->mutex);
        object->runner = kNoThread;
        pthread_mutex_unlock(&object->mutex);
    }
    std::printf("%s success\n", name);
    return 0;
}

// Starts or stops every queue and timer member with its stored capacity or interval; idle members
// (kind 0) are skipped.
int start_or_stop_members(zel_dispatch_group_t *group, bool start)
{
    if (!group)
        return ZEL_EINVAL;
    pthread_mutex_lock(&group->mutex);
    for (int i = 0; i < zel_array_get_size(group->members); i++) {
        auto *object = static_cast<zel_dispatch_t *>(zel_array_get(group->members, i));
        if (object->kind == DISPATCH_KIND_QUEUE)
            start ? dispatch_queue_start(object, object->capacity) : dispatch_queue_stop(object);
        else if (object->kind == DISPATCH_KIND_TIMER)
            start ? dispatch_timer_start(object, object->interval_ms) : dispatch_timer_stop(object);
    }
    pthread_mutex_unlock(&group->mutex);
    return 0;
}

} // namespace

extern "C" {

zel_dispatch_t *dispatch_create(zel_dispatch_fn callback, void *user_data)
{
    auto *object = new (std::nothrow) zel_dispatch;
    if (!object)
        return nullptr;
    object->sem = semaphore_init(0);
    if (!object->sem) {
        std::puts("dispatch_create semaphore_init error");
        delete object;
        return nullptr;
    }
    pthread_mutex_init(&object->mutex, nullptr);
    pthread_mutex_init(&object->ring_lock, nullptr);
    object->callback = callback;
    object->user_data = user_data;
    std::puts("dispatch_create success");
    return object;
}

void dispatch_reset_params(zel_dispatch_t *object, zel_dispatch_fn callback, void *user_data)
{
    if (!object)
        return;
    pthread_mutex_lock(&object->mutex);
    object->kind = DISPATCH_KIND_NONE;
    object->callback = callback;
    object->user_data = user_data;
    pthread_mutex_unlock(&object->mutex);
}

void dispatch_release(zel_dispatch_t *object)
{
    if (!object)
        return;
    dispatch_queue_stop(object);
    dispatch_timer_stop(object);
    pthread_mutex_lock(&object->mutex);
    const bool once = object->runner == kOnceThread;
    pthread_mutex_unlock(&object->mutex);
    if (once)
        pthread_join(object->thread, nullptr);
    semaphore_destory(object->sem);
    std::puts("dispatch_release semaphore_destory success");
    pthread_mutex_destroy(&object->ring_lock);
    pthread_mutex_destroy(&object->mutex);
    delete object;
    std::puts("dispatch_release success");
}

int dispatch_queue_start(zel_dispatch_t *object, int capacity)
{
    if (!object || capacity < 1)
        return ZEL_EINVAL;
    if (!lock_idle(object, "dispatch_queue_start"))
        return ZEL_EBUSY;
    object->queue = zel_array_create(capacity, capacity);
    object->requests = zel_array_create(1, calc_table_size(capacity));
    if (!object->queue || !object->requests) {
        zel_array_release(object->queue);
        zel_array_release(object->requests);
        object->queue = object->requests = nullptr;
        pthread_mutex_unlock(&object->mutex);
        std::puts("dispatch_queue_start create_array error");
        return ZEL_ENOMEM;
    }
    object->kind = DISPATCH_KIND_QUEUE;
    object->capacity = capacity;
    if (start_thread(object, kQueueThread, queue_main) != 0) {
        zel_array_release(object->queue);
        zel_array_release(object->requests);
        object->queue = object->requests = nullptr;
        pthread_mutex_unlock(&object->mutex);
        std::puts("dispatch_queue_start g_thread_new error");
        return ZEL_ETHREAD;
    }
    pthread_mutex_unlock(&object->mutex);
    std::puts("dispatch_queue_start success");
    return 0;
}

int dispatch_queue_putq(zel_dispatch_t *object, void *item)
{
    if (!object || !item)
        return ZEL_EINVAL;
    return put_item(object, item, false);
}

int dispatch_queue_len(zel_dispatch_t *object)
{
    if (!object)
        return 0;
    pthread_mutex_lock(&object->ring_lock);
    const int n = object->queue ? zel_array_get_size(object->queue) : 0;
    pthread_mutex_unlock(&object->ring_lock);
    return n;
}

int getq_len(zel_dispatch_t *object)
{
    return dispatch_queue_len(object);
}

void *getq(zel_dispatch_t *object)
{
    if (!object)
        return nullptr;
    pthread_mutex_lock(&object->ring_lock);
    void *item = nullptr;
    // A synchronous request stays for the consumer: its caller waits for it.
    if (object->queue && zel_array_search(object->requests, 0, same_pointer, zel_array_peek_queue(object->queue)) < 0)
        item = zel_array_dequeue(object->queue);
    pthread_mutex_unlock(&object->ring_lock);
    return item;
}

int dispatch_queue_stop(zel_dispatch_t *object)
{
    if (!object)
        return ZEL_EINVAL;
    if (!stop_thread(object, kQueueThread))
        return 0;
    pthread_mutex_lock(&object->mutex);
    pthread_mutex_lock(&object->ring_lock);
    zel_array_release(object->queue);
    zel_array_release(object->requests);
    object->queue = object->requests = nullptr;
    pthread_mutex_unlock(&object->ring_lock);
    pthread_mutex_unlock(&object->mutex);
    std::puts("dispatch_queue_stop success");
    return 0;
}

int dispatch_timer_start(zel_dispatch_t *object, int interval_ms)
{
    if (!object)
        return ZEL_EINVAL;
    if (!lock_idle(object, "dispatch_timer_start"))
        return ZEL_EBUSY;
    object->kind = DISPATCH_KIND_TIMER;
    object->interval_ms = interval_ms;
    object->wait_ms = interval_ms;
    const int rc = start_thread(object, kTimerThread, timer_main);
    pthread_mutex_unlock(&object->mutex);
    std::puts(rc == 0 ? "dispatch_timer_start success" : "dispatch_timer_start g_thread_new error");
    return rc;
}

int dispatch_timer_stop(zel_dispatch_t *object)
{
    if (!object)
        return ZEL_EINVAL;
    if (stop_thread(object, kTimerThread))
        std::puts("dispatch_timer_stop success");
    return 0;
}

int dispatch_timer_fire(zel_dispatch_t *object)
{
    if (!object)
        return ZEL_EINVAL;
    semaphore_post(object->sem);
    std::puts("dispatch_timer_fire success");
    return 0;
}

int dispatch_timer_pause(zel_dispatch_t *object)
{
    if (!object)
        return ZEL_EINVAL;
    object->wait_ms = -1;
    std::puts("dispatch_timer_pause success");
    return 0;
}

int dispatch_timer_resume(zel_dispatch_t *object)
{
    if (!object)
        return ZEL_EINVAL;
    pthread_mutex_lock(&object->mutex);
    object->wait_ms = object->interval_ms;
    pthread_mutex_unlock(&object->mutex);
    semaphore_post(object->sem);
    std::puts("dispatch_timer_resume success");
    return 0;
}

int dispatch_thread_async(zel_dispatch_t *object)
{
    return run_once(object, "dispatch_thread_async", false);
}

int dispatch_thread_sync(zel_dispatch_t *object)
{
    const int rc = run_once(object, "dispatch_thread_sync", true);
    return rc == 0 ? object->result.load() : rc;
}

int dispatch_thread_sync_in_queue(zel_dispatch_t *object, zel_dispatch_t *queue)
{
    if (!object || !queue)
        return ZEL_EINVAL;
    if (!lock_idle(object, "dispatch_thread_sync_in_queue"))
        return ZEL_EBUSY;
    pthread_mutex_unlock(&object->mutex);
    auto *request = new (std::nothrow) sync_request{object, nullptr, 0};
    if (!request) {
        std::puts("dispatch_thread_sync_in_queue malloc error");
        return ZEL_ENOMEM;
    }
    request->done = semaphore_init(0);
    if (!request->done) {
        delete request;
        std::puts("dispatch_thread_sync_in_queue dispatch_create error");
        return ZEL_ETHREAD;
    }
    const int rc = put_item(queue, request, true);
    if (rc == 0)
        semaphore_wait(request->done, -1);
    const int result = rc == 0 ? request->result : rc;
    semaphore_destory(request->done);
    delete request;
    if (rc == 0)
        std::puts("dispatch_thread_sync_in_queue success");
    return result;
}

int dispatch_get_result(zel_dispatch_t *object)
{
    return object ? object->result.load() : ZEL_EINVAL;
}

zel_dispatch_group_t *dispatch_group_create(void)
{
    auto *group = new (std::nothrow) zel_dispatch_group;
    if (!group)
        return nullptr;
    group->members = zel_array_create(kGroupInitial, kGroupMaximum);
    if (!group->members) {
        delete group;
        return nullptr;
    }
    pthread_mutex_init(&group->mutex, nullptr);
    return group;
}

int dispatch_group_release(zel_dispatch_group_t *group)
{
    if (!group)
        return ZEL_EINVAL;
    zel_array_release(group->members);
    pthread_mutex_destroy(&group->mutex);
    delete group;
    return 0;
}

int dispatch_group_enter(zel_dispatch_group_t *group, zel_dispatch_t *object)
{
    if (!group || !object)
        return ZEL_EINVAL;
    pthread_mutex_lock(&group->mutex);
    const int rc = zel_array_enqueue(group->members, object);
    pthread_mutex_unlock(&group->mutex);
    return rc;
}

int dispatch_group_leave(zel_dispatch_group_t *group, zel_dispatch_t *object)
{
    if (!group || !object)
        return ZEL_EINVAL;
    pthread_mutex_lock(&group->mutex);
    void *removed = zel_array_search_and_remove(group->members, 0, dispatch_group_element_matcher, object);
    pthread_mutex_unlock(&group->mutex);
    return removed ? 0 : ZEL_ENOTFOUND;
}

int dispatch_group_start(zel_dispatch_group_t *group)
{
    return start_or_stop_members(group, true);
}

int dispatch_group_stop(zel_dispatch_group_t *group)
{
    return start_or_stop_members(group, false);
}

int dispatch_group_element_matcher(const void *a, const void *b)
{
    return a == b ? 0 : -1;
}

} // extern "C"
