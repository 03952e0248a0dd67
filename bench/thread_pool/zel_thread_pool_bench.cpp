// Tasks per second through the core thread pool, next to a plain pool of std::thread workers on a
// std::deque with one std::mutex and std::condition_variable, with as many workers. Each iteration
// queues a batch of small tasks from one producer and waits until all have run. Goal: the core pool
// at 0.7x the plain one or better.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "zel_control/thread/zel_thread_pool.h"

namespace {

constexpr int kBatch = 20000;

std::atomic<int> g_done{0};

void *task(void *, void *)
{
    g_done.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

void wait_done(int target)
{
    while (g_done.load(std::memory_order_relaxed) < target)
        std::this_thread::yield();
}

void BM_ZelThreadPool(benchmark::State &state)
{
    const int workers = static_cast<int>(state.range(0));
    zel_thread_pool_t *pool = zel_thread_pool_create(workers, workers, kBatch * 2, kBatch * 2);
    for (auto _ : state) {
        g_done = 0;
        for (int i = 0; i < kBatch; i++) {
            while (zel_thread_pool_add_work(pool, task, nullptr, nullptr, nullptr) < 0)
                std::this_thread::yield();
        }
        wait_done(kBatch);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    zel_thread_pool_release(pool);
}

// The baseline: the textbook worker pool.
class PlainPool {
public:
    explicit PlainPool(int workers)
    {
        for (int i = 0; i < workers; i++)
            threads_.emplace_back([this] { run(); });
    }
    ~PlainPool()
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto &t : threads_)
            t.join();
    }
    void add(void *(*fn)(void *, void *))
    {
        {
            std::lock_guard<std::mutex> lock(m_);
            queue_.push_back(fn);
        }
        cv_.notify_one();
    }

private:
    void run()
    {
        for (;;) {
            void *(*fn)(void *, void *);
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                fn = queue_.front();
                queue_.pop_front();
            }
            fn(nullptr, nullptr);
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<void *(*)(void *, void *)> queue_;
    std::vector<std::thread> threads_;
    bool stop_ = false;
};

void BM_PlainThreadPool(benchmark::State &state)
{
    PlainPool pool(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        g_done = 0;
        for (int i = 0; i < kBatch; i++)
            pool.add(task);
        wait_done(kBatch);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

} // namespace

BENCHMARK(BM_ZelThreadPool)->Arg(1)->Arg(4)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_PlainThreadPool)->Arg(1)->Arg(4)->UseRealTime()->MinTime(0.5);
