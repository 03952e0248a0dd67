// What the listen and service tests share: a listen in a thread of its own, a fixture with the
// loopback network and the library set up, and a UDP sink on a loopback address.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <thread>

#include "ztp_api.h"
#include "ztp_loopback.h"
#include "ztp_socket.h"
#include "ztp_tick.h"
#include "ztp_tick_test.h"

namespace ztptest {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

inline constexpr char kDid[] = "ABC-123-XYZ";
inline const std::string kDidJson = R"(["ABC",123,"XYZ"])";

// A listen in a thread of its own.
class ListenRun {
public:
    void start(const std::string &did, unsigned timeout_s, uint8_t mode, uint16_t port = 0)
    {
        t0_ = ztp_tick_ms();
        thread_ = std::thread([=] {
            result_ = ZTP_Listen(did.c_str(), timeout_s, port, mode);
            ended_ = ztp_tick_ms();
        });
    }
    // The result, waiting up to `timeout` (stretched); INT_MIN when it did not end.
    int wait(std::chrono::milliseconds timeout)
    {
        zeltest::wait_until([&] { return result_.load() != INT_MIN; }, timeout);
        return result_.load();
    }
    int64_t took_ms() const { return ended_ - t0_; }
    ~ListenRun()
    {
        if (thread_.joinable()) {
            if (result_.load() == INT_MIN)
                ZTP_Listen_Break();
            thread_.join();
        }
    }

private:
    std::thread thread_;
    std::atomic<int> result_{INT_MIN};
    int64_t t0_ = 0;
    std::atomic<int64_t> ended_{0};
};

class ZtpNet : public ::testing::Test {
protected:
    void init(int servers = 3) { ASSERT_EQ(ZTP_Initialize(net_.init_string(servers).c_str()), 0); }
    // The servers' addresses, as a network detection leaves them.
    void resolve_servers()
    {
        ztp_net_info info{};
        ASSERT_EQ(ZTP_NetworkDetect(&info, 0), 0);
    }
    void TearDown() override
    {
        run_.reset();
        ZTP_DeInitialize();
        ztp_tick_set_source(nullptr);
    }
    void script(const std::string &fields, int server = -1)
    {
        net_.server(R"({"cmd":"udp_script","server":)" + std::to_string(server) + "," + fields + "}");
    }
    // Sends a message from server `server` to the camera (its last login's sender).
    void server_send(const std::string &msg_fields, int server = 0)
    {
        Json a = net_.server(R"({"cmd":"udp_send","server":)" + std::to_string(server) + R"(,"to":"camera",)" +
                             msg_fields + "}");
        ASSERT_TRUE(member(a.get(), "ok")) << json_object_to_json_string(a.get());
    }
    // Starts a listen and waits until the servers have its first login.
    void listen_logged_in(uint8_t mode = 1, unsigned timeout_s = 60)
    {
        run_ = std::make_unique<ListenRun>();
        run_->start(kDid, timeout_s, mode);
        ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})")) << "no login reached the servers";
        // The login answer has been handled when a second server has logged the login too.
        ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":2})"));
        usleep(100 * 1000);
    }
    std::string camera_addr()
    {
        Json login = net_.server_wait(R"({"type":18,"server":0})");
        json_object *from = member(login.get(), "from");
        return json_object_to_json_string(from);
    }

    Loopback net_;
    std::unique_ptr<ListenRun> run_;
};

// A UDP socket on 127.a.b.x for what the camera sends to a "peer" the test owns.
class Sink {
public:
    Sink(const std::string &ip, int port)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Sink() { close(fd_); }
    bool bound() const { return bound_; }
    int port() const { return port_; }
    int fd() const { return fd_; }
    // Datagrams that arrive within `ms`.
    int count(int ms)
    {
        int n = 0;
        uint8_t buf[2048];
        while (ztp_poll_one(fd_, POLLIN, ms) > 0 && recv(fd_, buf, sizeof buf, 0) >= 0)
            ++n;
        return n;
    }
    // One datagram within `ms`: its bytes (empty on time-out), and its sender.
    std::string take(int ms, sockaddr_in *from = nullptr)
    {
        uint8_t buf[2048];
        sockaddr_in f{};
        socklen_t len = sizeof f;
        if (ztp_poll_one(fd_, POLLIN, ms) <= 0)
            return "";
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&f), &len);
        if (from)
            *from = f;
        return n > 0 ? std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(n)) : "";
    }

private:
    int fd_;
    bool bound_;
    int port_;
};

} // namespace ztptest
