// Milliseconds per MB of message scrambling, unscrambling and the two-stage TCP form (frame and
// open), in 1032-byte messages (a full DRW), beside memcpy of the same messages in the same run.
// Goals on the build host: scrambling >= 200 MB/s, unscrambling >= 1 GB/s.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>

#include "ztp_scramble.h"
#include "ztp_tcp_frame.h"

namespace {

constexpr size_t kMsg = 1032;
constexpr size_t kCount = 1016; // about 1 MB per pass

struct Buffers {
    std::vector<uint8_t> in, out;
    Buffers() : in(kMsg * kCount), out((kMsg + ZTP_TCP_HEADER_LEN) * kCount)
    {
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = static_cast<uint8_t>(i * 131);
    }
};

using Clock = std::chrono::steady_clock;

// MB/s of one pass of `work` over the buffers, measured over at least 0.2 s.
double rate_of(const std::function<void()> &work)
{
    size_t passes = 0;
    const auto start = Clock::now();
    double seconds = 0;
    do {
        work();
        ++passes;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 0.2);
    return passes * kMsg * kCount / 1e6 / seconds;
}

double memcpy_rate()
{
    static const double rate = [] {
        Buffers b;
        return rate_of([&] {
            for (size_t m = 0; m < kCount; ++m)
                std::memcpy(b.out.data() + m * kMsg, b.in.data() + m * kMsg, kMsg);
            benchmark::DoNotOptimize(b.out.data());
        });
    }();
    return rate;
}

// Runs `pass` as the benchmark body and reports MB/s, ms per MB and the memcpy ratio.
void run(benchmark::State &state, const std::function<void()> &pass)
{
    const double baseline = memcpy_rate();
    double seconds = 0;
    size_t passes = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        pass();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        ++passes;
    }
    const double mb = passes * kMsg * kCount / 1e6;
    const double ours = mb / seconds;
    state.counters["MB_per_s"] = ours;
    state.counters["ms_per_MB"] = 1000.0 / ours;
    state.counters["memcpy_MB_per_s"] = baseline;
    state.counters["memcpy_over_ours"] = baseline / ours;
    state.SetBytesProcessed(static_cast<int64_t>(passes * kMsg * kCount));
}

void BM_Memcpy(benchmark::State &state)
{
    Buffers b;
    run(state, [&] {
        for (size_t m = 0; m < kCount; ++m)
            std::memcpy(b.out.data() + m * kMsg, b.in.data() + m * kMsg, kMsg);
        benchmark::DoNotOptimize(b.out.data());
    });
}

// A slot prepares its key once; each message is scrambled with it.
void BM_Scramble(benchmark::State &state)
{
    Buffers b;
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "KEYSTR");
    run(state, [&] {
        for (size_t m = 0; m < kCount; ++m)
            ztp_scramble(&key, b.in.data() + m * kMsg, b.out.data() + m * kMsg, kMsg);
        benchmark::DoNotOptimize(b.out.data());
    });
}

void BM_Unscramble(benchmark::State &state)
{
    Buffers b;
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "KEYSTR");
    run(state, [&] {
        for (size_t m = 0; m < kCount; ++m)
            ztp_unscramble(&key, b.in.data() + m * kMsg, b.out.data() + m * kMsg, kMsg);
        benchmark::DoNotOptimize(b.out.data());
    });
}

// The key text prepared on every call, as the text-keyed entry points do.
void BM_ScramblePerCallKey(benchmark::State &state)
{
    Buffers b;
    run(state, [&] {
        for (size_t m = 0; m < kCount; ++m)
            ztp__P2P_Proprietary_Encrypt("KEYSTR", b.in.data() + m * kMsg, b.out.data() + m * kMsg, kMsg);
        benchmark::DoNotOptimize(b.out.data());
    });
}

void BM_UnscramblePerCallKey(benchmark::State &state)
{
    Buffers b;
    run(state, [&] {
        for (size_t m = 0; m < kCount; ++m)
            ztp__P2P_Proprietary_Decrypt("KEYSTR", b.in.data() + m * kMsg, b.out.data() + m * kMsg, kMsg);
        benchmark::DoNotOptimize(b.out.data());
    });
}

// The two-stage TCP form: P2P key, random-byte key and check on sending; check and both keys back.
void BM_TcpFrameChecked(benchmark::State &state)
{
    Buffers b;
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "KEYSTR");
    const size_t step = kMsg + ZTP_TCP_HEADER_LEN;
    run(state, [&] {
        for (size_t m = 0; m < kCount; ++m)
            ztp_tcp_frame_write_with(ZTP_TCP_CHECKED, &key, static_cast<uint8_t>(m), 0x5A, b.in.data() + m * kMsg, kMsg,
                                     b.out.data() + m * step, step);
        benchmark::DoNotOptimize(b.out.data());
    });
}

void BM_TcpFrameOpen(benchmark::State &state)
{
    Buffers b;
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "KEYSTR");
    const size_t step = kMsg + ZTP_TCP_HEADER_LEN;
    for (size_t m = 0; m < kCount; ++m)
        ztp_tcp_frame_write_with(ZTP_TCP_CHECKED, &key, static_cast<uint8_t>(m), 0x5A, b.in.data() + m * kMsg, kMsg,
                                 b.out.data() + m * step, step);
    std::vector<uint8_t> plain(kMsg);
    run(state, [&] {
        for (size_t m = 0; m < kCount; ++m) {
            ztp_tcp_header h;
            ztp_tcp_header_read(b.out.data() + m * step, &h);
            if (ztp_tcp_frame_open(ZTP_TCP_CHECKED, &key, &h, b.out.data() + m * step + ZTP_TCP_HEADER_LEN, h.length,
                                   plain.data()) != 0)
                std::abort();
        }
        benchmark::DoNotOptimize(plain.data());
    });
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_Scramble);
BENCHMARK(BM_Unscramble);
BENCHMARK(BM_ScramblePerCallKey);
BENCHMARK(BM_UnscramblePerCallKey);
BENCHMARK(BM_TcpFrameChecked);
BENCHMARK(BM_TcpFrameOpen);

} // namespace
