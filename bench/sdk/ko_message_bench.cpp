// Queued message-bus throughput and delivery latency (p99), next to a plain mutex + condition
// variable queue drained by the same number of threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "common/ipc/ko_message.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace {

constexpr int kBatch = 2000;

struct Latencies {
    std::mutex lock;
    std::vector<uint64_t> us;
    std::atomic<int> delivered{0};

    void add(uint64_t sent_us)
    {
        const uint64_t d = vexa_time_tick_us() - sent_us;
        std::lock_guard<std::mutex> guard(lock);
        us.push_back(d);
        ++delivered;
    }
    double p99()
    {
        std::lock_guard<std::mutex> guard(lock);
        if (us.empty())
            return 0;
        std::sort(us.begin(), us.end());
        return static_cast<double>(us[us.size() * 99 / 100]);
    }
};

Latencies *g_lat = nullptr;

void on_message(const ko_message_arg *arg)
{
    uint64_t sent = 0;
    std::memcpy(&sent, arg->param, sizeof(sent));
    g_lat->add(sent);
}

void BM_BusQueued(benchmark::State &state)
{
    // As on the camera, the logger runs before the bus and filters its per-message traces.
    ko_log_param quiet{};
    quiet.level = KO_LOG_WARN;
    ko_log_init(&quiet);
    Latencies lat;
    g_lat = &lat;
    ko_message_init(nullptr);
    ko_message_listen(KO_UID_P2P, "bench", on_message, nullptr);
    int64_t total = 0;
    for (auto _ : state) {
        lat.delivered = 0;
        for (int i = 0; i < kBatch; ++i) {
            uint64_t now = vexa_time_tick_us();
            while (ko_message_send(0, KO_UID_P2P, "bench", &now, sizeof(now), KO_MSG_MODE_ASYNC) ==
                   KO_MSG_ERR_FULL) {
                std::this_thread::yield();
                now = vexa_time_tick_us();
            }
        }
        while (lat.delivered < kBatch)
            std::this_thread::yield();
        total += kBatch;
    }
    state.SetItemsProcessed(total);
    state.counters["p99_us"] = lat.p99();
    ko_message_deinit();
    ko_log_deinit();
    g_lat = nullptr;
}

// The reference: one mutex, one condition variable, four consumers.
void BM_PlainQueue(benchmark::State &state)
{
    Latencies lat;
    std::mutex lock;
    std::condition_variable cv;
    std::deque<uint64_t> queue;
    bool stop = false;
    std::vector<std::thread> consumers;
    for (int i = 0; i < KO_MSG_MIN_WORKERS; ++i) {
        consumers.emplace_back([&] {
            std::unique_lock<std::mutex> guard(lock);
            for (;;) {
                cv.wait(guard, [&] { return stop || !queue.empty(); });
                if (stop)
                    return;
                const uint64_t sent = queue.front();
                queue.pop_front();
                guard.unlock();
                lat.add(sent);
                guard.lock();
            }
        });
    }
    int64_t total = 0;
    for (auto _ : state) {
        lat.delivered = 0;
        for (int i = 0; i < kBatch; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock);
                queue.push_back(vexa_time_tick_us());
            }
            cv.notify_one();
        }
        while (lat.delivered < kBatch)
            std::this_thread::yield();
        total += kBatch;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
    }
    cv.notify_all();
    for (auto &t : consumers)
        t.join();
    state.SetItemsProcessed(total);
    state.counters["p99_us"] = lat.p99();
}

} // namespace

BENCHMARK(BM_BusQueued)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainQueue)->UseRealTime()->Unit(benchmark::kMillisecond);
