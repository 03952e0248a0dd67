// The socket helpers: the frame header byte for byte, and send-all against a Python receiver that
// reads slowly (every byte must arrive) and one that never reads (bounded, -6).
#include "zel_net_core/zel_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "zelmar/zel_crypto.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;

TEST(ZelSocketHeader, PacksBigEndianWordsAfterTheMagic)
{
    uint8_t h[ZEL_SOCKET_HEADER_SIZE];
    zel_socket_header_pack(h, 1, 0x01020304, 3, 0xA0B0C0D0, 5);
    const uint8_t expected[24] = {0x5A, 0x5A, 0x5A, 0x5A, 0, 0, 0, 1, 1, 2, 3, 4,
                                  0, 0, 0, 3, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 0, 5};
    EXPECT_EQ(std::memcmp(h, expected, sizeof expected), 0);
    zel_socket_header_fields f{};
    EXPECT_EQ(zel_socket_header_parser(h, &f), 0x01020304);
    EXPECT_EQ(f.word4, 0xA0B0C0D0u);
    EXPECT_EQ(f.word3, 3u);
    EXPECT_EQ(f.word5, 5u);
    EXPECT_EQ(f.word1, 1u);
    EXPECT_EQ(zel_socket_header_parser(h, nullptr), 0x01020304);
}

TEST(ZelSocketHeader, RefusesAHeaderWithoutTheMagic)
{
    uint8_t h[ZEL_SOCKET_HEADER_SIZE];
    zel_socket_header_pack(h, 1, 2, 3, 4, 5);
    for (int i = 0; i < 4; i++) {
        uint8_t bad[ZEL_SOCKET_HEADER_SIZE];
        std::memcpy(bad, h, sizeof bad);
        bad[i] = 0x5B;
        EXPECT_EQ(zel_socket_header_parser(bad, nullptr), -2) << i;
    }
    EXPECT_EQ(zel_socket_header_parser(nullptr, nullptr), -2);
}

TEST(ZelSocketNonblock, AddsTheFlag)
{
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    EXPECT_EQ(set_nonblock(fd[0]), 0);
    EXPECT_TRUE(fcntl(fd[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(set_nonblock(-1), -1);
    char b;
    EXPECT_EQ(read(fd[0], &b, 1), -1);
    EXPECT_EQ(get_last_socket_error(), EAGAIN);
    close(fd[0]);
    close(fd[1]);
}

namespace {

// A listening socket on a free loopback port, and the one connection a peer makes to it.
class Listener {
public:
    Listener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd_, 1), 0);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    int port() const { return port_; }
    int accept_one()
    {
        const int c = accept(fd_, nullptr, nullptr);
        const int small = 8192;
        setsockopt(c, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        return c;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> data(n);
    uint32_t x = 12345;
    for (auto &b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return data;
}

} // namespace

TEST(ZelSocketSend, ASlowReaderGetsEveryByte)
{
    zeltest::TempRoot root;
    Listener l;
    const std::string out = root.path("/tmp/sink.txt");
    zeltest::ChildProcess peer(zeltest::python_peer("tcp_sink.py", {std::to_string(l.port()), "slow", out}));
    const int c = l.accept_one();
    ASSERT_GE(c, 0);
    const std::vector<uint8_t> data = pattern(3 * 1024 * 1024 + 17);
    EXPECT_EQ(socket_send(c, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    close(c);
    ASSERT_TRUE(zeltest::wait_until([&] { return root.exists("/tmp/sink.txt"); }, 20000ms));
    uint8_t digest[ZEL_SHA256_LEN];
    ASSERT_EQ(zel_crypto_sha256(data.data(), data.size(), digest), 0);
    EXPECT_EQ(root.read_file("/tmp/sink.txt"),
              std::to_string(data.size()) + " " + zeltest::hex(digest, sizeof digest));
}

TEST(ZelSocketSend, AReaderThatNeverReadsGivesMinus6WithinItsBound)
{
    zeltest::TempRoot root;
    Listener l;
    const std::string out = root.path("/tmp/stall.txt");
    zeltest::ChildProcess peer(zeltest::python_peer("tcp_sink.py", {std::to_string(l.port()), "stall", out}));
    const int c = l.accept_one();
    ASSERT_GE(c, 0);
    const std::vector<uint8_t> data = pattern(64 * 1024 * 1024);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(socket_send(c, data.data(), static_cast<int>(data.size())), -6);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(ZEL_SOCKET_SEND_STALL_MS));
    EXPECT_LT(took, std::chrono::milliseconds(ZEL_SOCKET_SEND_STALL_MS) + zeltest::scaled(3000ms));
    close(c);
}

TEST(ZelSocketSend, APeerThatClosedGivesMinus6WithoutSigpipe)
{
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    close(fd[1]);
    const char text[] = "hello";
    EXPECT_EQ(socket_send(fd[0], text, sizeof text), -6);  // EPIPE, and the process lives on
    EXPECT_EQ(socket_send(fd[0], nullptr, 4), -6);
    close(fd[0]);
}
