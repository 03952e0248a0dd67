// An outside app on the agent bus for the client tests: the Python agent peer registering some
// methods and printing what it receives, read back as the params of each message.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zel_client_fixture.h"

namespace clienttest {

class AgentListener {
public:
    AgentListener(const zeltest::TempRoot &root, const std::vector<std::string> &methods, int seconds)
        : log_(root.path("/tmp/agent_listener.log"))
    {
        std::vector<std::string> args{getenv("ZELMAR_AGENT_SOCK"), "--wait", std::to_string(seconds)};
        for (const std::string &m : methods)
            args.insert(args.end(), {"--register", m});
        peer_ = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("agent_send.py", args),
                                                        std::vector<std::string>{}, log_);
        zeltest::wait_until([&] { return read().find("sent") != std::string::npos; }, 10s);
        std::this_thread::sleep_for(zeltest::scaled(300ms)); // its registrations reach the hub
    }
    std::string read() const
    {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The params of every received `method`, in order, once `count` of them arrived (or the time-out).
    std::vector<std::string> params_of(const std::string &method, size_t count) const
    {
        std::vector<std::string> out;
        zeltest::wait_until(
            [&] {
                out.clear();
                std::istringstream lines(read());
                for (std::string line; std::getline(lines, line);) {
                    if (line.rfind("recv ", 0) != 0)
                        continue;
                    Json msg = zeltest::parse_json(line.substr(5));
                    json_object *m = member(msg.get(), "method");
                    if (m && json_object_get_string(m) == method)
                        out.push_back(json_object_to_json_string_ext(member(msg.get(), "params"),
                                                                     JSON_C_TO_STRING_PLAIN));
                }
                return out.size() >= count;
            },
            10s);
        return out;
    }

private:
    std::string log_;
    std::unique_ptr<zeltest::ChildProcess> peer_;
};

} // namespace clienttest
