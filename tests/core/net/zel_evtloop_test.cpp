// The event loop and its pollers: thousands of descriptors on epoll each dispatched once per
// readiness, the select poller's limits, removal while callbacks run (on the loop thread and on a
// pool), signals to the loop thread, and the loop's idleness while a pool callback runs.
#include "zel_net_core/zel_evtloop.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

struct Pair {
    int fd[2] = {-1, -1};
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
    ~Pair()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    void poke() const { ASSERT_EQ(write(fd[1], "x", 1), 1); }
};

// Reads one byte per dispatch and counts dispatches per descriptor.
struct Counter {
    std::mutex m;
    std::unordered_map<int, int> per_fd;
    std::atomic<int> total{0};
    std::atomic<int> released{0};
    static void on_ready(zel_evtloop_ops_t *, int fd, int events, void *user)
    {
        auto *c = static_cast<Counter *>(user);
        if (events == ZEL_POLL_RELEASED) {
            c->released++;
            return;
        }
        char b;
        (void)!read(fd, &b, 1);
        std::lock_guard<std::mutex> lock(c->m);
        c->per_fd[fd]++;
        c->total++;
    }
};

struct LoopDeleter {
    void operator()(zel_evtloop_ops_t *ops) const { ops->release(ops); }
};
using LoopPtr = std::unique_ptr<zel_evtloop_ops_t, LoopDeleter>;

// Raises the soft descriptor limit to at least `need`; false when the hard limit is lower.
bool raise_nofile(rlim_t need)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return false;
    if (rl.rlim_cur >= need)
        return true;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < need)
        return false;
    rl.rlim_cur = need;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

int64_t thread_cpu_us(pthread_t thread)
{
    clockid_t clock;
    if (pthread_getcpuclockid(thread, &clock) != 0)
        return -1;
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

} // namespace

TEST(ZelEvtloopEpoll, TwoThousandSocketpairsEachDispatchedOncePerReadiness)
{
    if (!raise_nofile(4200))
        GTEST_SKIP() << "needs 4200 descriptors (RLIMIT_NOFILE hard limit is lower)";
    std::vector<std::unique_ptr<Pair>> pairs;
    for (int i = 0; i < 2000; i++)
        pairs.push_back(std::make_unique<Pair>());
    Counter c;
    LoopPtr loop(zel_evtloop_factory("epoll"));
    ASSERT_NE(loop, nullptr);
    for (auto &p : pairs)
        ASSERT_EQ(loop->add(loop.get(), p->fd[0], ZEL_POLL_READ, Counter::on_ready, &c), 0);
    ASSERT_EQ(loop->start(loop.get()), 0);
    EXPECT_EQ(loop->start(loop.get()), -10);
    for (int round = 1; round <= 2; round++) {
        for (auto &p : pairs)
            p->poke();
        ASSERT_TRUE(zeltest::wait_until([&] { return c.total == 2000 * round; }, 10000ms));
        std::this_thread::sleep_for(zeltest::scaled(300ms));
        std::lock_guard<std::mutex> lock(c.m);
        EXPECT_EQ(c.total, 2000 * round);
        for (auto &p : pairs)
            ASSERT_EQ(c.per_fd[p->fd[0]], round) << "descriptor " << p->fd[0];
    }
    loop->stop(loop.get());
    loop.reset();
    EXPECT_EQ(c.released, 2000);  // every entry told once of the release
}

TEST(ZelEvtloopSelect, RefusesDescriptor1024AndStoresNothing)
{
    if (!raise_nofile(1100))
        GTEST_SKIP() << "needs descriptor 1024 (RLIMIT_NOFILE hard limit is lower)";
    Pair p;
    const int high = dup2(p.fd[0], 1024);
    ASSERT_EQ(high, 1024);
    Counter c;
    LoopPtr loop(zel_evtloop_factory("SeLeCt"));
    EXPECT_EQ(loop->add(loop.get(), high, ZEL_POLL_READ, Counter::on_ready, &c), -2);
    EXPECT_EQ(loop->remove(loop.get(), high), -4);
    EXPECT_EQ(loop->add(loop.get(), p.fd[0], ZEL_POLL_READ, Counter::on_ready, &c), 0);
    EXPECT_EQ(loop->add(loop.get(), p.fd[0], ZEL_POLL_READ, Counter::on_ready, &c), -10);
    EXPECT_EQ(loop->add(loop.get(), p.fd[1], ZEL_POLL_READ, nullptr, &c), -2);
    close(high);
    ASSERT_EQ(loop->start(loop.get()), 0);
    p.poke();
    EXPECT_TRUE(zeltest::wait_until([&] { return c.total == 1; }, 2000ms));
    loop.reset();
    EXPECT_EQ(c.released, 1);
}

