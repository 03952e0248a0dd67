// Handing queued output to a non-blocking socket.
#include "zelmar/zel_send.h"

#include <sys/socket.h>

#include <cerrno>

ssize_t zel_send_pending(int fd, std::string *pending)
{
    size_t sent = 0;
    while (sent < pending->size()) {
        const ssize_t n = send(fd, pending->data() + sent, pending->size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n == 0)
            errno = EPIPE;
        return -1;
    }
    pending->erase(0, sent);
    return static_cast<ssize_t>(sent);
}
