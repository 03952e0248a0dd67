// The timer service: each timer is a monotonic timerfd behind an id of its own (ids are never those of
// a reused descriptor); one thread "ko_timer" waits on all of them and runs the callbacks.
#include "common/ipc/ko_timer.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "common/report_stat/ko_thread_alive.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_thread.h"

namespace {

constexpr const char *kModule = "KO TIMER";
constexpr int kWaitMs = 50;

struct Entry {
    int fd = -1;
    uint32_t first_ms = 0;
    uint32_t interval_ms = 0;
    void *user = nullptr;
    ko_timer_callback callback = nullptr;
    bool deleted = false; // disarmed by ko_timer_del; closed and removed by the thread
};

struct Service {
    std::mutex lock;
    std::condition_variable idle_cv;
    bool running = false;
    int capacity = 0;
    int next_id = 1;
    std::map<int, Entry> timers; // id order is the order of adding
    ko_thread *thread = nullptr;
};

// Never destroyed: the SDK is not stopped before the process ends, so the thread may still be
// reaping timers while the exit handlers run.
Service &g_timer = *new Service;

timespec to_timespec(uint32_t ms)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000u);
    ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    return ts;
}

// First expiry first_ms; period interval_ms, or first_ms for a one-shot (the thread disarms it).
int arm(int fd, uint32_t first_ms, uint32_t interval_ms)
{
    itimerspec spec{};
    spec.it_value = to_timespec(first_ms);
    spec.it_interval = first_ms ? to_timespec(interval_ms ? interval_ms : first_ms) : timespec{};
    return timerfd_settime(fd, 0, &spec, nullptr);
}

bool disarmed(int fd)
{
    itimerspec now{};
    if (timerfd_gettime(fd, &now) != 0)
        return true;
    return now.it_value.tv_sec == 0 && now.it_value.tv_nsec == 0 && now.it_interval.tv_sec == 0 &&
           now.it_interval.tv_nsec == 0;
}

int new_id()
{
    for (;;) {
        const int id = g_timer.next_id;
        g_timer.next_id = id == INT_MAX ? 1 : id + 1;
        if (!g_timer.timers.count(id))
            return id;
    }
}

// Closes and removes deleted and disarmed entries; fills the wait set. The caller holds the lock.
void reap(std::vector<pollfd> &fds, std::vector<int> &ids)
{
    for (auto it = g_timer.timers.begin(); it != g_timer.timers.end();) {
        if (it->second.deleted || disarmed(it->second.fd)) {
            close(it->second.fd);
            it = g_timer.timers.erase(it);
            continue;
        }
        fds.push_back(pollfd{it->second.fd, POLLIN, 0});
        ids.push_back(it->first);
        ++it;
    }
}

// Runs the callback of a ready timer, unless it was deleted or re-armed since the wait.
void fire(int id)
{
    std::unique_lock<std::mutex> lock(g_timer.lock);
    auto it = g_timer.timers.find(id);
    if (it == g_timer.timers.end() || it->second.deleted)
        return;
    Entry &e = it->second;
    uint64_t count = 0;
    // The count is read before a one-shot is disarmed: disarming clears it.
    const ssize_t n = read(e.fd, &count, sizeof(count));
    if (n != static_cast<ssize_t>(sizeof(count))) {
        if (n < 0 && errno != EAGAIN)
            KO_LOGE(kModule, "system call err:%s, errno:%s\n", "timer: read", std::strerror(errno));
        return;
    }
    if (e.interval_ms == 0 && arm(e.fd, 0, 0) != 0)
        KO_LOGE(kModule, "timer: set failed!\n");
    const ko_timer_callback callback = e.callback;
    void *user = e.user;
    lock.unlock();
    callback(id, user);
}

void *timer_thread(void *)
{
    std::vector<pollfd> fds;
    std::vector<int> ids;
    for (;;) {
        thread_alive_update_status(THREAD_ALIVE_RUNNING, 0);
        fds.clear();
        ids.clear();
        {
            std::unique_lock<std::mutex> lock(g_timer.lock);
            if (!g_timer.running)
                break;
            reap(fds, ids);
            if (fds.empty()) {
                g_timer.idle_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), [] { return !g_timer.running; });
                continue;
            }
        }
        const int ready = poll(fds.data(), fds.size(), kWaitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            KO_LOGE(kModule, "timer: timer function error!\n");
            break;
        }
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i)
            if (fds[i].revents & POLLIN)
                fire(ids[i]);
    }
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

} // namespace

