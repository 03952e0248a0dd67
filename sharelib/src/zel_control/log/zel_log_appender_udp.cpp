// The UDP appender: every line is sent, without newline or colour, as one datagram to an IPv4
// address and port.
#include "zel_control/log/zel_log_context.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

struct udp_ctx {
    int fd;
    sockaddr_in peer;
};

int udp_write(zel_log_appender_t *appender, int, const char *text, int length)
{
    auto *ctx = static_cast<udp_ctx *>(appender->priv);
    // Never wait for the network in a log call: a datagram that cannot go at once is dropped.
    const ssize_t sent = sendto(ctx->fd, text, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr *>(&ctx->peer), sizeof ctx->peer);
    return static_cast<int>(sent);
}

void udp_free(zel_log_appender_t *appender)
{
    auto *ctx = static_cast<udp_ctx *>(appender->priv);
    if (!ctx)
        return;
    if (close(ctx->fd) != 0)
        std::fprintf(stderr, "zellog: close of udp appender %s failed: %s\n", appender->name, std::strerror(errno));
    delete ctx;
    appender->priv = nullptr;
}

} // namespace

zel_log_appender_t *zel_log_create_udp_appender(const char *name, const char *server, int port)
{
    int code = -2;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    udp_ctx *ctx = nullptr;
    // inet_pton rather than inet_addr: a malformed address must not turn into the broadcast address.
    if (server && port > 0 && port <= 65535 && inet_pton(AF_INET, server, &peer.sin_addr) == 1) {
        code = -3;
        ctx = new (std::nothrow) udp_ctx{-1, peer};
        if (ctx) {
            code = -7;
            ctx->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (ctx->fd >= 0) {
                code = -3;
                if (zel_log_appender_t *appender = zel_log_appender_new(name, ctx, udp_write, udp_free))
                    return appender;
                close(ctx->fd);
            }
            delete ctx;
        }
    }
    std::fprintf(stderr, "faile to init udp appender ctx, code=%d\n", code);
    return nullptr;
}
