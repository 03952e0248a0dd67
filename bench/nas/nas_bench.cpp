// Copying a 256 MiB recording to a loopback smbd: the share record's writefile next to
// `smbclient -c put` of the same file to the same server, five runs each in the same process run.
// Goal: our median throughput at least 0.8 times smbclient's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/nas/nas_share.h"
#include "smbd_server.h"

namespace {

constexpr int kMiB = 256;

zeltest::SmbdServer *g_smbd = nullptr;
std::string g_file;
std::vector<double> g_ours, g_theirs; // MB/s per run

void record(benchmark::State &state, std::vector<double> *runs, double seconds)
{
    const double bytes = static_cast<double>(kMiB) * 1024 * 1024;
    runs->push_back(bytes / seconds / 1e6);
    state.SetIterationTime(seconds);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_NasWritefile(benchmark::State &state)
{
    nas_share_ops_t *s = nas_share_new(NAS_SHARE_TYPE_SMB);
    json_object *cfg = json_object_new_object();
    json_object_object_add(cfg, "name", json_object_new_string("ZELSRV"));
    json_object_object_add(cfg, "addr", json_object_new_string("127.0.0.1"));
    json_object_object_add(cfg, "dir", json_object_new_string("share\\bench"));
    json_object_object_add(cfg, "user", json_object_new_string(g_smbd->user().c_str()));
    json_object_object_add(cfg, "pass", json_object_new_string(g_smbd->password().c_str()));
    if (s->open(s, cfg) != 0) {
        state.SkipWithError("share cannot be opened");
    } else {
        for (auto _ : state) {
            const auto t0 = std::chrono::steady_clock::now();
            if (s->writefile(s, g_file.c_str(), "bench\\ours.mp4", nullptr) != 0)
                state.SkipWithError("writefile failed");
            record(state, &g_ours, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
    }
    json_object_put(cfg);
    nas_share_free(s);
}

void BM_SmbclientPut(benchmark::State &state)
{
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (g_smbd->smbclient("put " + g_file + " bench/theirs.mp4") != 0)
            state.SkipWithError("smbclient put failed");
        record(state, &g_theirs, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
}

BENCHMARK(BM_NasWritefile)->Iterations(1)->Repetitions(5)->UseManualTime()->ReportAggregatesOnly(true);
BENCHMARK(BM_SmbclientPut)->Iterations(1)->Repetitions(5)->UseManualTime()->ReportAggregatesOnly(true);

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    zeltest::SmbdServer smbd;
    std::string why;
    if (!smbd.start(&why)) {
        std::fprintf(stderr, "nas_bench: no smbd: %s\n", why.c_str());
        return 0;
    }
    setenv("ZELMAR_NAS_SMB_PORT", std::to_string(smbd.port()).c_str(), 1);
    g_smbd = &smbd;
    g_file = smbd.share_dir() + "/../recording.mp4";
    zeltest::run_command("head -c " + std::to_string(kMiB) + "M /dev/urandom > '" + g_file + "'");
    benchmark::RunSpecifiedBenchmarks();
    const double ours = median(g_ours), theirs = median(g_theirs);
    std::printf("writefile median %.0f MB/s, smbclient put median %.0f MB/s: %.2fx (goal >= 0.80x)\n", ours, theirs,
                theirs > 0 ? ours / theirs : 0.0);
    g_smbd = nullptr;
    benchmark::Shutdown();
    return 0;
}
