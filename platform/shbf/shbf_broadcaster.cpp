// The broadcaster: a listening socket, and per receiver a bounded queue of whole frames. A
// broadcast writes straight to a receiver whose queue is empty (non-blocking) and queues the rest
// for the loop; a receiver whose queue is full loses the frame and is told so once (event 4).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <ev.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "shbf.h"
#include "shbf_test.h"
#include "shbf_wire.h"

namespace {

constexpr size_t kQueueBytes = 4u << 20; // per receiver: a couple of main-stream GOPs
// Room in the kernel for a whole main-stream key frame, so that a broadcast to a receiver that keeps
// up goes out in one write from the broadcasting thread instead of through the loop.
constexpr int kSocketBuffer = 1 << 20;

struct Out {
    shbf_frame_t *frame;
    uint8_t header[SHBF_WIRE_HEADER];
    size_t sent; // of header + data
};

struct Receiver {
    shbfev_brd_t *brd = nullptr;
    int id = 0;
    int fd = -1;
    ev_io rio{}, wio{};
    std::deque<Out> queue;
    size_t queued = 0;
    bool lagging = false;  // frames were dropped and not yet reported
    bool reported = false; // this episode was reported
    int failed = 0;        // errno of a failed write, closed by the loop
    shbf::Parser parser{SHBF_MAX_MESSAGE};
};

struct Event {
    int event, receiver, err;
    std::vector<uint8_t> data;
};

} // namespace

struct shbfev_brd {
    std::string path;
    int listen_fd = -1;
    struct ev_loop *loop = nullptr;
    ev_io accept_io{};
    ev_async wake{};
    std::mutex m;
    std::map<int, Receiver *> receivers;
    int next_id = 1;
    std::atomic<int> count{0};
    shbfev_brd_cb callbacks[6] = {};
    void *users[6] = {};
};

namespace {

void emit(shbfev_brd_t *b, const Event &e)
{
    if (e.event >= 1 && e.event <= 5 && b->callbacks[e.event])
        b->callbacks[e.event](b, e.event, e.receiver, e.err, e.data.data(), static_cast<int>(e.data.size()),
                              b->users[e.event]);
}

// Writes what the socket takes; false on a hard error (recorded in r->failed). Under b->m.
bool drain(Receiver *r)
{
    while (!r->queue.empty()) {
        Out &o = r->queue.front();
        struct iovec iov[2];
        int n = 0;
        if (o.sent < SHBF_WIRE_HEADER)
            iov[n++] = {o.header + o.sent, SHBF_WIRE_HEADER - o.sent};
        size_t body_sent = o.sent > SHBF_WIRE_HEADER ? o.sent - SHBF_WIRE_HEADER : 0;
        iov[n++] = {o.frame->data + body_sent, o.frame->length - body_sent};
        struct msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(n);
        ssize_t w = sendmsg(r->fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return true;
            r->failed = errno;
            return false;
        }
        o.sent += static_cast<size_t>(w);
        if (o.sent < SHBF_WIRE_HEADER + o.frame->length)
            return true;
        r->queued -= o.frame->length + SHBF_WIRE_HEADER;
        shbf_free(o.frame);
        r->queue.pop_front();
    }
    return true;
}

void close_receiver(shbfev_brd_t *b, Receiver *r, std::vector<Event> &events)
{
    ev_io_stop(b->loop, &r->rio);
    ev_io_stop(b->loop, &r->wio);
    close(r->fd);
    for (Out &o : r->queue)
        shbf_free(o.frame);
    b->receivers.erase(r->id);
    b->count = static_cast<int>(b->receivers.size());
    events.push_back({SHBF_BRD_RECEIVER_CLOSED, r->id, 0, {}});
    delete r;
}

// Loop thread: start writers for queued frames, close failed links, report lagging receivers.
void on_wake(struct ev_loop *, ev_async *w, int)
{
    auto *b = static_cast<shbfev_brd_t *>(w->data);
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> g(b->m);
        for (auto it = b->receivers.begin(); it != b->receivers.end();) {
            Receiver *r = (it++)->second;
            if (r->failed) {
                events.push_back({SHBF_BRD_RECEIVER_ERROR, r->id, r->failed, {}});
                close_receiver(b, r, events);
                continue;
            }
            if (r->lagging && !r->reported) {
                events.push_back({SHBF_BRD_RECEIVER_ERROR, r->id, EAGAIN, {}});
                r->reported = true;
            }
            if (!r->queue.empty())
                ev_io_start(b->loop, &r->wio);
        }
    }
    for (const Event &e : events)
        emit(b, e);
}

void on_writable(struct ev_loop *, ev_io *w, int)
{
    auto *r = static_cast<Receiver *>(w->data);
    shbfev_brd_t *b = r->brd;
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> g(b->m);
        if (!drain(r)) {
            events.push_back({SHBF_BRD_RECEIVER_ERROR, r->id, r->failed, {}});
            close_receiver(b, r, events);
        } else if (r->queue.empty()) {
            ev_io_stop(b->loop, &r->wio);
            r->lagging = r->reported = false;
        }
    }
    for (const Event &e : events)
        emit(b, e);
}

void on_message(shbf_frame_t *f, void *ctx)
{
    auto *events = static_cast<std::vector<Event> *>(ctx);
    events->back().data.assign(f->data, f->data + f->length);
    events->push_back({SHBF_BRD_MESSAGE, events->back().receiver, 0, {}});
    shbf_free(f);
}

