// A media producer for the stream dispatch tests, in a process of its own: the simulated board's
// main and sub video and its audio are published on the shared-buffer broadcasters under "/run"
// (path root), snapshots on request, and what receivers send back is acted on. Every frame sent,
// and every request acted on, is written as one line to the log named by argv[1]:
//   frame <endpoint> <time ms> <key> <length> <fnv-1a 64 of the bytes>
//   idr <endpoint> | play <length> <fnv> | snap <length> <fnv>
// It runs until SIGTERM.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <ev.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "boardav.h"
#include "shbf.h"
#include "zelmar/zel_path.h"

namespace {

enum { kMain, kSub, kAudio, kSnap, kPlay, kMotion, kCount };
const char *const kNames[kCount] = {"video_mainstream", "video_substream", "audio_in", "jpeg_snap", "audio_play",
                                    "md_event"};

std::atomic<bool> running{true};
shbfev_brd_t *brd[kCount];
FILE *out;
std::mutex out_mutex;
struct ev_loop *loop;
ev_async stop_async;

uint64_t fnv(const uint8_t *p, size_t n)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

void line(const std::string &text)
{
    std::lock_guard<std::mutex> g(out_mutex);
    fprintf(out, "%s\n", text.c_str());
    fflush(out);
}

void publish(int type, const uint8_t *data, size_t len, bool key, uint64_t ms, uint32_t flags = 0)
{
    if (shbfev_brd_receivers(brd[type]) < 1)
        return;
    auto *f = static_cast<shbf_frame_t *>(shbfev_brd_alloc(brd[type], static_cast<int>(len)));
    if (!f)
        return;
    memcpy(f->data, data, len);
    f->key = key;
    f->timestamp = ms;
    f->flags = flags;
    // The line goes out before the frame, so a reader never sees a frame the log does not list.
    line("frame " + std::string(kNames[type]) + " " + std::to_string(ms) + " " + (key ? "1" : "0") + " " +
         std::to_string(len) + " " + std::to_string(fnv(data, len)));
    if (shbfev_brd_broadcast(brd[type], f) != 0)
        shbf_free(f);
}

int on_message(shbfev_brd_t *b, int, int, int, const void *data, int len, void *user)
{
    auto type = static_cast<int>(reinterpret_cast<intptr_t>(user));
    auto *p = static_cast<const uint8_t *>(data);
    std::string text(static_cast<const char *>(data), static_cast<size_t>(len));
    if (type == kPlay) {
        play_sound_ex(data, len);
        line("play " + std::to_string(len) + " " + std::to_string(fnv(p, static_cast<size_t>(len))));
    } else if (text == "REQ_IDR") {
        req_IDR();
        line(std::string("idr ") + kNames[type]);
    } else if (type == kSnap && text == "REQ_SNAPSHOT_R") {
        std::vector<uint8_t> jpeg(1 << 20);
        board_jpeg_info_t info{};
        if (get_jpeg_snap(jpeg.data(), static_cast<int>(jpeg.size()), &info) == 0) {
            line("snap " + std::to_string(info.length) + " " +
                 std::to_string(fnv(jpeg.data(), static_cast<size_t>(info.length))));
            publish(kSnap, jpeg.data(), static_cast<size_t>(info.length), true, 0);
        }
    } else if (text == "MOTION") {
        uint8_t value[4] = {7, 0, 0, 0};
        publish(kMotion, value, 4, false, 0, SHBF_FLAG_EVENT);
    }
    (void)b;
    return 0;
}

void video_reader(int chn)
{
    std::vector<uint8_t> buf(1 << 20);
    while (running) {
        board_video_frame_info_t info{};
        if (get_video_stream(chn, buf.data(), static_cast<int>(buf.size()), &info) == 0 && info.length > 0)
            publish(chn == 0 ? kMain : kSub, buf.data(), static_cast<size_t>(info.length), info.key_frame == 1,
                    info.timestamp / 1000);
    }
}

void audio_reader()
{
    std::vector<uint8_t> buf(4096);
    while (running) {
        board_audio_frame_info_t info{};
        if (get_audio_stream_ex(buf.data(), static_cast<int>(buf.size()), &info) == 0 && info.length > 0)
            publish(kAudio, buf.data(), static_cast<size_t>(info.length), false, info.timestamp / 1000);
    }
}

void on_stop(struct ev_loop *l, ev_async *, int) { ev_break(l, EVBREAK_ALL); }

void on_term(int)
{
    running = false;
    ev_async_send(loop, &stop_async);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || !(out = fopen(argv[1], "a")))
        return 2;
    signal(SIGPIPE, SIG_IGN);
    loop = ev_default_loop(0);
    ev_async_init(&stop_async, on_stop);
    ev_async_start(loop, &stop_async);
    for (int t = 0; t < kCount; t++) {
        brd[t] = shbfev_brd_create(zel_path(std::string("/run/") + kNames[t]).c_str());
        shbfev_brd_event(brd[t], SHBF_BRD_MESSAGE, on_message, reinterpret_cast<void *>(static_cast<intptr_t>(t)));
        if (shbfev_brd_start(loop, brd[t]) != 0)
            return 3;
    }
    if (board_system_init(1, 0) != 0)
        return 4;
    signal(SIGTERM, on_term);
    line("ready");
    std::thread main_video(video_reader, 0), sub_video(video_reader, 1), audio(audio_reader);
    ev_run(loop, 0);
    running = false;
    main_video.join();
    sub_video.join();
    audio.join();
    for (shbfev_brd_t *b : brd)
        shbfev_brd_destroy(b);
    board_system_exit();
    fclose(out);
    return 0;
}
