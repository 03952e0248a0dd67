#include "peer_control.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "zel_test_support.h"

namespace zeltest {

Json parse_json(const std::string &text)
{
    return Json(json_tokener_parse(text.c_str()));
}

json_object *member(json_object *obj, const char *key)
{
    json_object *out = nullptr;
    return obj && json_object_object_get_ex(obj, key, &out) ? out : nullptr;
}

std::string string_member(json_object *obj, const char *key)
{
    json_object *v = member(obj, key);
    return v ? json_object_get_string(v) : "";
}

PeerControl::PeerControl(const std::string &path, const std::string &what, ChildProcess *peer) : what_(what)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool exited = false;
    const bool up = wait_until(
        [&] {
            if (fd_ >= 0)
                close(fd_);
            fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                return true;
            exited = peer && !peer->running();
            return exited;
        },
        std::chrono::seconds(10));
    if (exited)
        throw std::runtime_error(what_ + " exited before it listened");
    if (!up)
        throw std::runtime_error(what_ + " did not start");
}

PeerControl::~PeerControl()
{
    if (fd_ >= 0)
        close(fd_);
}

Json PeerControl::command(const std::string &json_text)
{
    const std::lock_guard<std::mutex> hold(lock_);
    const std::string line = json_text + "\n";
    for (size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error(what_ + " control socket closed");
        sent += static_cast<size_t>(n);
    }
    for (;;) {
        const size_t eol = pending_.find('\n');
        if (eol != std::string::npos) {
            Json answer = parse_json(pending_.substr(0, eol));
            pending_.erase(0, eol + 1);
            return answer;
        }
        char buf[65536];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            throw std::runtime_error(what_ + " control socket closed");
        pending_.append(buf, static_cast<size_t>(n));
    }
}

} // namespace zeltest
