#include "fair_baseline.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "ztp_scramble.h"
#include "ztp_socket.h"
#include "ztp_wire_msgs.h"

namespace p2pbench {

namespace {

constexpr size_t kHeader = 32, kBlock = 1024, kNonce = 8;

struct ThreadLoad {
    uint64_t cpu_ns, wakes;
};

ThreadLoad this_thread_load()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return {static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<uint64_t>(t.tv_nsec),
            static_cast<uint64_t>(u.ru_nvcsw)};
}

ThreadLoad since(const ThreadLoad &a, const ThreadLoad &b)
{
    return {b.cpu_ns - a.cpu_ns, b.wakes - a.wakes};
}

// One phone's share of a frame: header and frame encrypted, then sent block by block.
void send_to_phone(int sock, const sockaddr_in &to, const ztp_scramble_key &key, const uint8_t phone_key[32],
                   uint16_t &index, const FairFrame &f, std::vector<uint8_t> &plain, std::vector<uint8_t> &sealed)
{
    const size_t n = kHeader + f.data->size();
    plain.resize(n);
    sealed.resize(kNonce + n);
    std::memset(plain.data(), 0, kHeader);
    const uint64_t time_ms = f.stamp_us / 1000;
    for (int b = 0; b < 8; b++)
        plain[16 + static_cast<size_t>(b)] = static_cast<uint8_t>(time_ms >> (8 * b));
    std::memcpy(plain.data() + kHeader, f.data->data(), f.data->size());
    randombytes_buf(sealed.data(), kNonce);
    crypto_stream_chacha20_xor(sealed.data() + kNonce, plain.data(), n, sealed.data(), phone_key);
    uint8_t msg[ZTP_HEADER_LEN + 4 + kBlock];
    for (size_t at = 0; at < sealed.size(); at += kBlock) {
        const size_t len = std::min(kBlock, sealed.size() - at);
        const int m = ztp_write_DRW(1, index++, sealed.data() + at, len, msg, sizeof msg);
        if (m > 0)
            ztp_SendMessage(sock, &key, msg, static_cast<size_t>(m), &to);
    }
}

} // namespace

FairLoad fair_baseline(const std::vector<FairFrame> &frames, int phones)
{
    FairLoad out;
    if (sodium_init() < 0)
        return out;
    const int sink = socket(AF_INET, SOCK_DGRAM, 0), sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof to;
    if (sink < 0 || sock < 0 || bind(sink, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 ||
        getsockname(sink, reinterpret_cast<sockaddr *>(&to), &len) != 0) {
        close(sink);
        close(sock);
        return out;
    }
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "ZelmarBenchKey");
    std::vector<std::array<uint8_t, 32>> keys(static_cast<size_t>(phones));
    for (auto &k : keys)
        randombytes_buf(k.data(), k.size());
    std::mutex m;
    std::condition_variable cv;
    size_t next = 0;
    bool busy = false, done = false;
    ThreadLoad worker{};
    std::thread t([&] {
        const ThreadLoad start = this_thread_load();
        std::vector<uint16_t> index(static_cast<size_t>(phones), 0);
        std::vector<uint8_t> plain, sealed;
        std::unique_lock<std::mutex> g(m);
        for (;;) {
            cv.wait(g, [&] { return busy || done; });
            if (!busy)
                break;
            const FairFrame &f = frames[next];
            g.unlock();
            for (int p = 0; p < phones; p++)
                send_to_phone(sock, to, key, keys[static_cast<size_t>(p)].data(), index[static_cast<size_t>(p)], f,
                              plain, sealed);
            g.lock();
            busy = false;
            cv.notify_all();
        }
        worker = since(start, this_thread_load());
    });
    const ThreadLoad start = this_thread_load();
    {
        std::unique_lock<std::mutex> g(m);
        for (next = 0; next < frames.size(); next++) {
            busy = true;
            cv.notify_all();
            cv.wait(g, [&] { return !busy; });
        }
        done = true;
        cv.notify_all();
    }
    const ThreadLoad feeder = since(start, this_thread_load());
    t.join();
    close(sink);
    close(sock);
    out.cpu_ns = worker.cpu_ns + feeder.cpu_ns;
    out.wakes = worker.wakes + feeder.wakes;
    out.ok = true;
    return out;
}

} // namespace p2pbench
