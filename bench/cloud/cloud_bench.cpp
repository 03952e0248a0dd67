// Cloud clips, each beside a baseline doing the same work:
//  - cutting 60 s of the board's main H.265 stream with Opus into clip files, fed into the ring as
//    fast as reader 1 reads, vs `ffmpeg -c copy -f mp4` of the same 60 s (goal: 1.5x the frames/s);
//  - the clip body stream: http_read_file_callback over a 2 MiB file (read, AES-128-CBC, SHA-256 of
//    the cipher text, trailer) through 16 KiB buffers as the HTTP client asks, vs bare AES and
//    SHA-256 of the same bytes in memory (goal: at most 10 % overhead).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/cloud/cloud_clip_file.h"
#include "app/cloud/cloud_http.h"
#include "app/cloud/cloud_http_test.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "record_bench_media.h"
#include "zel_test_support.h"
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

constexpr int kClipLoops = 10; // 10 x 6 s = 60 s
constexpr uint64_t kStartUs = 1700000000ull * 1000000;

ko_av_frame frame_of(const void *data, size_t size, uint32_t type, uint64_t ts)
{
    ko_av_frame f{};
    f.data = const_cast<void *>(data);
    f.size = static_cast<uint32_t>(size);
    f.frame_type = type;
    f.timestamp_us = ts;
    return f;
}

void BM_ClipCutting(benchmark::State &state)
{
    setup();
    recbench::quiet();
    const recbench::Media &m = recbench::board_media(kClipLoops);
    cloud_clip_source src;
    src.video = 0;
    src.audio = 4;
    src.has_audio = true;
    src.vinfo.channel = 0;
    src.vinfo.resolution = {2880, 1620};
    src.vinfo.gop = 60;
    src.vinfo.encode = 5;
    src.vinfo.bitrate = 2000;
    src.vinfo.fps = recbench::kFps;
    src.vinfo.seconds = 10;
    src.ainfo.channel = 4;
    src.ainfo.samplerate = 16000;
    src.ainfo.samplebit = 16;
    src.ainfo.encode = 1032;
    src.ainfo.bitrate = 32;
    src.ainfo.fps = recbench::kAudioFps;
    src.ainfo.seconds = 10;
    // -1: no message bus here for the statistics, the channel works all the same.
    if (ringbuffer_init(&src.vinfo) < -1 || ringbuffer_init(&src.ainfo) < -1) {
        state.SkipWithError("ringbuffer_init failed");
        return;
    }
    uint64_t base = kStartUs, files = 0;
    for (auto _ : state) {
        cloud_clip_file file;
        int n = 0;
        auto open_next = [&] { return file.open(src, (g_root + "/" + std::to_string(n++) + ".mp4").c_str()) == 0; };
        bool ok = open_next();
        size_t next_audio = 0;
        for (size_t i = 0; ok && i < m.units.size(); i++) {
            const uint64_t ts = base + i * 1000000 / recbench::kFps;
            for (; next_audio < m.audio.size() && base + next_audio * 1000000 / recbench::kAudioFps <= ts; next_audio++) {
                ko_av_frame a = frame_of(m.audio[next_audio].data(), m.audio[next_audio].size(), KO_FRAME_TYPE_AUDIO,
                                         base + next_audio * 1000000 / recbench::kAudioFps);
                ringbuffer_put_frame(4, &a);
            }
            ko_av_frame v = frame_of(m.video.data() + m.units[i].offset, m.units[i].size,
                                     m.units[i].key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P, ts);
            ringbuffer_put_frame(0, &v);
            for (clip_step step; ok && (step = file.step()) != clip_step::idle;)
                if (step == clip_step::cut)
                    ok = file.finish() == 0 && open_next();
        }
        if (!ok || file.finish() != 0) {
            state.SkipWithError("a clip file failed");
            break;
        }
        files += static_cast<uint64_t>(n);
        base += 1000ull * 1000000; // the next run's stamps follow on
    }
    ringbuffer_free(0);
    ringbuffer_free(4);
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(m.units.size()) * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["files"] = static_cast<double>(files) / static_cast<double>(state.iterations());
}

void BM_FfmpegCopyToMp4(benchmark::State &state)
{
    setup();
    recbench::ffmpeg_copy(state, recbench::board_media(kClipLoops), g_root, g_root + "/copy.mp4", "-f mp4");
}

} // namespace

BENCHMARK(BM_ClipCutting)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_FfmpegCopyToMp4)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_BodyStream)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BareAesSha)->Unit(benchmark::kMillisecond)->MinTime(2.0);
