// Socket helpers. socket_send never blocks inside send (also on a blocking socket): it waits in poll
// while the peer's window is closed instead of retrying at once, and gives up when it stays closed.
#include "zel_net_core/zel_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_error.h"

namespace {

constexpr const char *TAG = "ZEL_NET";
constexpr int kSendIncomplete = -6;

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t get_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

} // namespace

static_assert(ZEL_SOCKET_HEADER_SIZE == 6 * 4, "the frame header is a magic and five 32-bit words");

extern "C" {

void zel_socket_header_pack(uint8_t header[ZEL_SOCKET_HEADER_SIZE], uint32_t w1, uint32_t w2, uint32_t w3,
                            uint32_t w4, uint32_t w5)
{
    if (!header)
        return;
    put_be32(header, ZEL_SOCKET_HEADER_MAGIC);
    put_be32(header + 4, w1);
    put_be32(header + 8, w2);
    put_be32(header + 12, w3);
    put_be32(header + 16, w4);
    put_be32(header + 20, w5);
}

int zel_socket_header_parser(const uint8_t header[ZEL_SOCKET_HEADER_SIZE], zel_socket_header_fields *out)
{
    if (!header || get_be32(header) != ZEL_SOCKET_HEADER_MAGIC)
        return ZEL_EINVAL;
    if (out) {
        out->word4 = get_be32(header + 16);
        out->word3 = get_be32(header + 12);
        out->word5 = get_be32(header + 20);
        out->word1 = get_be32(header + 4);
    }
    return static_cast<int>(get_be32(header + 8));
}

int set_nonblock(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return ZEL_EFAIL;
    return 0;
}

int socket_send(int sock, const void *data, int len)
{
    if (!data || len < 0)
        return kSendIncomplete;
    const auto *p = static_cast<const uint8_t *>(data);
    int sent = 0;
    while (sent < len) {
        const ssize_t n = send(sock, p + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd pfd = {sock, POLLOUT, 0};
            int rc;
            do {
                rc = poll(&pfd, 1, ZEL_SOCKET_SEND_STALL_MS);
            } while (rc < 0 && errno == EINTR);
            if (rc > 0)
                continue;
            ZEL_LOGE(TAG, "socket_send: peer took nothing for %d ms, %d of %d bytes sent", ZEL_SOCKET_SEND_STALL_MS,
                     sent, len);
            return kSendIncomplete;
        }
        ZEL_LOGE(TAG, "socket_send: %s, %d of %d bytes sent", n < 0 ? std::strerror(errno) : "nothing sent", sent, len);
        return kSendIncomplete;
    }
    return len;
}

int get_last_socket_error(void)
{
    return errno;
}

} // extern "C"
