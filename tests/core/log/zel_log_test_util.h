// Helpers of the logging tests: a UDP listener on a loopback port of its own, whole-file reads
// split into lines, and a capture of file descriptor 1.
#pragma once

#include <string>
#include <vector>

namespace zellogtest {

class UdpListener {
public:
    UdpListener();
    ~UdpListener();
    UdpListener(const UdpListener &) = delete;
    UdpListener &operator=(const UdpListener &) = delete;
    int port() const { return port_; }
    // The next datagram, or "" with `ok` false after `timeout_ms`.
    std::string receive(int timeout_ms, bool *ok);

private:
    int fd_ = -1;
    int port_ = 0;
};

// The lines of a file (without their newlines); empty when it cannot be read.
std::vector<std::string> read_lines(const std::string &path);

// Sends file descriptor 1 to a temporary file for its lifetime; text() gives what arrived.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string &path);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    std::string text() const;

private:
    std::string path_;
    int saved_ = -1;
};

// The calling thread's kernel id.
long thread_id();

} // namespace zellogtest
