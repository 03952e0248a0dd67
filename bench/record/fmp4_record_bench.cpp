// Recording throughput and write amplification on a test card (a loop-mounted ext4 image; needs root):
// minutes of the board's main H.265 stream with Opus audio into a pre-allocated pool file through the
// fragmented-MP4 writer, beside ffmpeg stream-copying the same media to a fragmented MP4 on the same
// card. Goals: at least 1.5x ffmpeg's frames per second, and device sectors written per media byte
// (no index files) at most 1.01.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/record/sd_io.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "record_bench_media.h"
#include "zel_test_card.h"
#include "zel_test_support.h"

namespace {

using recbench::kAudioFps;
using recbench::kFps;
using recbench::Media;
using recbench::quiet;

constexpr int kLoops = 30; // 30 x 6 s = 3 minutes
constexpr uint64_t kPoolFile = 134217728;

const Media &media() { return recbench::board_media(kLoops); }

struct Card {
    std::unique_ptr<zeltest::TempRoot> root;
    std::unique_ptr<zeltest::TestCard> card;
    std::string pool_file;
};

Card &card()
{
    static Card c = [] {
        Card out;
        out.root = std::make_unique<zeltest::TempRoot>();
        out.card = std::make_unique<zeltest::TestCard>(*out.root, 1024ull * 1024 * 1024);
        if (out.card->ready()) {
            out.pool_file = out.card->mount_point() + "/video_0000_0_10_19700101000000_19700101000000.mp4";
            const int fd = sd_io_open(out.pool_file.c_str(), O_RDWR | O_CREAT, 0644);
            sd_io_reserve(fd, kPoolFile);
            sd_io_close(fd);
            out.card->flush();
        }
        return out;
    }();
    return c;
}

// One recording of the whole media; false on a writer error.
bool record(const Media &m, const std::string &path)
{
    fmp4_muxer_config_t c{};
    snprintf(c.path, sizeof c.path, "%s", path.c_str());
    c.video_codec = FMP4_CODEC_H265;
    c.audio_codec = FMP4_CODEC_OPUS;
    c.width = 2880;
    c.height = 1620;
    c.gop = 60;
    c.fps = kFps;
    c.audio_fps = kAudioFps;
    c.video_bitrate = 2000;
    c.audio_bitrate = 32;
    c.video_time_scale = 90000;
    c.audio_time_scale = 16000;
    fmp4_muxer_t *h = fmp4_muxer_init(&c, 1);
    if (!h)
        return false;
    const uint64_t start_us = 1700000000ull * 1000000;
    size_t next_audio = 0;
    bool ok = true;
    for (size_t i = 0; i < m.units.size() && ok; i++) {
        const uint64_t ts = start_us + i * 1000000 / kFps;
        ko_av_frame f{};
        f.timestamp_us = ts;
        f.timestamp_s = ts / 1000000;
        f.data = const_cast<uint8_t *>(m.video.data() + m.units[i].offset);
        f.size = static_cast<uint32_t>(m.units[i].size);
        int rc = fmp4_muxer_update_video(h, &f);
        if (rc == FMP4_NEW_INDEX)
            rc = fmp4_muxer_update_video(h, &f);
        ok = rc == 0;
        for (; next_audio < m.audio.size() && start_us + next_audio * 1000000 / kAudioFps <= ts; next_audio++) {
            ko_av_frame a{};
            a.timestamp_us = start_us + next_audio * 1000000 / kAudioFps;
            a.data = const_cast<uint8_t *>(m.audio[next_audio].data());
            a.size = static_cast<uint32_t>(m.audio[next_audio].size());
            ok = ok && fmp4_muxer_update_audio(h, &a) == 0;
        }
    }
    return fmp4_muxer_finish(h) == 0 && ok;
}

void BM_RecordToCard(benchmark::State &state)
{
    quiet();
    Card &c = card();
    if (!c.card->ready()) {
        state.SkipWithError(c.card->reason().c_str());
        return;
    }
    const Media &m = media();
    double sectors = 0;
    for (auto _ : state) {
        c.card->flush();
        const uint64_t before = c.card->sectors_written();
        if (!record(m, c.pool_file)) {
            state.SkipWithError("the writer failed");
            return;
        }
        state.PauseTiming();
        c.card->flush();
        sectors += static_cast<double>(c.card->sectors_written() - before);
        state.ResumeTiming();
    }
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(m.units.size()) * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["write_amplification"] = sectors * 512 / (static_cast<double>(m.bytes) * state.iterations());
}

// The baseline: ffmpeg stream-copying the same H.265 and Opus to a fragmented MP4 on the same card.
void BM_FfmpegCopyToCard(benchmark::State &state)
{
    Card &c = card();
    if (!c.card->ready()) {
        state.SkipWithError(c.card->reason().c_str());
        return;
    }
    const std::string out = c.card->mount_point() + "/copy.mp4";
    recbench::ffmpeg_copy(state, media(), c.root->dir(), out, "-movflags frag_keyframe+empty_moov");
    unlink(out.c_str());
}

BENCHMARK(BM_RecordToCard)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_FfmpegCopyToCard)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace
