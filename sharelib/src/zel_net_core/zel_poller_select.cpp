// The select poller. Registration and the result sets are guarded by a mutex of their own: a
// callback on a pool thread re-arms its descriptor while the loop thread waits.
#include "zel_net_core/zel_poller.h"

#include <errno.h>
#include <pthread.h>
#include <sys/select.h>

#include <cstring>
#include <new>

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_error.h"

namespace {

constexpr const char *TAG = "ZEL_NET";

struct select_poller {
    pthread_mutex_t mutex;
    fd_set read_set, write_set;      // registered
    fd_set read_ready, write_ready;  // of the last select, not yet reported
    bool registered[FD_SETSIZE];
    int highest;  // highest registered descriptor, -1 when none
    int pending;  // ready bits not yet reported
    int scan;
};

select_poller *as_select(zel_poller_t *p)
{
    return reinterpret_cast<select_poller *>(p);
}

bool valid(int fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

void set_bits(select_poller *p, int fd, int flags)
{
    if (flags & ZEL_POLL_READ)
        FD_SET(fd, &p->read_set);
    else
        FD_CLR(fd, &p->read_set);
    if (flags & ZEL_POLL_WRITE)
        FD_SET(fd, &p->write_set);
    else
        FD_CLR(fd, &p->write_set);
}

// Forgets results of `fd` for `flags` not yet reported.
void drop_ready(select_poller *p, int fd, int flags)
{
    if ((flags & ZEL_POLL_READ) && FD_ISSET(fd, &p->read_ready)) {
        FD_CLR(fd, &p->read_ready);
        p->pending--;
    }
    if ((flags & ZEL_POLL_WRITE) && FD_ISSET(fd, &p->write_ready)) {
        FD_CLR(fd, &p->write_ready);
        p->pending--;
    }
}

zel_poller_t *create(int)
{
    auto *p = new (std::nothrow) select_poller;
    if (!p)
        return nullptr;
    pthread_mutex_init(&p->mutex, nullptr);
    FD_ZERO(&p->read_set);
    FD_ZERO(&p->write_set);
    FD_ZERO(&p->read_ready);
    FD_ZERO(&p->write_ready);
    std::memset(p->registered, 0, sizeof p->registered);
    p->highest = -1;
    p->pending = 0;
    p->scan = 0;
    return reinterpret_cast<zel_poller_t *>(p);
}

void release(zel_poller_t *poller)
{
    if (!poller)
        return;
    select_poller *p = as_select(poller);
    pthread_mutex_destroy(&p->mutex);
    delete p;
}

int add_fd(zel_poller_t *poller, int fd, int flags)
{
    if (!poller || !valid(fd))
        return ZEL_EINVAL;
    select_poller *p = as_select(poller);
    pthread_mutex_lock(&p->mutex);
    if (p->registered[fd]) {
        pthread_mutex_unlock(&p->mutex);
        return ZEL_EBUSY;
    }
    p->registered[fd] = true;
    set_bits(p, fd, flags);
    if (fd > p->highest)
        p->highest = fd;
    pthread_mutex_unlock(&p->mutex);
    return 0;
}

// Locks the poller when `fd` is registered: 0, or -2 / -4 without the lock.
int lock_registered(select_poller *p, int fd)
{
    if (!p || !valid(fd))
        return ZEL_EINVAL;
    pthread_mutex_lock(&p->mutex);
    if (p->registered[fd])
        return 0;
    pthread_mutex_unlock(&p->mutex);
    return ZEL_ENOTFOUND;
}

int mod_fd(zel_poller_t *poller, int fd, int flags)
{
    select_poller *p = as_select(poller);
    if (const int rc = lock_registered(p, fd))
        return rc;
    set_bits(p, fd, flags);
    drop_ready(p, fd, ~flags);
    pthread_mutex_unlock(&p->mutex);
    return 0;
}

int remove_fd(zel_poller_t *poller, int fd)
{
    select_poller *p = as_select(poller);
    if (const int rc = lock_registered(p, fd))
        return rc;
    p->registered[fd] = false;
    set_bits(p, fd, 0);
    drop_ready(p, fd, ZEL_POLL_READ | ZEL_POLL_WRITE);
    while (p->highest >= 0 && !p->registered[p->highest])
        p->highest--;
    pthread_mutex_unlock(&p->mutex);
    return 0;
}

// Under the mutex: the next unreported descriptor from the scan position.
int report_next(select_poller *p, int *fd, int *events)
{
    for (; p->scan <= p->highest; p->scan++) {
        const int i = p->scan;
        int ev = 0;
        if (FD_ISSET(i, &p->read_ready)) {
            FD_CLR(i, &p->read_ready);
            ev |= ZEL_POLL_READ;
            p->pending--;
        }
        if (FD_ISSET(i, &p->write_ready)) {
            FD_CLR(i, &p->write_ready);
            ev |= ZEL_POLL_WRITE;
            p->pending--;
        }
        if (ev) {
            p->scan++;
            *fd = i;
            *events = ev;
            return 1;
        }
    }
    p->pending = 0;
    return 0;
}

int wait(zel_poller_t *poller, int timeout_ms, int *fd, int *events)
{
    if (!poller || !fd || !events)
        return ZEL_EINVAL;
    select_poller *p = as_select(poller);
    *events = 0;
    pthread_mutex_lock(&p->mutex);
    if (p->pending > 0 && report_next(p, fd, events) == 1) {
        pthread_mutex_unlock(&p->mutex);
        return 1;
    }
    fd_set r = p->read_set, w = p->write_set;
    const int nfds = p->highest + 1;
    pthread_mutex_unlock(&p->mutex);

    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    const int n = select(nfds, &r, &w, nullptr, timeout_ms < 0 ? nullptr : &tv);
    if (n < 0) {
        if (errno == EINTR)
            return 0;
        ZEL_LOGE(TAG, "select poller: select failed: %s", std::strerror(errno));
        *events = ZEL_POLL_ERROR;
        return ZEL_EFAIL;
    }
    if (n == 0)
        return 0;
    pthread_mutex_lock(&p->mutex);
    // Only descriptors still registered for what became ready count.
    FD_ZERO(&p->read_ready);
    FD_ZERO(&p->write_ready);
    p->pending = 0;
    for (int i = 0; i < nfds && i <= p->highest; i++) {
        if (FD_ISSET(i, &r) && FD_ISSET(i, &p->read_set)) {
            FD_SET(i, &p->read_ready);
            p->pending++;
        }
        if (FD_ISSET(i, &w) && FD_ISSET(i, &p->write_set)) {
            FD_SET(i, &p->write_ready);
            p->pending++;
        }
    }
    p->scan = 0;
    const int rc = report_next(p, fd, events);
    pthread_mutex_unlock(&p->mutex);
    return rc;
}

constexpr zel_poller_ops kSelectOps = {create, release, add_fd, mod_fd, remove_fd, wait};

} // namespace

extern "C" const zel_poller_ops *zel_select_poller(void)
{
    return &kSelectOps;
}
