// The simulated cloud (tests/peers/cloud_sim.py) started in a temporary root: HTTPS on a free port
// with the root's test CA, a control port for scripted answers and the log of every request.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "zel_test_support.h"

namespace cloudtest {

class CloudSim {
public:
    // Starts the simulator for session key `key` (16 bytes) and `token`; false when it did not start.
    bool start(const zeltest::TempRoot &root, const uint8_t key[16], const std::string &token)
    {
        const std::string d = root.dir();
        if (!zeltest::make_https_certs(root))
            return false;
        out_ = d + "/out";
        if (zeltest::run_command("mkdir -p " + out_) != 0)
            return false;
        log_ = d + "/sim.log";
        // A free port can be taken by another test before the simulator binds it: it then ends at
        // once, and another pair of ports is tried.
        for (int attempt = 0; attempt < 3; attempt++) {
            port_ = zeltest::free_tcp_port();
            control_port_ = zeltest::free_tcp_port();
            child_ = std::make_unique<zeltest::ChildProcess>(
                zeltest::python_peer("cloud_sim.py", {std::to_string(port_), d + "/srv.pem", d + "/srv.key",
                                                      zeltest::hex(key, 16), token, out_, std::to_string(control_port_)}),
                std::vector<std::string>{}, log_);
            bool ended = false;
            const bool ready = zeltest::wait_until(
                [&] {
                    if (!child_->running())
                        return ended = true;
                    std::ifstream in(log_);
                    std::string line;
                    while (std::getline(in, line))
                        if (line == "ready")
                            return true;
                    return false;
                },
                std::chrono::seconds(20));
            if (ready && !ended)
                return true;
            if (!ended)
                return false;
        }
        return false;
    }

    std::string base() const { return "https://localhost:" + std::to_string(port_); }
    int port() const { return port_; }
    const std::string &out() const { return out_; }

    // Scripts the answer of one path (a control-port command object).
    void script(const std::string &json) const
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(control_port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        const std::string line = json + "\n";
        ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        char buf[8] = {};
        ASSERT_EQ(read(fd, buf, 3), 3);
        EXPECT_STREQ(buf, "ok\n");
        close(fd);
    }

    // Every request so far, one JSON text each, in arrival order.
    std::vector<std::string> requests() const
    {
        std::ifstream in(out_ + "/requests.jsonl");
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

    std::string last_request() const
    {
        const std::vector<std::string> all = requests();
        return all.empty() ? std::string() : all.back();
    }

private:
    int port_ = 0, control_port_ = 0;
    std::string out_, log_;
    std::unique_ptr<zeltest::ChildProcess> child_;
};

} // namespace cloudtest
