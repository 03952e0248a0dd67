// Helpers for the agent-bus tests: a unique bus name per test, app modules that run the receive loop
// the app Parts use (poll, drain, reconnect), and raw seqpacket peers that speak the wire directly.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "zel_app_agent_client/agent_client.h"
#include "zel_test_support.h"

namespace agenttest {

using namespace std::chrono_literals;

// Sets ZELMAR_AGENT_SOCK to a name no other test process uses.
inline std::string use_unique_bus_name()
{
    static int counter = 0;
    const std::string name = "zeltest_agent_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    setenv("ZELMAR_AGENT_SOCK", name.c_str(), 1);
    return name;
}

struct Received {
    int cmd;
    std::string text; // text params, or the decimal integer, or "ssid/passwd"
};

// Replies seen by a request callback.
struct Replies {
    std::mutex lock;
    std::vector<int> not_ok;
    static int callback(int not_ok, void *, void *context)
    {
        auto *self = static_cast<Replies *>(context);
        std::lock_guard<std::mutex> g(self->lock);
        self->not_ok.push_back(not_ok);
        return 0;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(lock);
        return not_ok.size();
    }
    int at(size_t i)
    {
        std::lock_guard<std::mutex> g(lock);
        return not_ok.at(i);
    }
};

// An app module: its own connection and receive thread, reconnecting after a hang-up.
class Module {
public:
    Module(std::string name, std::vector<int> keys, std::function<int(int, const void *)> result = nullptr)
        : name_(std::move(name)), keys_(std::move(keys)), result_(std::move(result))
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Module()
    {
        stop_ = true;
        thread_.join();
    }
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    int fd() const { return fd_.load(); }
    int connects() const { return connects_.load(); }
    bool wait_connected(int times = 1) const
    {
        return zeltest::wait_until([&] { return connects_.load() >= times && fd_.load() > 0; }, 10s);
    }
    bool wait_received(size_t n, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock<std::mutex> g(lock_);
        return cv_.wait_for(g, timeout, [&] { return received_.size() >= n; });
    }
    std::vector<Received> received()
    {
        std::lock_guard<std::mutex> g(lock_);
        return received_;
    }

private:
    static thread_local Module *current_;

    static int handler(int cmd, const void *params)
    {
        Module *self = current_;
        std::string text;
        if (cmd == 5) {
            const auto *wifi = static_cast<const agent_wifi_params_t *>(params);
            text = std::string(wifi->ssid) + "/" + wifi->passwd;
        } else if (request_api_all[cmd == 8 ? 9 : cmd == 9 ? 8 : cmd].kind == AGENT_PARAMS_INT) {
            text = std::to_string(*static_cast<const int32_t *>(params));
        } else {
            text = static_cast<const char *>(params);
        }
        const int rc = self->result_ ? self->result_(cmd, params) : 0;
        {
            std::lock_guard<std::mutex> g(self->lock_);
            self->received_.push_back({cmd, text});
        }
        self->cv_.notify_all();
        return rc;
    }

    void drop()
    {
        const int fd = fd_.exchange(-1);
        if (fd > 0)
            stop_agent_client(fd, name_.c_str());
    }

    void run()
    {
        current_ = this;
        while (!stop_) {
            if (fd_.load() <= 0) {
                const int fd = start_agent_client(name_.c_str());
                if (fd < 0) {
                    std::this_thread::sleep_for(50ms);
                    continue;
                }
                if (!keys_.empty()) {
                    register_key_module(fd, keys_.data(), static_cast<int>(keys_.size()), name_.c_str());
                } else {
                    // The hub closes a connection that stays silent; a module that only sends
                    // speaks up under its own name.
                    const std::string hello = "{\"method\":\"register\",\"key\":\"" + name_ + "\"}";
                    send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
                }
                fd_ = fd;
                ++connects_;
            }
            struct pollfd pfd = {fd_.load(), POLLIN, 0};
            const int n = poll(&pfd, 1, 100);
            if (n < 1)
                continue;
            if (pfd.revents & POLLIN) {
                if (message_recv_handler(pfd.fd, handler) == -2)
                    drop();
            } else if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
                drop();
            }
        }
        drop();
    }

    std::string name_;
    std::vector<int> keys_;
    std::function<int(int, const void *)> result_;
    std::atomic<bool> stop_{false};
    std::atomic<int> fd_{-1};
    std::atomic<int> connects_{0};
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<Received> received_;
    std::thread thread_;
};

inline thread_local Module *Module::current_ = nullptr;

// A raw seqpacket connection to the bus address, speaking the wire texts itself.
class RawPeer {
public:
    RawPeer()
    {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        const char *name = std::getenv("ZELMAR_AGENT_SOCK");
        std::strncpy(addr.sun_path + 1, name, sizeof addr.sun_path - 2);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~RawPeer() { close(fd_); }
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    bool send_text(const std::string &text) { return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == (ssize_t)text.size(); }
    bool register_key(const std::string &method)
    {
        return send_text("{\"method\":\"register\",\"key\":\"" + method + "\"}");
    }
    // The next packet, or nothing within the time-out.
    std::optional<std::string> recv_text(std::chrono::milliseconds timeout = 5s)
    {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(timeout.count())) != 1)
            return std::nullopt;
        char buf[8192];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return std::nullopt;
        return std::string(buf, static_cast<size_t>(n));
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace agenttest