void on_readable(struct ev_loop *, ev_io *w, int)
{
    auto *r = static_cast<Receiver *>(w->data);
    shbfev_brd_t *b = r->brd;
    uint8_t buf[16384];
    ssize_t n = recv(r->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    // Messages are collected first: a callback may destroy the broadcaster.
    std::vector<Event> events;
    events.push_back({SHBF_BRD_MESSAGE, r->id, 0, {}});
    int rc = n > 0 ? r->parser.feed(buf, static_cast<size_t>(n), on_message, &events) : -1;
    events.pop_back(); // the open slot
    if (rc != 0) {
        std::lock_guard<std::mutex> g(b->m);
        if (n < 0)
            events.push_back({SHBF_BRD_RECEIVER_ERROR, r->id, errno, {}});
        close_receiver(b, r, events);
    }
    for (const Event &e : events)
        emit(b, e);
}

// The endpoint stops accepting; links that stand stay.
void fail_endpoint(shbfev_brd_t *b, int err)
{
    ev_io_stop(b->loop, &b->accept_io);
    emit(b, {SHBF_BRD_CLOSED, 0, err, {}});
}

void on_accept(struct ev_loop *, ev_io *w, int)
{
    auto *b = static_cast<shbfev_brd_t *>(w->data);
    int fd = accept4(b->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
            return;
        fail_endpoint(b, errno);
        return;
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    auto *r = new Receiver;
    r->brd = b;
    r->fd = fd;
    ev_io_init(&r->rio, on_readable, fd, EV_READ);
    ev_io_init(&r->wio, on_writable, fd, EV_WRITE);
    r->rio.data = r->wio.data = r;
    {
        std::lock_guard<std::mutex> g(b->m);
        r->id = b->next_id++;
        b->receivers[r->id] = r;
        b->count = static_cast<int>(b->receivers.size());
    }
    ev_io_start(b->loop, &r->rio);
    emit(b, {SHBF_BRD_NEW_RECEIVER, r->id, 0, {}});
}

} // namespace

extern "C" shbfev_brd_t *shbfev_brd_create(const char *path)
{
    struct sockaddr_un addr;
    if (!path || strlen(path) >= sizeof addr.sun_path)
        return nullptr;
    auto *b = new shbfev_brd;
    b->path = path;
    return b;
}

extern "C" int shbfev_brd_event(shbfev_brd_t *brd, int event, shbfev_brd_cb callback, void *user)
{
    if (!brd || event < 1 || event > 5)
        return -1;
    brd->callbacks[event] = callback;
    brd->users[event] = user;
    return 0;
}

extern "C" int shbfev_brd_start(struct ev_loop *loop, shbfev_brd_t *brd)
{
    if (!loop || !brd || brd->listen_fd >= 0)
        return -EINVAL;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, brd->path.c_str(), brd->path.size() + 1);
    unlink(brd->path.c_str()); // an endpoint left by a process that died
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    brd->listen_fd = fd;
    brd->loop = loop;
    ev_io_init(&brd->accept_io, on_accept, fd, EV_READ);
    brd->accept_io.data = brd;
    ev_io_start(loop, &brd->accept_io);
    ev_async_init(&brd->wake, on_wake);
    brd->wake.data = brd;
    ev_async_start(loop, &brd->wake);
    return 0;
}

extern "C" void *shbfev_brd_alloc(shbfev_brd_t *brd, int size)
{
    if (!brd || size < 0 || size > 64 * 1024 * 1024)
        return nullptr;
    return shbf_frame_alloc(static_cast<uint32_t>(size));
}

extern "C" int shbfev_brd_broadcast(shbfev_brd_t *brd, void *frame)
{
    auto *f = static_cast<shbf_frame_t *>(frame);
    if (!brd || !f || !brd->loop)
        return -EINVAL;
    uint32_t flags = (f->flags & ~static_cast<uint32_t>(SHBF_FLAG_KEY)) | (f->key ? SHBF_FLAG_KEY : 0);
    bool wake = false;
    {
        std::lock_guard<std::mutex> g(brd->m);
        if (brd->receivers.empty())
            return -ENOTCONN;
        for (auto &[id, r] : brd->receivers) {
            if (r->failed)
                continue;
            size_t bytes = f->length + SHBF_WIRE_HEADER;
            if (r->queued + bytes > kQueueBytes && !r->queue.empty()) {
                r->lagging = true;
                wake |= !r->reported;
                continue; // this receiver loses the whole frame
            }
            Out o{f, {}, 0};
            shbf_wire_put_header(o.header, f->length, flags, f->timestamp);
            shbf::frame_ref(f);
            bool was_empty = r->queue.empty();
            r->queue.push_back(o);
            r->queued += bytes;
            if (was_empty && (!drain(r) || !r->queue.empty()))
                wake = true;
        }
    }
    if (wake)
        ev_async_send(brd->loop, &brd->wake);
    shbf_free(f); // the caller's hold; the queues keep theirs
    return 0;
}

extern "C" void shbfev_brd_test_fail(shbfev_brd_t *brd, int err)
{
    if (brd && brd->loop)
        fail_endpoint(brd, err);
}

extern "C" int shbfev_brd_receivers(shbfev_brd_t *brd) { return brd ? brd->count.load() : 0; }

extern "C" void shbfev_brd_destroy(shbfev_brd_t *brd)
{
    if (!brd)
        return;
    if (brd->loop) {
        std::vector<Event> ignored;
        std::lock_guard<std::mutex> g(brd->m);
        while (!brd->receivers.empty())
            close_receiver(brd, brd->receivers.begin()->second, ignored);
        ev_io_stop(brd->loop, &brd->accept_io);
        ev_async_stop(brd->loop, &brd->wake);
        close(brd->listen_fd);
        unlink(brd->path.c_str());
    }
    delete brd;
}
