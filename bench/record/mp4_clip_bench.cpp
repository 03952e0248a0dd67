// The recording reader and the plain MP4 writer on the board's main H.265 stream with Opus audio,
// and the custom-record index, each beside a baseline doing the same work:
//  - reading every frame of a recording vs `ffmpeg -i f -map 0 -c copy -f null -` (goal: 1.5x the
//    packets per second);
//  - writing a clip vs `ffmpeg -c copy -f mp4` of the same input (goal: 1.5x the frames per second);
//  - one index add vs a raw write + fsync + rename of the same bytes (goal: at least 0.5x its rate).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/record/custom_record_index.h"
#include "common/tiny_fmp4/fmp4_demuxer.h"
#include "common/tiny_fmp4/fmp4_muxer.h"
#include "common/tiny_mp4/mp4_muxer.h"
#include "record_bench_media.h"
#include "zel_test_support.h"

namespace {

using recbench::kAudioFps;
using recbench::kFps;
using recbench::Media;
using recbench::quiet;

constexpr int kLoops = 5; // 5 x 6 s = 30 s
constexpr uint64_t kStartUs = 1700000000ull * 1000000;

const Media &media() { return recbench::board_media(kLoops); }

zeltest::TempRoot &root()
{
    static zeltest::TempRoot r;
    return r;
}

ko_av_frame frame_of(const void *data, size_t size, uint64_t ts)
{
    ko_av_frame f{};
    f.data = const_cast<void *>(data);
    f.size = static_cast<uint32_t>(size);
    f.timestamp_us = ts;
    f.timestamp_s = ts / 1000000;
    return f;
}

// Plays the media into one of the writers in time order.
template <typename Video, typename Audio> bool play(const Media &m, Video video, Audio audio)
{
    size_t next_audio = 0;
    for (size_t i = 0; i < m.units.size(); i++) {
        const uint64_t ts = kStartUs + i * 1000000 / kFps;
        if (!video(frame_of(m.video.data() + m.units[i].offset, m.units[i].size, ts)))
            return false;
        for (; next_audio < m.audio.size() && kStartUs + next_audio * 1000000 / kAudioFps <= ts; next_audio++)
            if (!audio(frame_of(m.audio[next_audio].data(), m.audio[next_audio].size(),
                                kStartUs + next_audio * 1000000 / kAudioFps)))
                return false;
    }
    return true;
}

// The recording the reader benchmarks read, made once by the fragmented-MP4 writer.
const std::string &recording()
{
    static const std::string path = [] {
        const std::string p = root().dir() + "/recording.mp4";
        const int fd = open(p.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || ftruncate(fd, 128ll * 1024 * 1024) != 0)
            return std::string();
        close(fd);
        fmp4_muxer_config_t c{};
        snprintf(c.path, sizeof c.path, "%s", p.c_str());
        c.video_codec = FMP4_CODEC_H265;
        c.audio_codec = FMP4_CODEC_OPUS;
        c.width = 2880;
        c.height = 1620;
        c.gop = 60;
        c.fps = kFps;
        c.audio_fps = kAudioFps;
        c.video_time_scale = 90000;
        c.audio_time_scale = 16000;
        fmp4_muxer_t *h = fmp4_muxer_init(&c, 1);
        if (!h)
            return std::string();
        const bool ok = play(
            media(),
            [&](const ko_av_frame &f) {
                int rc = fmp4_muxer_update_video(h, &f);
                if (rc == FMP4_NEW_INDEX)
                    rc = fmp4_muxer_update_video(h, &f);
                return rc == 0;
            },
            [&](const ko_av_frame &f) { return fmp4_muxer_update_audio(h, &f) == 0; });
        return fmp4_muxer_finish(h) == 0 && ok ? p : std::string();
    }();
    return path;
}

void BM_ReaderAllFrames(benchmark::State &state)
{
    quiet();
    const std::string &file = recording();
    if (file.empty()) {
        state.SkipWithError("no recording");
        return;
    }
    uint64_t packets = 0;
    for (auto _ : state) {
        fmp4_demuxer_t *d = fmp4_demuxer_open(file.c_str());
        const fmp4_index_entry_t *e = nullptr;
        uint32_t bytes = 0;
        fmp4_demuxer_read_fileinfo(d, &e, &bytes);
        const std::vector<fmp4_index_entry_t> entries(e, e + bytes / FMP4_INDEX_ENTRY_SIZE);
        for (const fmp4_index_entry_t &entry : entries) {
            fmp4_demuxer_seek_fragment(d, entry.start);
            fmp4_frame_t f{};
            while (fmp4_demuxer_read_video(d, &f, nullptr) == 0) {
                free(f.data);
                packets++;
            }
            while (fmp4_demuxer_read_audio(d, &f, nullptr) == 0) {
                free(f.data);
                packets++;
            }
        }
        fmp4_demuxer_close(d);
    }
    state.counters["packets_per_s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

void BM_FfmpegReadCopyNull(benchmark::State &state)
{
    const std::string &file = recording();
    if (file.empty()) {
        state.SkipWithError("no recording");
        return;
    }
    const uint64_t per_run = media().units.size() + media().audio.size();
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -i '" + file + "' -map 0 -c copy -f null -";
    for (auto _ : state)
        if (zeltest::run_command(cmd) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
    state.counters["packets_per_s"] =
        benchmark::Counter(static_cast<double>(per_run) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_PlainWriterClip(benchmark::State &state)
{
    quiet();
    const Media &m = media();
    const std::string out = root().dir() + "/clip.mp4";
    for (auto _ : state) {
        mp4_muxer_config_t c{};
        c.path = out.c_str();
        c.video_codec = 35;
        c.audio_channels = 1;
        c.width = 2880;
        c.height = 1620;
        c.video_time_scale = 90000;
        c.audio_time_scale = 16000;
        mp4_muxer_t *h = mp4_muxer_init(&c);
        const bool ok = h && play(
                                 m, [&](const ko_av_frame &f) { return mp4_muxer_update_video(h, &f) == 0; },
                                 [&](const ko_av_frame &f) { return mp4_muxer_update_audio(h, &f) == 0; });
        if (!h || mp4_muxer_finish(h) != 0 || !ok) {
            state.SkipWithError("the writer failed");
            return;
        }
    }
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(m.units.size()) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_FfmpegCopyToMp4(benchmark::State &state)
{
    recbench::ffmpeg_copy(state, media(), root().dir(), root().dir() + "/copy.mp4", "-f mp4");
}

constexpr int kIndexEntries = 200; // entries already listed when an add is timed

void BM_CustomIndexAdd(benchmark::State &state)
{
    quiet();
    zeltest::TempRoot r;
    uint32_t start = 1700000000;
    for (int i = 0; i < kIndexEntries; i++) {
        const custom_record_index_entry_t e{start++, 1, 2, {0, 0}};
        custom_record_index_add(&e);
    }
    for (auto _ : state) {
        const custom_record_index_entry_t e{start++, 1, 2, {0, 0}};
        if (custom_record_index_add(&e) != 0) {
            state.SkipWithError("add failed");
            return;
        }
    }
    state.counters["adds_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The same bytes as one add writes, written raw: write, fsync, rename.
void BM_RawWriteFsyncRename(benchmark::State &state)
{
    zeltest::TempRoot r;
    const std::string path = r.dir() + "/index", tmp = path + ".tmp";
    std::vector<uint8_t> bytes((kIndexEntries + 1 + 64) * 8, 0x5a);
    for (auto _ : state) {
        const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || fsync(fd) != 0 ||
            close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
            state.SkipWithError("raw write failed");
            return;
        }
    }
    state.counters["writes_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ReaderAllFrames)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_FfmpegReadCopyNull)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_PlainWriterClip)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_FfmpegCopyToMp4)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_CustomIndexAdd)->Unit(benchmark::kMicrosecond)->Iterations(200)->UseRealTime();
BENCHMARK(BM_RawWriteFsyncRename)->Unit(benchmark::kMicrosecond)->Iterations(200)->UseRealTime();

} // namespace
