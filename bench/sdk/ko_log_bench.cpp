// SDK log lines per second into the memory-mapped file window, next to fwrite of the same line.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/utils/ko_log.h"

namespace {

// A scratch root for the log files, removed at the end.
struct ScratchRoot {
    std::string dir;
    ScratchRoot()
    {
        char tmpl[] = "/tmp/ko-log-bench-XXXXXX";
        dir = mkdtemp(tmpl) ? tmpl : "/tmp";
        setenv("ZELMAR_ROOT", dir.c_str(), 1);
        (void)std::system(("mkdir -p " + dir + "/tmp").c_str());
    }
    ~ScratchRoot() { (void)std::system(("rm -rf " + dir).c_str()); }
};

void BM_KoLogFile(benchmark::State &state)
{
    ScratchRoot root;
    ko_log_param p{};
    p.level = KO_LOG_INFO;
    p.output = KO_LOG_OUT_FILE;
    std::strcpy(p.file_path, "/tmp/tolk_log.txt");
    p.file_size = 102400;
    if (ko_log_init(&p) != 0) {
        state.SkipWithError("ko_log_init failed");
        return;
    }
    int i = 0;
    for (auto _ : state)
        KO_LOGI("KO BENCH", "frame %d queued for channel %d size %d\n", ++i, 2, 4096);
    state.SetItemsProcessed(state.iterations());
    ko_log_deinit();
}

void BM_Fwrite(benchmark::State &state)
{
    ScratchRoot root;
    FILE *fp = std::fopen((root.dir + "/tmp/plain.txt").c_str(), "w");
    if (!fp) {
        state.SkipWithError("fopen failed");
        return;
    }
    int i = 0;
    char line[256];
    for (auto _ : state) {
        const int n = std::snprintf(line, sizeof(line), "[I][1209 06:00:00.000][KO BENCH][ko_log_bench.cpp:40]frame %d queued for channel %d size %d\n",
                                    ++i, 2, 4096);
        benchmark::DoNotOptimize(std::fwrite(line, 1, static_cast<size_t>(n), fp));
    }
    state.SetItemsProcessed(state.iterations());
    std::fclose(fp);
}

} // namespace

BENCHMARK(BM_KoLogFile);
BENCHMARK(BM_Fwrite);
