// The echo probe: ICMP echo requests on a raw socket, optionally bound to one interface. Every raw
// ICMP socket of the host sees every echo reply, so a reply counts only when it comes from the probed
// address and carries a sequence number this probe sent: concurrent probes never take each other's.
#include "zel_net_core/zel_net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "zel_control/log/zel_log.h"
#include "zel_net_core/zel_net_echo.h"
#include "zelmar/zel_clock.h"

namespace {

constexpr const char *TAG = "zel_net_core";
constexpr int kAttempts = 20;
constexpr int kReplyWaitMs = 100;
constexpr int kAttemptPauseMs = 500;
constexpr size_t kMaxDatagram = 1500;

struct Probe {
    int fd;
    sockaddr_in target;
    uint16_t identifier;
};

int send_echo_request(const Probe &probe, uint16_t sequence)
{
    uint8_t request[zel_net::kEchoRequestSize];
    zel_net::echo_request_build(request, probe.identifier, sequence);
    return static_cast<int>(sendto(probe.fd, request, sizeof request, 0,
                                   reinterpret_cast<const sockaddr *>(&probe.target), sizeof probe.target));
}

// Takes datagrams for up to the reply wait; true at the first matching reply.
bool wait_reply(const Probe &probe, uint16_t last_sequence)
{
    std::array<uint8_t, kMaxDatagram> datagram;
    const int64_t deadline = time_monotonic_ms() + kReplyWaitMs;
    for (;;) {
        const int64_t left = deadline - time_monotonic_ms();
        if (left <= 0)
            return false;
        pollfd pfd = {probe.fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
            return false;
        const ssize_t n = recv(probe.fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
        if (n > 0 && zel_net::echo_reply_matches(datagram.data(), static_cast<size_t>(n), probe.target.sin_addr.s_addr,
                                                 probe.identifier, last_sequence))
            return true;
    }
}

} // namespace

extern "C" int zel_net_ping_ip(const char *ip, const char *ifname)
{
    if (!ip) {
        ZEL_LOGE(TAG, "param is null\n");
        return -1;
    }
    Probe probe{};
    probe.target.sin_family = AF_INET;
    if (inet_aton(ip, &probe.target.sin_addr) == 0) {
        ZEL_LOGE(TAG, "inet_aton err\n");
        return -1;
    }
    probe.fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (probe.fd < 0) {
        ZEL_LOGE(TAG, "create socket err\n");
        return -1;
    }
    probe.identifier = static_cast<uint16_t>(getpid() & 0xFFFF);
    const timeval wait = {0, kReplyWaitMs * 1000};
    if ((ifname && setsockopt(probe.fd, SOL_SOCKET, SO_BINDTODEVICE, ifname,
                              static_cast<socklen_t>(strlen(ifname) + 1)) != 0) ||
        setsockopt(probe.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        ZEL_LOGE(TAG, "setsockopt err\n");
        close(probe.fd);
        return -1;
    }
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        const uint16_t sequence = static_cast<uint16_t>(attempt);
        send_echo_request(probe, sequence);
        if (wait_reply(probe, sequence)) {
            close(probe.fd);
            return 0;
        }
        if (attempt < kAttempts)
            usleep(kAttemptPauseMs * 1000);
    }
    close(probe.fd);
    return -1;
}
