// Put throughput of the frame ring buffer (GB/s and ns per frame) for camera-sized frames with 0, 1,
// 3 and 8 readers copying at full speed, next to memcpy of the same sizes into a rotating area of
// the ring's pool size ("of_memcpy": put throughput as a fraction of that memcpy's); and Opus
// encoding of one 40 ms frame as a real-time factor.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "common/audio/ko_audio.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/utils/ko_log.h"

namespace {

constexpr unsigned kChannel = 0;

// 4000 kbit/s, 30 fps, a key frame a second, 5 s: frames up to 512000 bytes in a 2.56 MB area.
ko_stream_chn_info bench_channel()
{
    ko_stream_chn_info info;
    memset(&info, 0, sizeof info);
    info.channel = kChannel;
    info.resolution = {2880, 1620};
    info.gop = 30;
    info.encode = 5;
    info.bitrate = 4000;
    info.fps = 30;
    info.seconds = 5;
    return info;
}

// The ring's pool for bench_channel(): 5 s at 4000 kbit/s.
constexpr size_t kPoolBytes = 5 * 4000 * 128;

// memcpy of `frame` into `pool` at rolling offsets, as a put writes it; `tail` carries over.
void copy_rotating(std::vector<uint8_t> &pool, const std::vector<uint8_t> &frame, size_t *tail)
{
    if (*tail + frame.size() >= pool.size())
        *tail = 0;
    memcpy(pool.data() + *tail, frame.data(), frame.size());
    benchmark::ClobberMemory();
    *tail += (frame.size() + 7) & ~(size_t)7;
}

// Seconds that `count` rotating copies of a frame of `size` bytes take.
double memcpy_seconds(size_t size, uint64_t count)
{
    std::vector<uint8_t> pool(kPoolBytes), frame(size, 0x5A);
    size_t tail = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < count; i++)
        copy_rotating(pool, frame, &tail);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_RingPut(benchmark::State &state)
{
    const uint32_t size = (uint32_t)state.range(0);
    const int readers = (int)state.range(1);
    // As on the camera, the logger runs first and filters the ring's traces.
    ko_log_param quiet{};
    quiet.level = KO_LOG_WARN;
    ko_log_init(&quiet);
    ko_stream_chn_info info = bench_channel();
    if (ringbuffer_init(&info) < -1) { // -1: no message bus here, the channel works all the same
        state.SkipWithError("ringbuffer_init failed");
        ko_log_deinit();
        return;
    }
    std::vector<uint8_t> frame(size, 0x5A);
    ko_av_frame f;
    memset(&f, 0, sizeof f);
    f.data = frame.data();
    f.size = size;
    f.frame_type = KO_FRAME_TYPE_I;
    ringbuffer_put_frame(kChannel, &f);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> delivered{0};
    std::vector<std::thread> threads;
    for (int u = 0; u < readers; u++) {
        threads.emplace_back([&, u] {
            std::vector<uint8_t> buf(ringbuffer_get_max_frame_size(kChannel));
            uint64_t got = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                ko_av_frame out;
                if (ringbuffer_get_video_frame(kChannel, (unsigned)u, &out, buf.data(), (uint32_t)buf.size()) == 0)
                    got++;
                else
                    std::this_thread::yield();
            }
            delivered += got;
        });
    }
    uint64_t n = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        f.frame_type = n++ % 30 == 0 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
        benchmark::DoNotOptimize(ringbuffer_put_frame(kChannel, &f));
    }
    const double put_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    ringbuffer_free(kChannel); // also ends a reader's wait for a key frame
    for (auto &t : threads)
        t.join();
    state.SetBytesProcessed((int64_t)state.iterations() * size);
    // Seconds per put, shown with an SI prefix (e.g. "85n").
    state.counters["ns_per_frame"] =
        benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["reads"] = (double)delivered.load();
    if (readers == 0)
        state.counters["of_memcpy"] = memcpy_seconds(size, state.iterations()) / put_s;
    ko_log_deinit();
}
BENCHMARK(BM_RingPut)
    ->ArgsProduct({{1024, 20480, 153600}, {0, 1, 3, 8}})
    ->ArgNames({"bytes", "readers"})
    ->UseRealTime();

// memcpy into an area of the ring's pool size at rolling offsets, as a put writes it.
void BM_Memcpy(benchmark::State &state)
{
    const size_t size = (size_t)state.range(0);
    std::vector<uint8_t> pool(kPoolBytes), frame(size, 0x5A);
    size_t tail = 0;
    for (auto _ : state)
        copy_rotating(pool, frame, &tail);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)size);
}
BENCHMARK(BM_Memcpy)->Arg(1024)->Arg(20480)->Arg(153600)->ArgName("bytes");

// One 40 ms frame of 16 kHz speech-band audio; x_realtime = audio seconds encoded per second.
void BM_OpusEncode40ms(benchmark::State &state)
{
    ko_audio_param p{16000, 16, KO_AUDIO_CODEC_OPUS};
    ko_audio_codec *enc = ko_audio_encode_init(&p);
    if (!enc) {
        state.SkipWithError("opus encoder init failed");
        return;
    }
    std::vector<uint8_t> pcm(1280), packet(2560);
    for (int i = 0; i < 640; i++) {
        const double t = i / 16000.0;
        const int16_t v = (int16_t)(8000 * std::sin(2 * M_PI * 440 * t) + 3000 * std::sin(2 * M_PI * 1750 * t));
        pcm[2 * i] = (uint8_t)((uint16_t)v & 0xFF);
        pcm[2 * i + 1] = (uint8_t)((uint16_t)v >> 8);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(ko_audio_encode_frame(&enc, pcm.data(), 1280, packet.data(), 2560));
    ko_audio_encode_deinit(&enc);
    state.counters["x_realtime"] = benchmark::Counter(0.040 * (double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OpusEncode40ms);

} // namespace
