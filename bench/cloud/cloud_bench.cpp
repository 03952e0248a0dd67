// The clip body stream: http_read_file_callback over a 2 MiB file (read, AES-128-CBC, SHA-256 of the
// cipher text, trailer) through 16 KiB buffers as the HTTP client asks, next to bare AES and SHA-256
// of the same bytes in memory. Goal: at most 10 % overhead.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cloud/cloud_http.h"
#include "app/cloud/cloud_http_test.h"
#include "zelmar/zel_crypto.h"

namespace {

constexpr size_t kSize = 2 * 1024 * 1024;
constexpr size_t kBuffer = 16384; // libcurl's read buffer
const uint8_t kKey[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};
const uint8_t kIv[16] = {2, 7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5};

std::vector<uint8_t> g_data;

// The temporary root, removed when the program ends.
struct bench_root {
    std::string dir;
    ~bench_root()
    {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }
} g_root_dir;
std::string &g_root = g_root_dir.dir;

void setup()
{
    if (!g_root.empty())
        return;
    char tmpl[] = "/tmp/zel-cloud-bench-XXXXXX";
    g_root = mkdtemp(tmpl);
    setenv("ZELMAR_ROOT", g_root.c_str(), 1);
    g_data.resize(kSize);
    for (size_t i = 0; i < kSize; ++i)
        g_data[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    FILE *f = fopen((g_root + "/clip.mp4").c_str(), "wb");
    fwrite(g_data.data(), 1, g_data.size(), f);
    fclose(f);
    cloud_http_test_set_context("https://localhost", kKey, "t", kIv, "m", nullptr);
}

void BM_BodyStream(benchmark::State &state)
{
    setup();
    std::vector<char> buf(kBuffer);
    for (auto _ : state) {
        cloud_file_enc *enc = cloud_file_enc_open(&cloud_upload_ctx(), "/clip.mp4");
        vexa_http_stream *s = cloud_file_enc_stream(enc);
        size_t total = 0;
        const size_t want = static_cast<size_t>(s->content_length) + 64;
        while (total < want) {
            const size_t n = http_read_file_callback(buf.data(), 1, buf.size(), s);
            if (n == 0 || n == CURL_READFUNC_ABORT) {
                state.SkipWithError("stream failed");
                break;
            }
            total += n;
        }
        cloud_file_enc_close(enc);
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_BareAesSha(benchmark::State &state)
{
    setup();
    std::vector<uint8_t> out(kSize + 16);
    for (auto _ : state) {
        zel_crypto_aes128_cbc_pkcs7_encrypt(kKey, kIv, g_data.data(), g_data.size(), out.data(), out.size());
        uint8_t digest[ZEL_SHA256_LEN];
        zel_crypto_sha256(out.data(), out.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

} // namespace

BENCHMARK(BM_BodyStream)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareAesSha)->Unit(benchmark::kMillisecond)->MinTime(2.0);
