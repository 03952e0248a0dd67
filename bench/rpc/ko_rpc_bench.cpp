// Request/reply round trips through the RPC link and the daemon simulator, next to a raw loopback
// TCP ping-pong with the same simulator process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "app/rpc/ko_rpc.h"
#include "common/ipc/ko_message.h"
#include "common/ko_porting_hooks.h"
#include "common/utils/ko_log.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_cond;
int g_replies = 0;

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

int connect_to(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The simulator process and the started link, for the whole run.
struct Setup {
    pid_t sim = -1;
    int port = 0;
    std::string dir;

    Setup()
    {
        char templ[] = "/tmp/zelmar-bench-XXXXXX";
        dir = mkdtemp(templ);
        port = free_port();
        sim = fork();
        if (sim == 0) {
            const std::string port_text = std::to_string(port), control = dir + "/ctl";
            // The simulator logs every object: keep that out of the benchmark's table.
            const int log_fd = open((dir + "/sim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (log_fd < 0 || dup2(log_fd, STDOUT_FILENO) < 0)
                _exit(126);
            execl(ZEL_BENCH_PYTHON, ZEL_BENCH_PYTHON, ZEL_BENCH_DAEMON_SIM, "--port", port_text.c_str(), "--control",
                  control.c_str(), "--script", "bench.ping={\"result\":\"pong\"}", static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            const int fd = connect_to(port);
            if (fd >= 0) {
                close(fd);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        setenv("ZELMAR_DAEMON_PORT", std::to_string(port).c_str(), 1);
        ko_log_param quiet{};
        quiet.level = KO_LOG_ERROR;
        quiet.output = KO_LOG_OUT_CONSOLE;
        ko_log_init(&quiet);
        ko_message_init(nullptr);
        ko_rpc_init();
        // Requests are dropped until both links are up: ping until one is answered.
        const std::string ping = "{\"id\":0,\"method\":\"bench.ping\"}";
        std::unique_lock<std::mutex> lock(g_mutex);
        for (int i = 0; i < 100 && g_replies == 0; ++i) {
            lock.unlock();
            ko_rpc_send(ping.c_str(), static_cast<int>(ping.size()));
            lock.lock();
            g_cond.wait_for(lock, std::chrono::milliseconds(100), [] { return g_replies > 0; });
        }
    }
    ~Setup()
    {
        ko_rpc_deinit();
        ko_message_deinit();
        ko_log_deinit();
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
        unlink((dir + "/ctl").c_str());
        unlink((dir + "/sim.log").c_str());
        rmdir(dir.c_str());
    }
};

Setup &setup()
{
    static Setup instance;
    return instance;
}

void BM_RpcLinkRoundTrip(benchmark::State &state)
{
    setup();
    int id = 0;
    for (auto _ : state) {
        const std::string request = "{\"id\":" + std::to_string(++id) + ",\"method\":\"bench.ping\"}";
        std::unique_lock<std::mutex> lock(g_mutex);
        const int want = g_replies + 1;
        ko_rpc_send(request.c_str(), static_cast<int>(request.size()));
        if (!g_cond.wait_for(lock, std::chrono::seconds(5), [&] { return g_replies >= want; })) {
            state.SkipWithError("no reply through the link");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RpcLinkRoundTrip)->UseRealTime();

void BM_RawTcpRoundTrip(benchmark::State &state)
{
    const int fd = connect_to(setup().port);
    int id = 0;
    char buf[256];
    for (auto _ : state) {
        const std::string request = "{\"id\":" + std::to_string(++id) + ",\"method\":\"bench.ping\"}";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        // The simulator's reply is one small object ending in "}".
        ssize_t n;
        size_t got = 0;
        do {
            n = recv(fd, buf + got, sizeof buf - got, 0);
            got += n > 0 ? static_cast<size_t>(n) : 0;
        } while (n > 0 && buf[got - 1] != '}');
        if (n <= 0) {
            state.SkipWithError("simulator closed the connection");
            break;
        }
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawTcpRoundTrip)->UseRealTime();

} // namespace

extern "C" int ko_rpc_receive(const char *, int)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_replies;
    g_cond.notify_all();
    return 0;
}

extern "C" int ko_ipc_on_error(int)
{
    return 0;
}
