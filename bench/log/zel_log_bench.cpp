// Nanoseconds per log line: a synchronous file logger, an asynchronous logger onto the same kind of
// file (flat out, and in bursts below its queue limit), and a plain fwrite of a line of the same
// length, bare and flushed per line as the file logger does, side by side. "allocs/line" counts heap
// allocations per line, which the record pool keeps at zero in the steady state.
#include "zel_control/log/zel_log.h"

#include <benchmark/benchmark.h>
#include <ftw.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
std::atomic<long> g_allocs{0};
} // namespace

// Sanitizers bring their own allocator; the count is taken only in plain builds.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *p, size_t size);
extern "C" void __libc_free(void *p);

// Every heap allocation of the process passes here and is counted.
extern "C" void *malloc(size_t size)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, size_t size)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
extern "C" void free(void *p)
{
    __libc_free(p);
}
#endif

namespace {

std::string g_root;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

void remove_root()
{
    if (!g_root.empty())
        nftw(g_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// A temporary ZELMAR_ROOT with a configuration of two loggers on two rotating files.
const std::string &setup_logging()
{
    if (!g_root.empty())
        return g_root;
    char templ[] = "/tmp/zel-log-bench-XXXXXX";
    if (!mkdtemp(templ))
        std::abort();
    g_root = templ;
    std::atexit(remove_root);
    setenv("ZELMAR_ROOT", g_root.c_str(), 1);
    const std::string ini = g_root + "/zel_log.ini";
    FILE *f = std::fopen(ini.c_str(), "w");
    if (!f)
        std::abort();
    std::fputs("[sync_file]\ntype = file\nfile = /sync.log\nlimit = 2\nsize = 67108864\n"
               "[async_file]\ntype = file\nfile = /async.log\nlimit = 2\nsize = 67108864\n"
               "[sync]\nappender = sync_file\nasync = false\ndefault = true\n"
               "[async]\nappender = async_file\nasync = true\n",
               f);
    std::fclose(f);
    if (zel_log_init(ini.c_str()) != 0)
        std::abort();
    return g_root;
}

void log_lines(benchmark::State &state, const char *logger_name)
{
    setup_logging();
    zel_logger_t *logger = zel_log_get_logger(logger_name);
    for (int i = 0; i < 64; i++) // fill the record pool
        zel_log_queue_output(logger, ZEL_LOG_INFO, "bench", __FILE__, __func__, __LINE__, "warm-up %d", i);
    const long allocs = g_allocs.load();
    int i = 0;
    for (auto _ : state)
        zel_log_queue_output(logger, ZEL_LOG_INFO, "bench", __FILE__, __func__, __LINE__, "frame %08d sent", i++);
    state.counters["allocs/line"] = benchmark::Counter(static_cast<double>(g_allocs.load() - allocs),
                                                       benchmark::Counter::kAvgIterations);
}

void BM_sync_file_logger(benchmark::State &state)
{
    log_lines(state, "sync");
}

void BM_async_logger(benchmark::State &state)
{
    log_lines(state, "async");
}

// What a caller waits for when its bursts stay below the queue limit: 8 lines, then a pause in
// which the writer catches up (not timed). The time shown is per line.
void log_bursts(benchmark::State &state, const char *logger_name)
{
    setup_logging();
    zel_logger_t *logger = zel_log_get_logger(logger_name);
    const long allocs = g_allocs.load();
    int i = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int n = 0; n < 8; n++)
            zel_log_queue_output(logger, ZEL_LOG_INFO, "bench", __FILE__, __func__, __LINE__, "frame %08d sent", i++);
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(spent.count() / 8);
        usleep(300);
    }
    state.counters["allocs/line"] = benchmark::Counter(static_cast<double>(g_allocs.load() - allocs) / 8,
                                                       benchmark::Counter::kAvgIterations);
}

void BM_async_logger_burst(benchmark::State &state)
{
    log_bursts(state, "async");
}

// The same bursts through the synchronous logger, which writes and flushes each line itself.
void BM_sync_logger_burst(benchmark::State &state)
{
    log_bursts(state, "sync");
}

// The same line as the loggers write: time stamp, "[I][bench][tid] ", message, newline; with
// `flush`, each line is flushed as the file logger does (its true peer).
void plain_fwrite(benchmark::State &state, bool flush)
{
    const std::string path = setup_logging() + "/plain.log";
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) {
        state.SkipWithError("cannot open the file");
        return;
    }
    char line[128];
    const int length = std::snprintf(line, sizeof line, "2024-01-01 00:00:00.000 [I][bench][%08d] frame %08d sent\n",
                                     static_cast<int>(getpid()), 0);
    const long allocs = g_allocs.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::fwrite(line, 1, static_cast<size_t>(length), f));
        if (flush)
            benchmark::DoNotOptimize(std::fflush(f));
    }
    state.counters["allocs/line"] = benchmark::Counter(static_cast<double>(g_allocs.load() - allocs),
                                                       benchmark::Counter::kAvgIterations);
    std::fclose(f);
}

void BM_plain_fwrite(benchmark::State &state)
{
    plain_fwrite(state, false);
}

void BM_fwrite_fflush_per_line(benchmark::State &state)
{
    plain_fwrite(state, true);
}

} // namespace

BENCHMARK(BM_sync_file_logger);
BENCHMARK(BM_async_logger);
// Each burst pauses 300 us: a fixed count keeps the run to about a second.
BENCHMARK(BM_async_logger_burst)->UseManualTime()->Iterations(3000);
BENCHMARK(BM_sync_logger_burst)->UseManualTime()->Iterations(3000);
BENCHMARK(BM_plain_fwrite);
BENCHMARK(BM_fwrite_fflush_per_line);
