#include "daemon_sim_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

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

DaemonSim::DaemonSim(const TempRoot &root, std::vector<std::string> extra_args, bool supervisor, int port)
    : port_(port > 0 ? port : free_tcp_port()), control_path_(root.path("/tmp/daemon_sim.ctl")), log_path_(root.path("/tmp/daemon_sim.log"))
{
    std::vector<std::string> args{"--port", std::to_string(port_), "--control", control_path_};
    if (supervisor) {
        args.push_back("--supervisor");
        args.push_back(root.path("/tmp/.ko_daemon.socket"));
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    process_ = std::make_unique<ChildProcess>(python_peer("daemon_sim.py", args), std::vector<std::string>{}, log_path_);

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, control_path_.c_str(), sizeof addr.sun_path - 1);
    const bool up = wait_until(
        [&] {
            if (control_fd_ >= 0)
                close(control_fd_);
            control_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
            return connect(control_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        },
        std::chrono::seconds(10));
    if (!up)
        throw std::runtime_error("daemon simulator did not start; see " + log_path_);
}

DaemonSim::~DaemonSim()
{
    if (control_fd_ >= 0)
        close(control_fd_);
}

Json DaemonSim::command(const std::string &json_text)
{
    const std::string line = json_text + "\n";
    for (size_t sent = 0; sent < line.size();) {
        const ssize_t n = ::send(control_fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("daemon simulator control socket closed");
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
        const ssize_t n = recv(control_fd_, buf, sizeof buf, 0);
        if (n <= 0)
            throw std::runtime_error("daemon simulator control socket closed");
        pending_.append(buf, static_cast<size_t>(n));
    }
}

Json DaemonSim::wait_object(const std::string &link, const std::string &method, int since, int timeout_ms)
{
    Json cmd(json_object_new_object());
    json_object_object_add(cmd.get(), "cmd", json_object_new_string("wait"));
    json_object_object_add(cmd.get(), "link", json_object_new_string(link.c_str()));
    if (!method.empty())
        json_object_object_add(cmd.get(), "method", json_object_new_string(method.c_str()));
    json_object_object_add(cmd.get(), "since", json_object_new_int(since));
    json_object_object_add(cmd.get(), "timeout_ms", json_object_new_int(timeout_ms));
    Json answer = command(json_object_to_json_string_ext(cmd.get(), JSON_C_TO_STRING_PLAIN));
    json_object *obj = member(answer.get(), "object");
    return Json(obj ? json_object_get(obj) : nullptr);
}

int DaemonSim::received_count(const std::string &link)
{
    Json answer = command(R"({"cmd":"received","link":")" + link + R"(","since":1000000000})");
    return json_object_get_int(member(answer.get(), "next"));
}

void DaemonSim::send(const std::string &link, const std::string &text, int chunk, int delay_ms)
{
    Json cmd(json_object_new_object());
    json_object_object_add(cmd.get(), "cmd", json_object_new_string("send"));
    json_object_object_add(cmd.get(), "link", json_object_new_string(link.c_str()));
    json_object_object_add(cmd.get(), "text", json_object_new_string_len(text.data(), static_cast<int>(text.size())));
    json_object_object_add(cmd.get(), "chunk", json_object_new_int(chunk));
    json_object_object_add(cmd.get(), "delay_ms", json_object_new_int(delay_ms));
    Json answer = command(json_object_to_json_string_ext(cmd.get(), JSON_C_TO_STRING_PLAIN));
    if (!member(answer.get(), "ok"))
        throw std::runtime_error("daemon simulator could not send on " + link);
}

} // namespace zeltest