namespace {

struct FirstEvents {
    std::atomic<int> calls{0};
    std::atomic<int> events{0};
    static void on_ready(zel_evtloop_ops_t *loop, int fd, int events, void *user)
    {
        auto *f = static_cast<FirstEvents *>(user);
        if (events == ZEL_POLL_RELEASED)
            return;
        if (f->calls++ == 0)
            f->events = events;
        // Removal from its own callback: the entry is freed after this returns.
        EXPECT_EQ(loop->remove(loop, fd), 0);
        EXPECT_EQ(loop->remove(loop, fd), -4);
    }
};

void expect_read_write_once(const char *kind)
{
    Pair p;
    p.poke();  // readable, and writable
    FirstEvents f;
    LoopPtr loop(zel_evtloop_factory(kind));
    ASSERT_EQ(loop->add(loop.get(), p.fd[0], ZEL_POLL_READ | ZEL_POLL_WRITE, FirstEvents::on_ready, &f), 0);
    ASSERT_EQ(loop->start(loop.get()), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return f.calls >= 1; }, 2000ms));
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(f.calls, 1);
    EXPECT_EQ(f.events, ZEL_POLL_READ | ZEL_POLL_WRITE);
}

} // namespace

TEST(ZelEvtloopSelect, ReadableAndWritableIsOneReportWithEvents5)
{
    expect_read_write_once("select");
}

TEST(ZelEvtloopEpoll, ReadableAndWritableIsOneReportWithEvents5)
{
    expect_read_write_once(nullptr);
}

namespace {

// Two descriptors ready in one pass: the first dispatched removes and closes the other and puts a new
// entry, with no data, on its number.
struct Reuse {
    int fd[2];
    int spare;
    std::atomic<int> calls{0};
    std::atomic<int> newcomer{0};
    static void on_ready(zel_evtloop_ops_t *loop, int fd, int events, void *user)
    {
        auto *r = static_cast<Reuse *>(user);
        if (events == ZEL_POLL_RELEASED || r->calls++ > 0)
            return;
        char byte;
        (void)!read(fd, &byte, 1);
        const int other = fd == r->fd[0] ? r->fd[1] : r->fd[0];
        EXPECT_EQ(loop->remove(loop, other), 0);
        close(other);
        ASSERT_EQ(dup2(r->spare, other), other);
        EXPECT_EQ(loop->add(loop, other, ZEL_POLL_READ, on_newcomer, r), 0);
    }
    static void on_newcomer(zel_evtloop_ops_t *, int, int events, void *user)
    {
        if (events != ZEL_POLL_RELEASED)
            static_cast<Reuse *>(user)->newcomer++;
    }
};

} // namespace

TEST(ZelEvtloopEpoll, ARemovedDescriptorsEventIsNotHandedToANewEntryOnItsNumber)
{
    Pair a, b, spare;
    a.poke();
    b.poke();
    Reuse r;
    r.fd[0] = a.fd[0];
    r.fd[1] = b.fd[0];
    r.spare = spare.fd[0];
    LoopPtr loop(zel_evtloop_factory(nullptr));
    for (int fd : r.fd)
        ASSERT_EQ(loop->add(loop.get(), fd, ZEL_POLL_READ, Reuse::on_ready, &r), 0);
    ASSERT_EQ(loop->start(loop.get()), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return r.calls >= 1; }, 2000ms));
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.newcomer, 0);
}

namespace {

struct Slow {
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<pthread_t> loop_thread{};
    int sleep_ms = 200;
    static void on_ready(zel_evtloop_ops_t *, int, int events, void *user)
    {
        auto *s = static_cast<Slow *>(user);
        if (events == ZEL_POLL_RELEASED)
            return;
        s->started++;
        std::this_thread::sleep_for(std::chrono::milliseconds(s->sleep_ms));
        s->finished++;
    }
};

} // namespace

