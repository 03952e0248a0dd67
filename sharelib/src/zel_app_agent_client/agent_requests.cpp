// The pending-request list of the agent-bus client: requests wait here from their send until their
// reply settles them, or until their deadline passes and they are settled as not OK.
#include "zel_app_agent_client/agent_client.h"

#include <errno.h>
#include <time.h>

#include <array>
#include <atomic>
#include <cstring>
#include <new>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_clock.h"

zel_array_t *requests = nullptr;
pthread_mutex_t requests_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr const char *TAG = "AGENT_CLIENT";
// Capacity 6 doubling once: at most 12 requests pending.
constexpr int REQUESTS_INITIAL = 6;
constexpr int REQUESTS_LIMIT = 20;
constexpr int REPLY_WAIT_S = 10;
constexpr int OTA_REPLY_WAIT_S = 150;

std::atomic<uint32_t> g_request_counter{0};

struct RequestsGuard {
    RequestsGuard() { pthread_mutex_lock(&requests_lock); }
    ~RequestsGuard() { pthread_mutex_unlock(&requests_lock); }
    RequestsGuard(const RequestsGuard &) = delete;
    RequestsGuard &operator=(const RequestsGuard &) = delete;
};

bool is_ota_method(const char *method)
{
    return std::strncmp(method, "lumo.ota", 8) == 0;
}

int size_of_requests()
{
    return requests ? zel_array_get_size(requests) : 0;
}

} // namespace

agent_request_t *new_request(const char *method, int data, int sync, agent_request_cb_t callback, void *context,
                             int fd)
{
    if (!method)
        return nullptr;
    auto *request = new (std::nothrow) agent_request_t{};
    if (!request)
        return nullptr;
    // Ids run from 1 and stay positive when the counter wraps.
    request->id = static_cast<int32_t>(g_request_counter.fetch_add(1, std::memory_order_relaxed) % 0x7fffffffu) + 1;
    request->method = method;
    request->sync = sync;
    request->callback = callback;
    request->context = context;
    request->fd = fd;
    request->deadline_ms = time_monotonic_ms() + 1000LL * (is_ota_method(method) ? OTA_REPLY_WAIT_S : REPLY_WAIT_S);
    request->data = new (std::nothrow) int32_t(data);
    if (!request->data) {
        delete request;
        return nullptr;
    }
    if (sync && sem_init(&request->sem, 0, 0) != 0) {
        ZEL_LOGE(TAG, "sem_init: %s", std::strerror(errno));
        delete request->data;
        delete request;
        return nullptr;
    }
    return request;
}

void free_request(agent_request_t *request)
{
    if (!request)
        return;
    if (request->sync)
        sem_destroy(&request->sem);
    delete request->data;
    delete request;
}

int request_matcher(const void *item, const void *key)
{
    return static_cast<const agent_request_t *>(item)->id == *static_cast<const int *>(key) ? 0 : 1;
}

int find_request(int id)
{
    if (!requests)
        return -4;
    return zel_array_search(requests, 0, request_matcher, &id);
}

int add_request_agent_ser(agent_request_t *request)
{
    if (!request)
        return -1;
    requests_expire();
    RequestsGuard guard;
    if (!requests) {
        requests = zel_array_create(REQUESTS_INITIAL, REQUESTS_LIMIT);
        if (!requests) {
            ZEL_LOGE(TAG, "array_create error");
            return -1;
        }
    }
    if (zel_array_enqueue(requests, request) != 0) {
        ZEL_LOGE(TAG, "array_enqueue error");
        return -1;
    }
    return 0;
}

int remove_request_agent_ser(int id)
{
    agent_request_t *request = nullptr;
    int before = 0;
    int after = 0;
    {
        RequestsGuard guard;
        const int index = find_request(id);
        if (index >= 0) {
            before = size_of_requests();
            request = static_cast<agent_request_t *>(zel_array_remove(requests, index));
            after = size_of_requests();
        }
    }
    if (!request) {
        ZEL_LOGE(TAG, "invalid param\n");
        return -1;
    }
    free_request(request);
    ZEL_LOGD(TAG, "size=%d, after remove requests size = %d\n", before, after);
    return 0;
}

