// Callbacks per second of the core event loop (epoll) over N eventfds that stay ready, next to a raw
// epoll_wait loop on its own thread calling the same function for the same descriptors. Goal: the
// event loop at 0.8x the raw loop or better.
#include <benchmark/benchmark.h>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "zel_net_core/zel_evtloop.h"

namespace {

constexpr int kBatch = 20000;

std::atomic<long> g_calls{0};

void on_ready(zel_evtloop_ops_t *, int, int, void *)
{
    g_calls.fetch_add(1, std::memory_order_relaxed);
}

std::vector<int> ready_eventfds(int n)
{
    std::vector<int> fds;
    for (int i = 0; i < n; i++) {
        const int fd = eventfd(1, EFD_NONBLOCK);  // a count of 1, never read: always readable
        fds.push_back(fd);
    }
    return fds;
}

void wait_calls(long target)
{
    while (g_calls.load(std::memory_order_relaxed) < target)
        std::this_thread::yield();
}

void BM_ZelEvtloop(benchmark::State &state)
{
    const std::vector<int> fds = ready_eventfds(static_cast<int>(state.range(0)));
    zel_evtloop_ops_t *loop = zel_evtloop_factory("epoll");
    for (int fd : fds)
        loop->add(loop, fd, ZEL_POLL_READ, on_ready, nullptr);
    g_calls = 0;
    loop->start(loop);
    long target = 0;
    for (auto _ : state) {
        target = g_calls.load() + kBatch;
        wait_calls(target);
    }
    loop->stop(loop);
    state.SetItemsProcessed(state.iterations() * kBatch);
    loop->release(loop);
    for (int fd : fds)
        close(fd);
}

void BM_RawEpollLoop(benchmark::State &state)
{
    const std::vector<int> fds = ready_eventfds(static_cast<int>(state.range(0)));
    const int ep = epoll_create1(0);
    for (int fd : fds) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    }
    std::atomic<bool> stop{false};
    g_calls = 0;
    std::thread loop([&] {
        std::vector<epoll_event> events(1024);
        while (!stop.load(std::memory_order_relaxed)) {
            const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 200);
            for (int i = 0; i < n; i++)
                on_ready(nullptr, events[i].data.fd, static_cast<int>(events[i].events), nullptr);
        }
    });
    for (auto _ : state)
        wait_calls(g_calls.load() + kBatch);
    stop = true;
    loop.join();
    state.SetItemsProcessed(state.iterations() * kBatch);
    close(ep);
    for (int fd : fds)
        close(fd);
}

} // namespace

BENCHMARK(BM_ZelEvtloop)->Arg(16)->Arg(256)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_RawEpollLoop)->Arg(16)->Arg(256)->UseRealTime()->MinTime(0.5);