TEST(ZelEvtloopPool, RemovalDuringAPoolCallbackWaitsForItsEnd)
{
    zel_thread_pool_t *pool = zel_thread_pool_create(1, 2, 4, 16);
    Pair p;
    Slow s;
    LoopPtr loop(zel_evtloop_factory("epoll"));
    loop->set_pool(loop.get(), pool);
    ASSERT_EQ(loop->add(loop.get(), p.fd[0], ZEL_POLL_READ, Slow::on_ready, &s), 0);
    ASSERT_EQ(loop->start(loop.get()), 0);
    p.poke();
    ASSERT_TRUE(zeltest::wait_until([&] { return s.started == 1; }, 2000ms));
    EXPECT_EQ(loop->remove(loop.get(), p.fd[0]), 0);  // the callback still runs: freed after it
    ASSERT_TRUE(zeltest::wait_until([&] { return s.finished == 1; }, 2000ms));
    std::this_thread::sleep_for(zeltest::scaled(100ms));
    EXPECT_EQ(s.started, 1);
    loop.reset();
    zel_thread_pool_release(pool);
}

TEST(ZelEvtloopPool, TheLoopThreadIdlesWhileAPoolCallbackRuns)
{
    zel_thread_pool_t *pool = zel_thread_pool_create(1, 2, 4, 16);
    Pair p, probe;
    std::atomic<pthread_t> loop_thread{};
    LoopPtr loop(zel_evtloop_factory("epoll"));
    // A first dispatch on the loop thread itself tells which thread that is.
    auto who = [](zel_evtloop_ops_t *, int fd, int events, void *user) {
        if (events == ZEL_POLL_RELEASED)
            return;
        char b;
        (void)!read(fd, &b, 1);
        static_cast<std::atomic<pthread_t> *>(user)->store(pthread_self());
    };
    ASSERT_EQ(loop->add(loop.get(), probe.fd[0], ZEL_POLL_READ, who, &loop_thread), 0);
    ASSERT_EQ(loop->start(loop.get()), 0);
    probe.poke();
    ASSERT_TRUE(zeltest::wait_until([&] { return loop_thread.load() != pthread_t{}; }, 2000ms));

    Slow s;
    s.sleep_ms = 1000;
    loop->set_pool(loop.get(), pool);
    ASSERT_EQ(loop->add(loop.get(), p.fd[0], ZEL_POLL_READ, Slow::on_ready, &s), 0);
    p.poke();  // never read: the descriptor stays ready while the callback sleeps
    ASSERT_TRUE(zeltest::wait_until([&] { return s.started == 1; }, 2000ms));
    const int64_t cpu_before = thread_cpu_us(loop_thread.load());
    ASSERT_TRUE(zeltest::wait_until([&] { return s.finished == 1; }, 3000ms));
    const int64_t cpu = thread_cpu_us(loop_thread.load()) - cpu_before;
    EXPECT_LT(cpu, zeltest::scaled(50ms).count() * 1000) << "loop thread used " << cpu << " us";
    // Still ready once re-armed: dispatched again.
    EXPECT_TRUE(zeltest::wait_until([&] { return s.started >= 2; }, 2000ms));
    loop->remove(loop.get(), p.fd[0]);
    loop.reset();
    zel_thread_pool_release(pool);
}

TEST(ZelEvtloopPool, ARefusedPoolItemLeavesTheDescriptorUsable)
{
    // One worker held by a gate item and room for one queued item: the loop's item is refused.
    zel_thread_pool_t *pool = zel_thread_pool_create(1, 1, 100, 1);
    static std::atomic<bool> hold{true};
    hold = true;
    auto block = [](void *, void *) -> void * {
        while (hold)
            std::this_thread::sleep_for(1ms);
        return nullptr;
    };
    ASSERT_GE(zel_thread_pool_add_work(pool, block, nullptr, nullptr, nullptr), 0);
    std::this_thread::sleep_for(zeltest::scaled(50ms));
    ASSERT_GE(zel_thread_pool_add_work(pool, block, nullptr, nullptr, nullptr), 0);  // fills the queue

    Pair p;
    Counter c;
    LoopPtr loop(zel_evtloop_factory("epoll"));
    loop->set_pool(loop.get(), pool);
    ASSERT_EQ(loop->add(loop.get(), p.fd[0], ZEL_POLL_READ, Counter::on_ready, &c), 0);
    ASSERT_EQ(loop->start(loop.get()), 0);
    p.poke();
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(c.total, 0);
    hold = false;  // the pool takes work again: the still-ready descriptor is dispatched
    EXPECT_TRUE(zeltest::wait_until([&] { return c.total == 1; }, 3000ms));
    loop.reset();
    zel_thread_pool_release(pool);
}

