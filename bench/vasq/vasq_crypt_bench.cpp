// Per-frame encryption of a session (nonce from the thread's block of random bytes, output into the
// thread's buffer) at 100 B, 1 KB, 20 KB and 150 KB, beside the work it cannot avoid: ChaCha20 of
// the same bytes with a fixed nonce into a ready buffer. "of_raw" is the frame encryption's time as
// a multiple of the raw cipher's (goal: at most 1.10 at every size).
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <chrono>
#include <vector>

#include "vasq_crypto.h"

extern "C" {
// The AES hooks belong to the P2P service; this benchmark measures the ChaCha20 path only.
int vasq_encrypt_data(vasq_crypt_req *, const uint8_t *, const uint8_t *)
{
    return -1;
}
int vasq_decrypt_data(vasq_crypt_req *, const uint8_t *, const uint8_t *)
{
    return -1;
}
}

namespace {

double raw_ns(const std::vector<uint8_t> &in, const uint8_t key[32], int rounds)
{
    std::vector<uint8_t> out(in.size() + 8);
    uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        crypto_stream_chacha20_xor(out.data() + 8, in.data(), in.size(), nonce, key);
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / rounds;
}

void BM_FrameEncrypt(benchmark::State &state)
{
    if (sodium_init() < 0) {
        state.SkipWithError("libsodium does not start");
        return;
    }
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> payload(size, 0x5A);
    uint8_t key[32], aes[16] = {};
    randombytes_buf(key, sizeof key);
    vasq_crypt_req req{};
    req.in = payload.data();
    req.in_len = static_cast<int>(size);
    req.encrypt_type = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        req.out = vasq_crypt_buffer(size + 8);
        req.out_cap = static_cast<int>(size + 8);
        vasq_frame_encrypt(key, aes, &req);
        benchmark::ClobberMemory();
    }
    const double frame_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
                            static_cast<double>(state.iterations());
    const int rounds = static_cast<int>(std::max<int64_t>(1000, state.iterations()));
    const double base = raw_ns(payload, key, rounds);
    state.counters["frame_ns"] = frame_ns;
    state.counters["raw_ns"] = base;
    state.counters["of_raw"] = frame_ns / base;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

} // namespace

BENCHMARK(BM_FrameEncrypt)->Arg(100)->Arg(1024)->Arg(20 * 1024)->Arg(150 * 1024);
