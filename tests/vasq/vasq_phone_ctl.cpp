#include "vasq_phone_ctl.h"

#include <dirent.h>

#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

namespace vasqtest {

std::map<std::string, std::string> tasks()
{
    std::map<std::string, std::string> out;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(f, name))
            out[e->d_name] = name;
    }
    closedir(d);
    return out;
}

std::vector<std::string> thread_names()
{
    std::vector<std::string> out;
    for (const auto &t : tasks())
        out.push_back(t.second);
    return out;
}

std::set<std::string> tasks_named(const std::string &prefix)
{
    std::set<std::string> out;
    for (const auto &t : tasks())
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

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
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
    command(R"({"cmd":"p2p_req","server":)" + ztptest::json_addr(net_.ip(2), 32100) + R"(,"did":["ABC",123,"XYZ"]})");
}

} // namespace vasqtest
