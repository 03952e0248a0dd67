// The epoll poller: one epoll_wait fills an array of events that later waits hand out one by one.
// Removing a descriptor drops the events held for it, so that a new entry reusing the descriptor does
// not get them; a mutex guards the held events against removals from other threads.
#include "zel_net_core/zel_poller.h"

#include <errno.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_error.h"

namespace {

constexpr const char *TAG = "ZEL_NET";
constexpr int kDefaultEvents = 1024;

struct epoll_poller {
    pthread_mutex_t mutex;
    int epfd;
    int max_events;
    epoll_event *events;
    int next;   // index of the next unreported event
    int count;  // events returned by the last epoll_wait
};

epoll_poller *as_epoll(zel_poller_t *p)
{
    return reinterpret_cast<epoll_poller *>(p);
}

uint32_t to_epoll(int flags)
{
    uint32_t ev = 0;
    if (flags & ZEL_POLL_READ)
        ev |= EPOLLIN;
    if (flags & ZEL_POLL_WRITE)
        ev |= EPOLLOUT;
    return ev;
}

int from_epoll(uint32_t ev)
{
    int flags = 0;
    if (ev & (EPOLLIN | EPOLLRDHUP))
        flags |= ZEL_POLL_READ;
    if (ev & EPOLLOUT)
        flags |= ZEL_POLL_WRITE;
    if (ev & (EPOLLERR | EPOLLHUP))
        flags |= ZEL_POLL_ERROR;
    return flags;
}

zel_poller_t *create(int max_events)
{
    auto *p = new (std::nothrow) epoll_poller{};
    if (!p)
        return nullptr;
    p->max_events = max_events > 0 ? max_events : kDefaultEvents;
    p->events = new (std::nothrow) epoll_event[p->max_events];
    p->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (!p->events || p->epfd < 0) {
        ZEL_LOGE(TAG, "epoll poller: cannot be made: %s", std::strerror(errno));
        if (p->epfd >= 0)
            close(p->epfd);
        delete[] p->events;
        delete p;
        return nullptr;
    }
    pthread_mutex_init(&p->mutex, nullptr);
    return reinterpret_cast<zel_poller_t *>(p);
}

void release(zel_poller_t *poller)
{
    if (!poller)
        return;
    epoll_poller *p = as_epoll(poller);
    close(p->epfd);
    pthread_mutex_destroy(&p->mutex);
    delete[] p->events;
    delete p;
}

int control(zel_poller_t *poller, int op, int fd, int flags)
{
    if (!poller || fd < 0)
        return ZEL_EINVAL;
    epoll_poller *p = as_epoll(poller);
    epoll_event ev{};
    ev.events = to_epoll(flags);
    ev.data.fd = fd;
    if (epoll_ctl(p->epfd, op, fd, &ev) == 0)
        return 0;
    switch (errno) {
    case EEXIST: return ZEL_EBUSY;
    case ENOENT: return ZEL_ENOTFOUND;
    case EBADF:
    case EPERM: return ZEL_EINVAL;
    default:
        ZEL_LOGE(TAG, "epoll poller: epoll_ctl of %d: %s", fd, std::strerror(errno));
        return ZEL_EFAIL;
    }
}

int add_fd(zel_poller_t *poller, int fd, int flags)
{
    return control(poller, EPOLL_CTL_ADD, fd, flags);
}

int mod_fd(zel_poller_t *poller, int fd, int flags)
{
    return control(poller, EPOLL_CTL_MOD, fd, flags);
}

int remove_fd(zel_poller_t *poller, int fd)
{
    const int rc = control(poller, EPOLL_CTL_DEL, fd, 0);
    if (rc != 0)
        return rc;
    epoll_poller *p = as_epoll(poller);
    pthread_mutex_lock(&p->mutex);
    const auto held = std::remove_if(p->events + p->next, p->events + p->count,
                                     [fd](const epoll_event &ev) { return ev.data.fd == fd; });
    p->count = static_cast<int>(held - p->events);
    pthread_mutex_unlock(&p->mutex);
    return 0;
}

int wait(zel_poller_t *poller, int timeout_ms, int *fd, int *events)
{
    if (!poller || !fd || !events)
        return ZEL_EINVAL;
    epoll_poller *p = as_epoll(poller);
    *events = 0;
    pthread_mutex_lock(&p->mutex);
    if (p->next < p->count) {
        const epoll_event &ev = p->events[p->next++];
        *fd = ev.data.fd;
        *events = from_epoll(ev.events);
        pthread_mutex_unlock(&p->mutex);
        return 1;
    }
    p->next = p->count = 0;
    pthread_mutex_unlock(&p->mutex);
    const int n = epoll_wait(p->epfd, p->events, p->max_events, timeout_ms);
    if (n < 0) {
        if (errno == EINTR)
            return 0;
        ZEL_LOGE(TAG, "epoll poller: epoll_wait failed: %s", std::strerror(errno));
        *events = ZEL_POLL_ERROR;
        return ZEL_EFAIL;
    }
    pthread_mutex_lock(&p->mutex);
    p->count = n;
    pthread_mutex_unlock(&p->mutex);
    return n == 0 ? 0 : wait(poller, 0, fd, events);
}

constexpr zel_poller_ops kEpollOps = {create, release, add_fd, mod_fd, remove_fd, wait};

} // namespace

extern "C" const zel_poller_ops *zel_epoll_poller(void)
{
    return &kEpollOps;
}
