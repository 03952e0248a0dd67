#include "vasq_phone_ctl.h"

#include <stdexcept>
#include <string>

namespace vasqtest {

std::vector<std::string> thread_names()
{
    std::vector<std::string> out;
    for (const auto &t : zeltest::tasks())
        out.push_back(t.second);
    return out;
}

std::set<std::string> tasks_named(const std::string &prefix)
{
    std::set<std::string> out;
    for (const auto &t : zeltest::tasks())
        if (t.second.compare(0, prefix.size(), prefix) == 0)
            out.insert(t.first);
    return out;
}

int count_threads(const std::string &prefix)
{
    int n = 0;
    for (const std::string &name : thread_names())
        n += name.compare(0, prefix.size(), prefix) == 0;
    return n;
}

Phone::Phone(ztptest::Loopback &net, int index) : net_(net)
{
    const std::string ctl = net.root().path("/tmp/vphone" + std::to_string(index) + ".ctl");
    const std::string log = "/tmp/vphone" + std::to_string(index) + ".log";
    proc_ = std::make_unique<zeltest::ChildProcess>(
        zeltest::python_peer("vasq_phone.py", {"--host", net.ip(10 + index), "--control", ctl}),
        std::vector<std::string>{}, net.root().path(log));
    try {
        ctl_ = std::make_unique<zeltest::PeerControl>(ctl, "vasq_phone.py", proc_.get());
    } catch (const std::runtime_error &e) {
        // The phone's log goes with the test's root: tell why it never listened.
        throw std::runtime_error(std::string(e.what()) + (proc_->running() ? " (still running)" : " (exited)") +
                                 ", its log:\n" + net.root().read_file(log));
    }
}

void Phone::connect()
{
    command(std::string(relay_ ? R"({"cmd":"relay_req")" : R"({"cmd":"p2p_req")") + R"(,"server":)" +
            ztptest::json_addr(net_.ip(2), 32100) + R"(,"did":["ABC",123,"XYZ"]})");
}

} // namespace vasqtest