int ko_timer_init(int capacity)
{
    std::unique_lock<std::mutex> lock(g_timer.lock);
    if (g_timer.running) {
        KO_LOGE(kModule, "timer: is alive!\n");
        return -1;
    }
    if (capacity < 1) {
        KO_LOGE(kModule, "timer: invalid param!\n");
        return -1;
    }
    g_timer.capacity = capacity;
    g_timer.running = true;
    ko_thread_attr attr{};
    attr.stack_size = 128 * 1024;
    std::strcpy(attr.name, "ko_timer");
    g_timer.thread = ko_thread_run(&attr, timer_thread, nullptr);
    if (!g_timer.thread) {
        KO_LOGE(kModule, "timer: task wrong!\n");
        g_timer.running = false;
        return -1;
    }
    KO_LOGI(kModule, "timer: init ok!\n");
    return 0;
}

int ko_timer_deinit(void)
{
    ko_thread *thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_timer.lock);
        if (!g_timer.running) {
            KO_LOGE(kModule, "timer: is dead!\n");
            return -1;
        }
        g_timer.running = false;
        thread = g_timer.thread;
        g_timer.thread = nullptr;
        g_timer.idle_cv.notify_all();
    }
    ko_thread_destory(thread);
    std::lock_guard<std::mutex> lock(g_timer.lock);
    for (auto &[id, e] : g_timer.timers)
        close(e.fd);
    g_timer.timers.clear();
    KO_LOGI(kModule, "timer: deinit ok!\n");
    return 0;
}

int ko_timer_add(const ko_timer *timer)
{
    std::lock_guard<std::mutex> lock(g_timer.lock);
    if (!g_timer.running) {
        KO_LOGE(kModule, "timer: is dead!\n");
        return -1;
    }
    if (g_timer.timers.size() >= static_cast<size_t>(g_timer.capacity)) {
        KO_LOGE(kModule, "timer: timer enough!\n");
        return -1;
    }
    if (!timer || timer->first_ms == 0 || !timer->callback) {
        KO_LOGE(kModule, "timer: invalid param!\n");
        return -1;
    }
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        KO_LOGE(kModule, "timer: create failed!\n");
        return -1;
    }
    if (arm(fd, timer->first_ms, timer->interval_ms) != 0) {
        KO_LOGE(kModule, "timer: add failed!\n");
        close(fd);
        return -1;
    }
    const int id = new_id();
    try {
        g_timer.timers[id] = Entry{fd, timer->first_ms, timer->interval_ms, timer->user, timer->callback, false};
    } catch (const std::bad_alloc &) {
        KO_LOGE(kModule, "timer: malloc wrong!\n");
        close(fd);
        return -1;
    }
    KO_LOGI(kModule, "timer: timeid(%d) add!\n", id);
    return id;
}

int ko_timer_mod(int timer_id, const ko_timer *timer)
{
    std::lock_guard<std::mutex> lock(g_timer.lock);
    if (!g_timer.running) {
        KO_LOGE(kModule, "timer: is dead!\n");
        return -1;
    }
    if (!timer) {
        KO_LOGE(kModule, "timer: invalid param!\n");
        return -1;
    }
    auto it = g_timer.timers.find(timer_id);
    if (it == g_timer.timers.end() || it->second.deleted) {
        KO_LOGE(kModule, "timer: mod timerid(%d) not found!\n", timer_id);
        return -1;
    }
    Entry &e = it->second;
    if (arm(e.fd, timer->first_ms, timer->interval_ms) != 0) {
        KO_LOGE(kModule, "timer: mod failed!\n");
        return -1;
    }
    e.first_ms = timer->first_ms;
    e.interval_ms = timer->interval_ms;
    if (timer->callback)
        e.callback = timer->callback;
    if (timer->user)
        e.user = timer->user;
    KO_LOGI(kModule, "timer: timerid(%d) mod!\n", timer_id);
    return 0;
}

int ko_timer_del(int timer_id)
{
    std::lock_guard<std::mutex> lock(g_timer.lock);
    if (!g_timer.running) {
        KO_LOGE(kModule, "timer: is dead!\n");
        return -1;
    }
    auto it = g_timer.timers.find(timer_id);
    if (it == g_timer.timers.end() || it->second.deleted) {
        KO_LOGE(kModule, "timer: del timerid(%d) not found!\n", timer_id);
        return -1;
    }
    if (arm(it->second.fd, 0, 0) != 0) {
        KO_LOGE(kModule, "timer: del failed!\n");
        return -1;
    }
    it->second.deleted = true;
    KO_LOGI(kModule, "timer: timerid(%d) delete!\n", timer_id);
    return 0;
}
