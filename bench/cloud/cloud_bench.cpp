// Cloud clips, each beside a baseline doing the same work:
//  - cutting 60 s of the board's main H.265 stream with Opus into clip files, fed into the ring as
//    fast as reader 1 reads, vs `ffmpeg -c copy -f mp4` of the same 60 s (goal: 1.5x the frames/s);
//  - the clip body stream: http_read_file_callback over a 2 MiB file (read, AES-128-CBC, SHA-256 of
//    the cipher text, trailer) through 16 KiB buffers as the HTTP client asks, vs bare AES and
//    SHA-256 of the same bytes in memory (goal: at most 10 % overhead);
//  - one 2 MiB clip POST to the simulated cloud (tests/peers/cloud_sim.py, which decrypts and checks
//    it), vs `curl -F` of the same encrypted parts to it (goal: at most 1.25x the time).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/cloud/cloud_clip_file.h"
#include "app/cloud/cloud_http.h"
#include "app/cloud/cloud_http_test.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "record_bench_media.h"
#include "zel_test_support.h"
#include "common/utils/vexa_base64.h"
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
    if (!g_root.empty()) {
        setenv("ZELMAR_ROOT", g_root.c_str(), 1);
        return;
    }
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

// The simulated cloud in a root of its own, with the clip's encrypted parts for curl.
struct post_bench {
    std::unique_ptr<zeltest::TempRoot> root;
    std::unique_ptr<zeltest::ChildProcess> sim;
    std::string base, curl_args;
    cloud_file_node_t node{};
    bool ok = false;
};

// Reads the whole body stream of a device file: cipher text, then the 64-character trailer.
bool encrypted_parts(const char *path, std::string *cipher, std::string *trailer)
{
    cloud_file_enc *enc = cloud_file_enc_open(&cloud_upload_ctx(), path);
    if (!enc)
        return false;
    vexa_http_stream *s = cloud_file_enc_stream(enc);
    std::string all;
    std::vector<char> buf(kBuffer);
    const size_t want = static_cast<size_t>(s->content_length) + 64;
    while (all.size() < want) {
        const size_t n = http_read_file_callback(buf.data(), 1, buf.size(), s);
        if (n == 0 || n == CURL_READFUNC_ABORT)
            break;
        all.append(buf.data(), n);
    }
    const size_t cipher_len = static_cast<size_t>(s->content_length);
    cloud_file_enc_close(enc);
    if (all.size() != want)
        return false;
    *cipher = all.substr(0, cipher_len);
    *trailer = all.substr(cipher_len);
    return true;
}

post_bench &post_setup()
{
    static post_bench p;
    if (p.root) {
        setenv("ZELMAR_ROOT", p.root->dir().c_str(), 1);
        return p;
    }
    setup();
    p.root = std::make_unique<zeltest::TempRoot>();
    const std::string d = p.root->dir();
    const int port = zeltest::free_tcp_port(), control = zeltest::free_tcp_port();
    if (!zeltest::make_https_certs(*p.root) || zeltest::run_command("mkdir -p " + d + "/out") != 0)
        return p;
    p.sim = std::make_unique<zeltest::ChildProcess>(
        zeltest::python_peer("cloud_sim.py", {std::to_string(port), d + "/srv.pem", d + "/srv.key",
                                              zeltest::hex(kKey, 16), "t", d + "/out", std::to_string(control)}),
        std::vector<std::string>{}, d + "/sim.log");
    if (!zeltest::wait_until([&] { return zeltest::run_command("grep -qx ready " + d + "/sim.log") == 0; },
                             std::chrono::seconds(20)))
        return p;
    p.base = "https://localhost:" + std::to_string(port);
    snprintf(p.node.mp4_path, sizeof p.node.mp4_path, "/tmp/stream/1.mp4");
    snprintf(p.node.jpeg_path, sizeof p.node.jpeg_path, "/tmp/stream/1.jpeg");
    p.root->write_file(p.node.mp4_path, std::string(g_data.begin(), g_data.end()));
    p.root->write_file(p.node.jpeg_path, std::string(20000, 'j'));
    p.node.size = static_cast<uint32_t>(kSize);
    p.node.event.types = 0x2;
    p.node.video_codec = 35;
    p.node.audio_codec = 1032;
    cloud_upload_ctx_t &ctx = cloud_upload_ctx();
    cloud_http_test_set_context(p.base.c_str(), kKey, "t", kIv, "m", nullptr);
    ctx.active.state = 2;
    snprintf(ctx.active.file_id, sizeof ctx.active.file_id, "fid-bench");
    snprintf(ctx.active.storage_url, sizeof ctx.active.storage_url, "%s", p.base.c_str());
    std::string vc, vt, ic, it;
    if (!encrypted_parts(p.node.mp4_path, &vc, &vt) || !encrypted_parts(p.node.jpeg_path, &ic, &it))
        return p;
    p.root->write_file("/parts/v.bin", vc);
    p.root->write_file("/parts/v.sig", vt);
    p.root->write_file("/parts/i.bin", ic);
    p.root->write_file("/parts/i.sig", it);
    char iv[32];
    vexa_base64_encode_url(kIv, sizeof kIv, iv, sizeof iv);
    const std::string parts = d + "/parts/";
    p.curl_args = "curl -sf -o /dev/null --cacert " + d + "/mnt/data/cacert.pem -b serviceToken=t -F video=@" + parts +
                  "v.bin -F videoSignMF=@" + parts + "v.sig -F img=@" + parts + "i.bin -F imgSignMF=@" + parts +
                  "i.sig -F submit=send '" + p.base + "/common/device/v3/upload?iv=" + iv + "'";
    p.ok = true;
    return p;
}

void BM_ClipPost(benchmark::State &state)
{
    post_bench &p = post_setup();
    if (!p.ok) {
        state.SkipWithError("the simulated cloud did not start");
        return;
    }
    for (auto _ : state) {
        if (cloud_http_file_post(&cloud_upload_ctx(), &p.node) != 0) {
            state.SkipWithError("post failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_CurlPostBaseline(benchmark::State &state)
{
    post_bench &p = post_setup();
    if (!p.ok) {
        state.SkipWithError("the simulated cloud did not start");
        return;
    }
    for (auto _ : state) {
        if (zeltest::run_command(p.curl_args) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
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
BENCHMARK(BM_ClipPost)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_CurlPostBaseline)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
