// Helpers of the logging tests.
#include "zel_log_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zellogtest {

UdpListener::UdpListener()
{
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("udp listener");
    port_ = ntohs(addr.sin_port);
}

UdpListener::~UdpListener()
{
    close(fd_);
}

std::string UdpListener::receive(int timeout_ms, bool *ok)
{
    pollfd pfd{fd_, POLLIN, 0};
    *ok = false;
    if (poll(&pfd, 1, timeout_ms) != 1)
        return "";
    char buf[65536];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0)
        return "";
    *ok = true;
    return std::string(buf, static_cast<size_t>(n));
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

StdoutCapture::StdoutCapture(const std::string &path) : path_(path)
{
    std::fflush(stdout);
    saved_ = dup(1);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (saved_ < 0 || fd < 0 || dup2(fd, 1) < 0)
        throw std::runtime_error("stdout capture");
    close(fd);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
}

std::string StdoutCapture::text() const
{
    std::fflush(stdout);
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

long thread_id()
{
    return static_cast<long>(syscall(SYS_gettid));
}

} // namespace zellogtest
