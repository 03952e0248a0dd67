// The client's media path per frame: sdk_porting_push_stream_data through the business layer's gates
// into the ring of its stream channel, next to a memcpy of the same bytes (goal: at most 2x), and a
// 40 ms audio frame (Opus encode and ring put) next to opus_encode of the same samples alone. The
// client runs as in zelmar_app: factory partition (the Python flash peer), daemon simulator, SDK.
#include <benchmark/benchmark.h>
#include <opus/opus.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/utils/ko_log.h"
#include "daemon_sim_client.h"
#include "sdk_porting.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"
#include "zel_test_support.h"
#include "zelmar/zel_path.h"

namespace {

constexpr int kAudioSamples = 640; // 40 ms at 16 kHz

struct Setup {
    zeltest::TempRoot root;
    std::unique_ptr<zeltest::ChildProcess> flash;
    std::unique_ptr<zeltest::DaemonSim> sim;
    bool ok = false;
    std::map<std::string, double> ns; // per frame, by benchmark

    Setup()
    {
        root.write_file("/mnt/data/operator/zel_log.ini", "[console]\ntype = stderr\nlevel = error\n\n"
                                                          "[main]\nappender = console\nlevel = error\ndefault = true\n");
        zel_log_init(zel_path("/mnt/data/operator/zel_log.ini").c_str());
        root.write_file("/etc/os-release", "HALVORN_VERSION=2.4.1_0107\n");
        flash = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("factory_flash.py", {root.path(""), "vendor=Halvorn", "model=ZT-CAM1",
                                                      "mac=02:11:22:33:44:55", "OOB=oob", "qelt_i2c=/dev/i2c-1",
                                                      "qelt_gpio=57", "did=424242"}),
            std::vector<std::string>{}, root.path("/tmp/flash.log"));
        if (!zeltest::wait_until([&] { return root.read_file("/tmp/flash.log").find("ready") == 0; },
                                 std::chrono::seconds(10)))
            return;
        sim = std::make_unique<zeltest::DaemonSim>(
            root, std::vector<std::string>{"--did", "424242", "--time", "1700000000", "--status", "cloud_connected"},
            true);
        setenv("ZELMAR_DAEMON_PORT", std::to_string(sim->port()).c_str(), 1);
        if (zel_api_db_init() != 0)
            return;
        ok = client_app_create(0) != nullptr;
        // The SDK logs at level 1 to its file; the figures must not measure the console.
        ko_log_param quiet{};
        quiet.level = KO_LOG_FATAL;
        quiet.output = KO_LOG_OUT_CONSOLE;
        ko_log_param_set(&quiet);
    }
    ~Setup()
    {
        auto ratio = [&](const char *ours, const char *base, const char *what, double goal) {
            if (!ns.count(ours) || !ns.count(base) || ns[base] <= 0)
                return;
            std::printf("%s: %.0f ns against %.0f ns = %.2fx", what, ns[ours], ns[base], ns[ours] / ns[base]);
            if (goal > 0)
                std::printf(" (goal <= %.1fx)", goal);
            std::printf("\n");
        };
        ratio("push/20480", "memcpy/20480", "20 KB frame, push to ring against memcpy", 2.0);
        ratio("push/153600", "memcpy/153600", "150 KB frame, push to ring against memcpy", 2.0);
        ratio("audio", "opus", "40 ms audio, encode and put against opus_encode alone", 0);
    }
};

Setup &setup()
{
    static Setup instance;
    return instance;
}

void note(benchmark::State &state, const std::string &name, double seconds)
{
    if (state.iterations() > 0)
        setup().ns[name] = seconds * 1e9 / static_cast<double>(state.iterations());
}

void BM_PushVideo(benchmark::State &state)
{
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError("the client did not start");
        return;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 0x5a);
    sdk_media_frame_t frame{};
    frame.data = bytes.data();
    frame.len = static_cast<int32_t>(bytes.size());
    frame.channel = SDK_MEDIA_CHANNEL_MAIN;
    frame.type = SDK_MEDIA_TYPE_VIDEO;
    uint32_t seq = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        frame.seq = ++seq;
        frame.key = seq % 60 == 1; // a GOP of 60, as the main channel has
        frame.ts_ms = seq * 50ull;
        benchmark::DoNotOptimize(sdk_porting_push_stream_data(&frame));
    }
    note(state, "push/" + std::to_string(state.range(0)),
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PushVideo)->Arg(20480)->Arg(153600);

// The same bytes copied one frame after the other through a buffer as large as the main channel's
// ring (2000 kbit/s for 7 s), as the ring's own copy goes: a copy into one hot buffer would measure
// the cache, not the work.
void BM_MemcpyVideo(benchmark::State &state)
{
    constexpr size_t kPoolBytes = 2000 * 1000 / 8 * 7;
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 0x5a), pool(kPoolBytes);
    size_t at = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (at + bytes.size() > pool.size())
            at = 0;
        memcpy(pool.data() + at, bytes.data(), bytes.size());
        at += bytes.size();
        benchmark::DoNotOptimize(pool.data());
        benchmark::ClobberMemory();
    }
    note(state, "memcpy/" + std::to_string(state.range(0)),
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_MemcpyVideo)->Arg(20480)->Arg(153600);

std::vector<int16_t> tone()
{
    std::vector<int16_t> pcm(kAudioSamples);
    for (int i = 0; i < kAudioSamples; ++i)
        pcm[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / 16000.0));
    return pcm;
}

void BM_PushAudio(benchmark::State &state)
{
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError("the client did not start");
        return;
    }
    std::vector<int16_t> pcm = tone();
    sdk_media_frame_t frame{};
    frame.data = pcm.data();
    frame.len = kAudioSamples * 2;
    frame.stream = 1;
    frame.channel = SDK_MEDIA_CHANNEL_AUDIO;
    frame.type = SDK_MEDIA_TYPE_AUDIO;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        benchmark::DoNotOptimize(sdk_porting_push_stream_data(&frame));
    note(state, "audio", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
BENCHMARK(BM_PushAudio);

void BM_OpusEncodeAlone(benchmark::State &state)
{
    int err = 0;
    OpusEncoder *enc = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &err);
    opus_encoder_ctl(enc, OPUS_SET_COMPLEXITY(0));
    std::vector<int16_t> pcm = tone();
    uint8_t out[2560];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        benchmark::DoNotOptimize(opus_encode(enc, pcm.data(), kAudioSamples, out, sizeof out));
    note(state, "opus", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    opus_encoder_destroy(enc);
}
BENCHMARK(BM_OpusEncodeAlone);

} // namespace
