// The main stream's hand-off (2000 kbit/s H.265, 20 fps, a 1080p-class load) through the media app's
// fetch thread, next to a bare get_video_stream loop on the same board in the same run: 10 s of
// stream each, after the fetch thread has caught up with its start-up pause. Reported: median and
// p99 of hand-off time minus the board's capture time stamp, and CPU ms of the fetching thread per
// second of stream. Goal: CPU within 1.2x and median latency within 0.5 ms of the bare loop.
#include <benchmark/benchmark.h>

#include "boardav.h"
#include "zel_control/log/zel_log.h"
#include "sdk_media_frame.h"
#include "zel_media.h"
#include "zel_sound_play.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

constexpr int64_t kStreamUs = 10 * 1000 * 1000;
constexpr int64_t kCaughtUpUs = 5000; // a frame handed over this soon after capture: no backlog left

int64_t mono_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

int64_t thread_cpu_us()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

// Hand-offs of one run: latency per frame and the fetching thread's CPU time over the measured span.
struct Run {
    std::mutex lock;
    std::vector<int64_t> latency_us;
    int64_t first_ts_us = -1;
    int64_t last_ts_us = 0;
    int64_t cpu_start_us = 0;
    int64_t cpu_end_us = 0;
    std::atomic<bool> done{false};

    // One frame handed over now on the fetching thread.
    void frame(int64_t ts_us)
    {
        const int64_t now = mono_us();
        std::lock_guard<std::mutex> l(lock);
        if (done)
            return;
        if (first_ts_us < 0) {
            if (now - ts_us > kCaughtUpUs)
                return;
            first_ts_us = ts_us;
            cpu_start_us = thread_cpu_us();
            return;
        }
        latency_us.push_back(now - ts_us);
        last_ts_us = ts_us;
        cpu_end_us = thread_cpu_us();
        if (ts_us - first_ts_us >= kStreamUs)
            done = true;
    }

    void report(benchmark::State &state)
    {
        std::lock_guard<std::mutex> l(lock);
        if (latency_us.empty()) {
            state.SkipWithError("no frames");
            return;
        }
        std::sort(latency_us.begin(), latency_us.end());
        const double seconds = static_cast<double>(last_ts_us - first_ts_us) / 1e6;
        state.counters["frames"] = static_cast<double>(latency_us.size());
        state.counters["median_ms"] = latency_us[latency_us.size() / 2] / 1000.0;
        state.counters["p99_ms"] = latency_us[latency_us.size() * 99 / 100] / 1000.0;
        state.counters["cpu_ms_per_s"] = (cpu_end_us - cpu_start_us) / 1000.0 / seconds;
    }
};

Run *g_media_run = nullptr;

// Error lines only, on stderr, so that stdout holds the figures.
void quiet_log()
{
    char path[64];
    snprintf(path, sizeof path, "/tmp/zel_media_bench_%d.ini", static_cast<int>(getpid()));
    if (FILE *f = fopen(path, "w")) {
        fputs("[console]\ntype = stderr\ncolor = false\nlevel = error\n\n[main]\nappender = console\n"
              "async = false\nlevel = error\ndefault = true\n",
              f);
        fclose(f);
        zel_log_init(path);
        unlink(path);
    }
}

// The board stays started for the media run, so that both runs share its pacing and the time
// stamps' millisecond rounding costs both the same.
void BM_BareGetVideoStream(benchmark::State &state)
{
    quiet_log();
    for (auto _ : state) {
        if (board_system_init(1, 0) != 0) {
            state.SkipWithError("board_system_init failed");
            return;
        }
        static std::vector<uint8_t> buffer(524288);
        Run run;
        while (!run.done) {
            board_video_frame_info_t info{};
            if (get_video_stream(0, buffer.data(), static_cast<int>(buffer.size()), &info) == 0 && info.length > 0)
                run.frame(static_cast<int64_t>(info.timestamp / 1000 * 1000)); // as the push rounds it
        }
        run.report(state);
    }
}
BENCHMARK(BM_BareGetVideoStream)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MediaFetchThread(benchmark::State &state)
{
    for (auto _ : state) {
        Run run;
        g_media_run = &run;
        zel_media_init();
        while (!run.done)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        zel_media_deinit();
        g_media_run = nullptr;
        run.report(state);
    }
}
BENCHMARK(BM_MediaFetchThread)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

// The app-client library's place: the main stream's frames are timed, the others dropped.
extern "C" int sdk_porting_push_stream_data(sdk_media_frame_t *frame)
{
    Run *run = g_media_run;
    if (run && frame && frame->channel == SDK_MEDIA_CHANNEL_MAIN)
        run->frame(static_cast<int64_t>(frame->ts_ms) * 1000);
    return 0;
}
