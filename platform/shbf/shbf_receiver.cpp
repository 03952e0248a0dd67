// The receiver: connects to a broadcaster's endpoint (again each second while it cannot), reads
// whole frames and hands them to the data or event callback; messages go the other way from any
// thread under a lock of its own.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <ev.h>

#include <mutex>
#include <string>

#include "shbf.h"
#include "shbf_wire.h"

namespace {

constexpr int kSendWaitMs = 200;

} // namespace

struct shbfev_rcv {
    struct ev_loop *loop = nullptr;
    std::string path;
    int fd = -1;
    std::mutex send_mutex; // guards fd against the loop closing it
    ev_io rio{};
    ev_timer retry{};
    shbf::Parser parser{SHBF_MAX_FRAME};
    shbfev_rcv_cb callbacks[4] = {};
    void *users[4] = {};
    bool started = false;
};

namespace {

void emit(shbfev_rcv_t *r, int event, shbf_frame_t *frame)
{
    if (r->callbacks[event])
        r->callbacks[event](r, event, frame, r->users[event]);
    else
        shbf_free(frame);
}

void on_frame(shbf_frame_t *f, void *ctx)
{
    auto *r = static_cast<shbfev_rcv_t *>(ctx);
    emit(r, (f->flags & SHBF_FLAG_EVENT) ? SHBF_RCV_EVENT : SHBF_RCV_DATA, f);
}

void drop_link(shbfev_rcv_t *r)
{
    ev_io_stop(r->loop, &r->rio);
    {
        std::lock_guard<std::mutex> g(r->send_mutex);
        close(r->fd);
        r->fd = -1;
    }
    r->parser.reset();
    ev_timer_set(&r->retry, 1.0, 0.0);
    ev_timer_start(r->loop, &r->retry);
    emit(r, SHBF_RCV_CLOSE, nullptr);
}

void on_readable(struct ev_loop *, ev_io *w, int)
{
    auto *r = static_cast<shbfev_rcv_t *>(w->data);
    uint8_t buf[65536];
    // A bounded number of reads per wake-up, so one busy link does not starve the loop.
    for (int i = 0; i < 16; i++) {
        ssize_t n = recv(r->fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0 || r->parser.feed(buf, static_cast<size_t>(n), on_frame, r) != 0) {
            drop_link(r);
            return;
        }
        if (r->fd < 0)
            return;
    }
}

void try_connect(shbfev_rcv_t *r)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, r->path.c_str(), r->path.size() + 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (fd >= 0)
            close(fd);
        ev_timer_set(&r->retry, 1.0, 0.0);
        ev_timer_start(r->loop, &r->retry);
        return;
    }
    {
        std::lock_guard<std::mutex> g(r->send_mutex);
        r->fd = fd;
    }
    ev_io_set(&r->rio, fd, EV_READ);
    ev_io_start(r->loop, &r->rio);
    emit(r, SHBF_RCV_START, nullptr);
}

void on_retry(struct ev_loop *, ev_timer *w, int) { try_connect(static_cast<shbfev_rcv_t *>(w->data)); }

// Writes all of p or fails, waiting at most until the deadline for room.
bool send_all(int fd, const uint8_t *p, size_t n, const struct timespec &deadline)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            p += w, n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            return false;
    }
    return true;
}

} // namespace

extern "C" int shbf_rcv_global_init(void) { return 0; }
extern "C" void shbf_rcv_global_exit(void) {}

extern "C" shbfev_rcv_t *shbfev_rcv_create(struct ev_loop *loop, const char *path)
{
    struct sockaddr_un addr;
    if (!loop || !path || strlen(path) >= sizeof addr.sun_path)
        return nullptr;
    auto *r = new shbfev_rcv;
    r->loop = loop;
    r->path = path;
    ev_init(&r->rio, on_readable);
    r->rio.data = r;
    ev_init(&r->retry, on_retry);
    r->retry.data = r;
    return r;
}

extern "C" int shbfev_rcv_event(shbfev_rcv_t *rcv, int event, shbfev_rcv_cb callback, void *user)
{
    if (!rcv || event < 0 || event > 3)
        return -1;
    rcv->callbacks[event] = callback;
    rcv->users[event] = user;
    return 0;
}

extern "C" int shbfev_rcv_start(shbfev_rcv_t *rcv)
{
    if (!rcv || rcv->started)
        return -1;
    rcv->started = true;
    try_connect(rcv);
    return 0;
}

extern "C" int shbfev_rcv_send_message(shbfev_rcv_t *rcv, const void *message, int len)
{
    if (!rcv || len < 0 || len > SHBF_MAX_MESSAGE || (len > 0 && !message))
        return -1;
    std::lock_guard<std::mutex> g(rcv->send_mutex);
    if (rcv->fd < 0)
        return -1;
    uint8_t header[SHBF_WIRE_HEADER];
    shbf_wire_put_header(header, static_cast<uint32_t>(len), 0, 0);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += kSendWaitMs * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    if (send_all(rcv->fd, header, sizeof header, deadline) &&
        send_all(rcv->fd, static_cast<const uint8_t *>(message), static_cast<size_t>(len), deadline))
        return 0;
    shutdown(rcv->fd, SHUT_RDWR); // a message cut in the middle would desynchronise the link
    return -1;
}

extern "C" int shbf_set_size(shbfev_rcv_t *rcv, int size)
{
    if (!rcv || size <= 0)
        return -1;
    rcv->parser.set_max(static_cast<uint32_t>(size));
    return 0;
}

extern "C" void shbfev_rcv_destroy(shbfev_rcv_t *rcv)
{
    if (!rcv)
        return;
    ev_io_stop(rcv->loop, &rcv->rio);
    ev_timer_stop(rcv->loop, &rcv->retry);
    if (rcv->fd >= 0)
        close(rcv->fd);
    delete rcv;
}