int ack_request(int id)
{
    RequestsGuard guard;
    if (find_request(id) < 0) {
        ZEL_LOGE(TAG, "invalid param\n");
        return -1;
    }
    return 0;
}

int remove_request_from_requests(const char *text)
{
    int id = 0;
    if (json_verify_get_int(text, "id", &id) != 0) {
        ZEL_LOGE(TAG, "json_verify_get_int error. %s key:id\n", text ? text : "(null)");
        return -1;
    }
    char result[20] = {};
    json_verify_get_string(text, "result", result, sizeof result);
    const int not_ok = std::strcmp(result, "OK") != 0;

    agent_request_t *request = nullptr;
    int before = 0;
    int after = 0;
    {
        RequestsGuard guard;
        const int index = find_request(id);
        if (index < 0) {
            ZEL_LOGE(TAG, "invalid param.id = %d\n", id);
            ZEL_LOGE(TAG, "This request(%d) was not found.\n", id);
            return -1;
        }
        request = static_cast<agent_request_t *>(zel_array_get(requests, index));
        ZEL_LOGD(TAG, "id = %d method = %s index = %d\n", id, request->method, index);
        request->not_ok = not_ok;
        if (request->sync) {
            // The waiting sender runs the callback and removes the request.
            sem_post(&request->sem);
            return 0;
        }
        before = size_of_requests();
        zel_array_remove(requests, index);
        after = size_of_requests();
    }
    if (request->callback)
        request->callback(not_ok, request->data, request->context);
    ZEL_LOGD(TAG, "size=%d, after remove requests size = %d\n", before, after);
    free_request(request);
    return 0;
}

namespace {

// Takes every request that is not sync (a sync one is settled by its own waiting sender) and that
// `settle` picks out of the list, then runs its callback as not OK outside the lock and frees it.
template <typename Pick> int settle_not_ok(Pick settle, const char *why)
{
    std::array<agent_request_t *, REQUESTS_LIMIT> taken{};
    size_t count = 0;
    {
        RequestsGuard guard;
        for (int i = 0; i < size_of_requests() && count < taken.size();) {
            auto *request = static_cast<agent_request_t *>(zel_array_get(requests, i));
            if (!request->sync && settle(*request))
                taken[count++] = static_cast<agent_request_t *>(zel_array_remove(requests, i));
            else
                ++i;
        }
    }
    for (size_t i = 0; i < count; ++i) {
        agent_request_t *request = taken[i];
        ZEL_LOGW(TAG, "request(%d) %s %s, not ok", request->id, request->method, why);
        request->not_ok = 1;
        if (request->callback)
            request->callback(1, request->data, request->context);
        free_request(request);
    }
    return static_cast<int>(count);
}

} // namespace

int requests_expire(void)
{
    const int64_t now = time_monotonic_ms();
    return settle_not_ok([now](const agent_request_t &r) { return r.deadline_ms <= now; }, "got no reply in time");
}

int requests_settle_fd(int fd)
{
    return settle_not_ok([fd](const agent_request_t &r) { return r.fd == fd; }, "lost its connection");
}

void requests_clear(void)
{
    RequestsGuard guard;
    if (!requests)
        return;
    while (auto *request = static_cast<agent_request_t *>(zel_array_dequeue(requests)))
        free_request(request);
    zel_array_release(requests);
    requests = nullptr;
}

void requests_destroy(void)
{
    requests_clear();
    pthread_mutex_destroy(&requests_lock);
}

int semaphore_timedwait(sem_t *sem, int timeout_s)
{
    if (!sem)
        return -1;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_s;
    for (;;) {
        if (sem_clockwait(sem, CLOCK_MONOTONIC, &deadline) == 0)
            return 0;
        if (errno == EINTR) {
            ZEL_LOGW(TAG, "sem_timedwait error.");
            continue;
        }
        if (errno == ETIMEDOUT)
            ZEL_LOGE(TAG, "sem_timedwait timeout!%ld.%ld\n", static_cast<long>(deadline.tv_sec),
                     static_cast<long>(deadline.tv_nsec));
        else
            ZEL_LOGE(TAG, "sem_clockwait: %s", std::strerror(errno));
        return -1;
    }
}
