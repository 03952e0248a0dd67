// Frames per second to one receiver through the media app's shared-buffer broadcaster (on "nas_ev",
// the default loop's thread) with 20 KB and 150 KB frames, next to plain writes of the same frames
// (header and bytes) on a unix stream socket. The receiver is a thread reading as fast as it can and
// checking that every frame arrives whole; the producer keeps at most 8 frames ahead of it, as a live
// stream would, so that nothing is dropped. Goal: at least 0.8x the plain socket's rate.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/nas/ko_nas_ev.h"
#include "zel_shbf.h"

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

constexpr uint64_t kAhead = 8;

// Reads a frame stream from `fd`, counting whole frames.
struct Reader {
    explicit Reader(int fd) : fd_(fd), thread_([this] { run(); }) {}
    ~Reader()
    {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    void run()
    {
        std::vector<uint8_t> buf(1 << 20);
        uint64_t need = 16;
        bool header = true;
        for (;;) {
            const ssize_t n = recv(fd_, buf.data(), std::min<size_t>(buf.size(), need), 0);
            if (n <= 0)
                return;
            if (header && static_cast<uint64_t>(n) < need) {
                memcpy(head_ + (16 - need), buf.data(), static_cast<size_t>(n));
                need -= static_cast<uint64_t>(n);
                continue;
            }
            if (header) {
                memcpy(head_ + (16 - need), buf.data(), static_cast<size_t>(n));
                uint32_t len;
                memcpy(&len, head_, 4);
                need = len;
                header = false;
                if (need)
                    continue;
            } else {
                need -= static_cast<uint64_t>(n);
                if (need)
                    continue;
            }
            ++frames;
            need = 16;
            header = true;
        }
    }
    std::atomic<uint64_t> frames{0};
    int fd_;
    uint8_t head_[16] = {};
    std::thread thread_;
};

int connect_to(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    for (int i = 0; i < 200; ++i) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            return fd;
        usleep(10000);
    }
    close(fd);
    return -1;
}

std::string g_root;

void start_broadcaster()
{
    static bool started = [] {
        char tmpl[] = "/tmp/zel_shbf_bench_XXXXXX";
        g_root = mkdtemp(tmpl);
        mkdir((g_root + "/run").c_str(), 0755);
        setenv("ZELMAR_ROOT", g_root.c_str(), 1);
        std::atexit([] { std::system(("rm -rf '" + g_root + "'").c_str()); });
        ko_nas_ev_start();
        zel_shbf_init();
        for (int i = 0; i < 500; ++i) {
            std::lock_guard<std::mutex> hold(shbf_server[SHBF_TYPE_VIDEO_MAIN].lock);
            if (shbf_server[SHBF_TYPE_VIDEO_MAIN].handle)
                return true;
            usleep(10000);
        }
        return false;
    }();
    if (!started)
        abort();
}

void wait_ahead(const Reader &reader, uint64_t sent)
{
    while (sent - reader.frames.load(std::memory_order_relaxed) > kAhead)
        std::this_thread::yield();
}

void BM_Broadcaster(benchmark::State &state)
{
    start_broadcaster();
    const int size = static_cast<int>(state.range(0));
    // The previous run's receiver is gone before this one connects.
    while (shbf_server[SHBF_TYPE_VIDEO_MAIN].count != 0)
        usleep(1000);
    auto reader_holder = std::make_unique<Reader>(connect_to(g_root + "/run/video_mainstream"));
    Reader &reader = *reader_holder;
    while (shbf_server[SHBF_TYPE_VIDEO_MAIN].count < 1)
        usleep(1000);
    std::vector<uint8_t> payload(static_cast<size_t>(size), 0x5A);
    uint64_t sent = 0;
    for (auto _ : state) {
        auto *f = static_cast<shbf_frame_t *>(shbfev_alloc(SHBF_TYPE_VIDEO_MAIN, size));
        memcpy(f->data, payload.data(), payload.size());
        f->length = static_cast<uint32_t>(size);
        f->key = 0;
        f->timestamp = sent;
        if (broadcast_av(SHBF_TYPE_VIDEO_MAIN, f) != 0)
            state.SkipWithError("broadcast failed");
        wait_ahead(reader, ++sent);
    }
    while (reader.frames < sent)
        std::this_thread::yield();
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}

void BM_PlainSocket(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    Reader reader(pair[1]);
    std::vector<uint8_t> frame(16 + size, 0x5A);
    const uint32_t len = static_cast<uint32_t>(size);
    memcpy(frame.data(), &len, 4);
    uint64_t sent = 0;
    for (auto _ : state) {
        // A copy of the frame per write, as the broadcaster's caller fills a fresh buffer each time.
        std::vector<uint8_t> copy(frame);
        size_t at = 0;
        while (at < copy.size()) {
            const ssize_t n = send(pair[0], copy.data() + at, copy.size() - at, MSG_NOSIGNAL);
            if (n <= 0) {
                state.SkipWithError("send failed");
                break;
            }
            at += static_cast<size_t>(n);
        }
        wait_ahead(reader, ++sent);
    }
    while (reader.frames < sent)
        std::this_thread::yield();
    close(pair[0]);
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_PlainSocket)->Arg(20 * 1024)->Arg(150 * 1024)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Broadcaster)->Arg(20 * 1024)->Arg(150 * 1024)->MinTime(2.0)->UseRealTime();
