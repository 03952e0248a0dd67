// Round trip of an agent-bus request and its acknowledgement through our agent server, next to a raw
// SOCK_SEQPACKET socketpair ping-pong of the same texts, which is the floor of what the bus can do.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "agent_server.h"
#include "agent_server_test.h"
#include "zel_app_agent_client/agent_client.h"
#include "zel_control/log/zel_log.h"

namespace {

std::atomic<int> g_acks{0};

int count_ack(int, void *, void *)
{
    g_acks.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int accept_all(int, const void *)
{
    return 0;
}

// Drains `fd` with `handler` until `stop` is set.
void drain(int fd, agent_msg_handler_t handler, const std::atomic<bool> &stop)
{
    while (!stop.load()) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) == 1)
            message_recv_handler(fd, handler);
    }
}

void BM_AgentRequestAckThroughServer(benchmark::State &state)
{
    // The bus logs every message at info level; keep the measurement about the bus.
    zel_log_set_logger_level(zel_log_get_default_logger(), ZEL_LOG_WARN);
    const std::string name = "zelbench_agent_" + std::to_string(getpid());
    setenv("ZELMAR_AGENT_SOCK", name.c_str(), 1);
    if (agent_server_init() != 0) {
        state.SkipWithError("agent server did not start");
        return;
    }
    const int receiver = start_agent_client("bench_receiver");
    const int sender = start_agent_client("bench_sender");
    const int key = 3;
    register_key_module(receiver, &key, 1, "bench_receiver");
    while (agent_server_subscribers("set_light") < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::atomic<bool> stop{false};
    std::thread module([&] { drain(receiver, accept_all, stop); });
    const int32_t on = 1;
    for (auto _ : state) {
        const int before = g_acks.load();
        if (send_request_api(3, &on, count_ack, nullptr, 0, sender) != 0) {
            state.SkipWithError("send failed");
            break;
        }
        // The sender drains its own connection for the acknowledgement.
        while (g_acks.load() == before) {
            struct pollfd pfd = {sender, POLLIN, 0};
            if (poll(&pfd, 1, 1000) == 1)
                message_recv_handler(sender, accept_all);
        }
    }
    stop = true;
    module.join();
    stop_agent_client(sender, "bench_sender");
    stop_agent_client(receiver, "bench_receiver");
    agent_server_stop();
    requests_clear();
}
BENCHMARK(BM_AgentRequestAckThroughServer)->UseRealTime();

void BM_RawSeqpacketPingPong(benchmark::State &state)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    static const char request[] = R"({ "id": 1, "method": "set_light", "params": 1 })";
    static const char ack[] = R"({"id":1,"result":"OK"})";
    std::thread echo([&] {
        char buf[4096];
        while (recv(fds[1], buf, sizeof buf, 0) > 0)
            if (send(fds[1], ack, sizeof ack - 1, MSG_NOSIGNAL) < 0)
                break;
    });
    char buf[4096];
    for (auto _ : state) {
        if (send(fds[0], request, sizeof request - 1, MSG_NOSIGNAL) < 0 || recv(fds[0], buf, sizeof buf, 0) <= 0) {
            state.SkipWithError("ping-pong failed");
            break;
        }
    }
    shutdown(fds[0], SHUT_RDWR);
    echo.join();
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_RawSeqpacketPingPong)->UseRealTime();

} // namespace
