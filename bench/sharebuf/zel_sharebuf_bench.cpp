// Frames per second from one process to another through the shared frame ring (20 KB and 150 KB
// frames), next to the same frames written over a unix stream socket between two processes in the
// same run. The ring's reader checks every frame's index, so a dropped or torn frame fails the run;
// the producer keeps at most half the ring ahead of the reader, as a live stream would.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "zel_formal_stream2/zel_ring_layout.h"
#include "zel_formal_stream2/zel_sharebuf.h"

namespace {

constexpr int kCapacity = 512;
constexpr size_t kData = 48u << 20;

struct Shared {
    std::atomic<uint64_t> received;
    std::atomic<uint64_t> errors;
    std::atomic<bool> stop;
};

void *shared_map(size_t n)
{
    return mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
}

void check_frame(uint64_t, uint32_t, const uint8_t *, uint32_t, const uint8_t *p, uint32_t n, void *user)
{
    auto *s = static_cast<Shared *>(user);
    uint64_t index;
    memcpy(&index, p, sizeof index);
    if (index != s->received.load(std::memory_order_relaxed) || p[n - 1] != static_cast<uint8_t>(index))
        s->errors++;
    s->received.store(index + 1, std::memory_order_release);
}

void BM_SharebufTwoProcesses(benchmark::State &state)
{
    const size_t frame = static_cast<size_t>(state.range(0));
    size_t size = zel_ring::header_size(zel_ring::Kind::shared) + 32 * kCapacity + kData;
    void *block = shared_map(size);
    auto *shared = static_cast<Shared *>(shared_map(sizeof(Shared)));
    new (shared) Shared{};
    zel_sharebuf_t *ring = zel_sharebuf_create(block, static_cast<int>(size), kCapacity);
    pid_t child = fork();
    if (child == 0) {
        zel_sharebuf_cli_t *cli = zel_sharebuf_cli_create(block);
        zel_sharebuf_cli_register(cli, 0, check_frame, shared);
        zel_sharebuf_cli_start(cli);
        while (!shared->stop.load())
            usleep(1000);
        zel_sharebuf_cli_release(cli);
        _exit(0);
    }
    std::vector<uint8_t> payload(frame);
    uint64_t sent = 0;
    int64_t refusals = 0;
    const size_t ahead = std::min<size_t>(kCapacity / 2, kData / 2 / frame);
    for (auto _ : state) {
        while (sent - shared->received.load(std::memory_order_acquire) >= ahead)
            std::this_thread::yield();
        memcpy(payload.data(), &sent, sizeof sent);
        payload[frame - 1] = static_cast<uint8_t>(sent);
        // -11: the reader held the lock too long (preempted on a loaded host); the frame is offered again
        // so that the reader's check still sees every frame.
        int rc;
        while ((rc = zel_sharebuf_enqueue(ring, sent ? 1 : 0, sent, nullptr, 0, payload.data(),
                                          static_cast<uint32_t>(frame))) == -11)
            refusals++;
        if (rc != 0)
            state.SkipWithError("enqueue refused");
        sent++;
    }
    while (shared->received.load() < sent && !shared->errors.load())
        std::this_thread::yield();
    shared->stop = true;
    waitpid(child, nullptr, 0);
    if (shared->errors.load())
        state.SkipWithError("the reader saw a frame out of order");
    state.SetItemsProcessed(static_cast<int64_t>(sent));
    state.SetBytesProcessed(static_cast<int64_t>(sent * frame));
    state.counters["lock_refusals"] = static_cast<double>(refusals);
    zel_sharebuf_release(ring);
    munmap(block, size);
    munmap(shared, sizeof(Shared));
}

void BM_UnixSocketTwoProcesses(benchmark::State &state)
{
    const size_t frame = static_cast<size_t>(state.range(0));
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    pid_t child = fork();
    if (child == 0) {
        close(sv[0]);
        std::vector<uint8_t> buf(frame + 16);
        uint64_t expect = 0;
        for (;;) {
            size_t have = 0;
            while (have < buf.size()) {
                ssize_t n = read(sv[1], buf.data() + have, buf.size() - have);
                if (n <= 0)
                    _exit(expect ? 0 : 1);
                have += static_cast<size_t>(n);
            }
            uint64_t index;
            memcpy(&index, buf.data() + 16, sizeof index);
            if (index != expect++)
                _exit(2);
        }
    }
    close(sv[1]);
    std::vector<uint8_t> msg(frame + 16);
    uint64_t sent = 0;
    for (auto _ : state) {
        memcpy(msg.data() + 16, &sent, sizeof sent);
        size_t done = 0;
        while (done < msg.size()) {
            ssize_t n = write(sv[0], msg.data() + done, msg.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        sent++;
    }
    close(sv[0]);
    int status = 0;
    waitpid(child, &status, 0); // the reader has every frame once it sees the end
    state.SetItemsProcessed(static_cast<int64_t>(sent));
    state.SetBytesProcessed(static_cast<int64_t>(sent * frame));
}

BENCHMARK(BM_SharebufTwoProcesses)->Arg(20 * 1024)->Arg(150 * 1024)->Iterations(20000)->UseRealTime();
BENCHMARK(BM_UnixSocketTwoProcesses)->Arg(20 * 1024)->Arg(150 * 1024)->Iterations(20000)->UseRealTime();

} // namespace
