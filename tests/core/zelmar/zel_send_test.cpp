// Queued output handed to a non-blocking socket: as much as it takes, nothing lost, failures told.
#include "zelmar/zel_send.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

struct Pair {
    int fd[2] = {-1, -1};
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
    ~Pair()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    std::string drain()
    {
        std::string got;
        char buf[65536];
        for (ssize_t n; (n = recv(fd[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        return got;
    }
};

TEST(ZelSendPending, TakesWhatTheSocketTakesAndKeepsTheRestInOrder)
{
    Pair p;
    std::string pending;
    for (int i = 0; pending.size() < 4 * 1024 * 1024; ++i)
        pending += std::to_string(i) + ",";
    const std::string all = pending;
    const ssize_t first = zel_send_pending(p.fd[0], &pending);
    ASSERT_GT(first, 0);
    ASSERT_FALSE(pending.empty()) << "a socket buffer holds less than 4 MB";
    EXPECT_EQ(zel_send_pending(p.fd[0], &pending), 0); // full: nothing taken, nothing lost
    EXPECT_EQ(static_cast<size_t>(first) + pending.size(), all.size());

    std::string got = p.drain();
    while (!pending.empty()) {
        ASSERT_GE(zel_send_pending(p.fd[0], &pending), 0);
        got += p.drain();
    }
    EXPECT_EQ(got, all);
}

TEST(ZelSendPending, FailureLeavesThePendingBytesAndTellsWhy)
{
    Pair p;
    close(p.fd[1]);
    p.fd[1] = -1;
    std::string pending = "reply";
    errno = 0;
    EXPECT_EQ(zel_send_pending(p.fd[0], &pending), -1); // no SIGPIPE either
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(pending, "reply");
    std::string empty;
    EXPECT_EQ(zel_send_pending(p.fd[0], &empty), 0);
}

} // namespace