TEST(ZelEvtloopSignals, ASignalDoesNotEndTheLoopThread)
{
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the poller's wait ends with EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    for (const char *kind : {"select", "epoll"}) {
        Pair p;
        std::atomic<pthread_t> thread{};
        std::atomic<int> reads{0};
        struct Ctx {
            std::atomic<pthread_t> *thread;
            std::atomic<int> *reads;
        } ctx{&thread, &reads};
        auto on_ready = [](zel_evtloop_ops_t *, int fd, int events, void *user) {
            if (events == ZEL_POLL_RELEASED)
                return;
            auto *c = static_cast<Ctx *>(user);
            char b;
            (void)!read(fd, &b, 1);
            c->thread->store(pthread_self());
            c->reads->fetch_add(1);
        };
        LoopPtr loop(zel_evtloop_factory(kind));
        ASSERT_EQ(loop->add(loop.get(), p.fd[0], ZEL_POLL_READ, on_ready, &ctx), 0);
        ASSERT_EQ(loop->start(loop.get()), 0);
        p.poke();
        ASSERT_TRUE(zeltest::wait_until([&] { return reads == 1; }, 2000ms));
        for (int i = 0; i < 5; i++) {
            pthread_kill(thread.load(), SIGUSR2);
            std::this_thread::sleep_for(10ms);
        }
        p.poke();
        EXPECT_TRUE(zeltest::wait_until([&] { return reads == 2; }, 2000ms)) << kind;
    }
    sigaction(SIGUSR2, &old, nullptr);
}

TEST(ZelEvtloopLifecycle, StopsRestartsAndReleasesWhileAddsAndRemovesRace)
{
    LoopPtr loop(zel_evtloop_factory("epoll"));
    Counter c;
    ASSERT_EQ(loop->start(loop.get()), 0);
    std::vector<std::unique_ptr<Pair>> pairs;
    for (int i = 0; i < 32; i++)
        pairs.push_back(std::make_unique<Pair>());
    std::atomic<bool> stop{false};
    std::thread poker([&] {
        while (!stop) {
            for (auto &p : pairs)
                (void)!write(p->fd[1], "x", 1);
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int round = 0; round < 50; round++) {
        for (auto &p : pairs)
            loop->add(loop.get(), p->fd[0], ZEL_POLL_READ, Counter::on_ready, &c);
        std::this_thread::sleep_for(1ms);
        for (auto &p : pairs)
            EXPECT_EQ(loop->remove(loop.get(), p->fd[0]), 0);
    }
    stop = true;
    poker.join();
    loop->stop(loop.get());
    EXPECT_EQ(loop->start(loop.get()), 0);  // can be started again
    loop->stop(loop.get());
    EXPECT_GT(c.total, 0);
}

TEST(ZelEvtloopHostile, AFloodedDescriptorDoesNotStarveTheOthers)
{
    for (const char *kind : {"select", "epoll"}) {
        Pair flooded, quiet;
        Counter c;
        LoopPtr loop(zel_evtloop_factory(kind));
        ASSERT_EQ(loop->add(loop.get(), flooded.fd[0], ZEL_POLL_READ, Counter::on_ready, &c), 0);
        ASSERT_EQ(loop->add(loop.get(), quiet.fd[0], ZEL_POLL_READ, Counter::on_ready, &c), 0);
        ASSERT_EQ(loop->start(loop.get()), 0);
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            const char junk[4096] = {};
            while (!stop)
                (void)!write(flooded.fd[1], junk, sizeof junk);  // non-blocking: as fast as it is taken
        });
        std::this_thread::sleep_for(zeltest::scaled(100ms));
        quiet.poke();
        EXPECT_TRUE(zeltest::wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(c.m);
                return c.per_fd[quiet.fd[0]] == 1;
            },
            1000ms))
            << kind;
        stop = true;
        flood.join();
    }
}
