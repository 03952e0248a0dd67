// Output that a non-blocking socket has not taken yet, handed on as fast as the peer reads, so that
// a server never waits on one slow peer.
#pragma once

#include <sys/types.h>

#include <string>

// Sends the front of `pending` as far as the socket takes it now, without waiting and without
// SIGPIPE, and erases what went: the bytes taken (0 when the socket is full), or -1 when the
// socket failed (errno tells why; `pending` is left as it was).
ssize_t zel_send_pending(int fd, std::string *pending);
