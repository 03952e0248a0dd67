#include "daemon_sim_client.h"

#include <stdexcept>

namespace zeltest {

DaemonSim::DaemonSim(const TempRoot &root, std::vector<std::string> extra_args, bool supervisor, int port)
    : port_(port > 0 ? port : free_tcp_port()), control_path_(root.path("/tmp/daemon_sim.ctl")),
      log_path_(root.path("/tmp/daemon_sim.log"))
{
    std::vector<std::string> args{"--port", std::to_string(port_), "--control", control_path_};
    if (supervisor) {
        args.push_back("--supervisor");
        args.push_back(root.path("/tmp/.ko_daemon.socket"));
    }
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    for (int tries = 1;; tries++) {
        process_ =
            std::make_unique<ChildProcess>(python_peer("daemon_sim.py", args), std::vector<std::string>{}, log_path_);
        try {
            control_ =
                std::make_unique<PeerControl>(control_path_, "daemon simulator (see " + log_path_ + ")", process_.get());
            return;
        } catch (const std::runtime_error &) {
            // A port that was free a moment ago may have been taken since (another test's connection
            // may have it as its own end): a port of our choosing is chosen again.
            if (port > 0 || tries == 3 || process_->running())
                throw;
            port_ = free_tcp_port();
            args[1] = std::to_string(port_);
        }
    }
}

DaemonSim::~DaemonSim() = default;

Json DaemonSim::command(const std::string &json_text)
{
    return control_->command(json_text);
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
