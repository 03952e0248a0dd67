// Anonymous network namespaces for the probe tests.
#include "zel_netns_lab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace zeltest {

namespace {

using namespace std::chrono_literals;

std::string ns_link(const std::string &path)
{
    char target[128] = {};
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The absolute path of a host program (child processes are started without a PATH search).
std::string host_program(const std::string &name)
{
    std::string out;
    run_command("command -v " + name, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out.empty() ? name : out;
}

} // namespace

bool wait_ready(const std::string &log_path)
{
    return wait_until([&] { return read_all(log_path).find("ready") != std::string::npos; }, 10s);
}

bool NetLab::available(std::string *why)
{
    if (geteuid() != 0) {
        *why = "namespaces need root";
        return false;
    }
    if (run_command("command -v ip nsenter unshare >/dev/null 2>&1") != 0) {
        *why = "ip, nsenter or unshare missing";
        return false;
    }
    bool ok = false;
    std::thread probe([&] { ok = unshare(CLONE_NEWNET | CLONE_NEWNS) == 0; });
    probe.join();
    if (!ok)
        *why = "no CAP_NET_ADMIN / CAP_SYS_ADMIN for new namespaces";
    return ok;
}

bool NetLab::enter(std::string *why)
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        *why = "unshare failed";
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = "mount --make-rprivate / failed";
        return false;
    }
    char tmpl[] = "/tmp/zel_netlab_XXXXXX";
    if (!mkdtemp(tmpl)) {
        *why = "mkdtemp failed";
        return false;
    }
    dir_ = tmpl;
    return camera("ip link set lo up") == 0 || (*why = "lo up failed", false);
}

void NetLab::run(const std::function<void(NetLab &)> &body)
{
    std::thread worker([&] {
        NetLab lab;
        std::string why;
        if (!lab.enter(&why)) {
            ADD_FAILURE() << why;
            return;
        }
        body(lab);
        if (lab.resolv_bound_)
            umount("/etc/resolv.conf");
        lab.routers_.clear();
        run_command("rm -rf " + lab.dir_);
    });
    worker.join();
}

int NetLab::camera(const std::string &command)
{
    return run_command("(" + command + ") >/dev/null 2>&1");
}

int NetLab::router(int index, const std::string &command)
{
    const std::string pid = std::to_string(routers_.at(static_cast<size_t>(index))->pid());
    return run_command("nsenter -t " + pid + " -n sh -c '" + command + "' >/dev/null 2>&1");
}

int NetLab::add_router(const std::string &ifname, const std::string &camera_cidr, const std::string &router_cidr)
{
    auto holder = std::make_unique<ChildProcess>(std::vector<std::string>{host_program("unshare"), "-n", "sleep", "3600"});
    const std::string own = ns_link("/proc/thread-self/ns/net");
    const std::string pid = std::to_string(holder->pid());
    EXPECT_TRUE(wait_until([&] {
        const std::string theirs = ns_link("/proc/" + pid + "/ns/net");
        return !theirs.empty() && theirs != own;
    }, 10s)) << "the router namespace did not appear";
    routers_.push_back(std::move(holder));
    const int index = static_cast<int>(routers_.size()) - 1;
    const std::string peer = "r" + ifname;
    EXPECT_EQ(camera("ip link add " + ifname + " type veth peer name " + peer + " netns " + pid + " && ip addr add " +
                     camera_cidr + " dev " + ifname + " && ip link set " + ifname + " up"),
              0);
    EXPECT_EQ(router(index, "ip link set lo up && ip addr add " + router_cidr + " dev " + peer + " && ip link set " +
                                peer + " up"),
              0);
    return index;
}

void NetLab::silence(int index, bool silent)
{
    EXPECT_EQ(router(index, std::string("sysctl -qw net.ipv4.icmp_echo_ignore_all=") + (silent ? "1" : "0")), 0);
}

std::unique_ptr<ChildProcess> NetLab::start_in_router(int index, const std::vector<std::string> &argv,
                                                      const std::string &log_path)
{
    std::vector<std::string> full{host_program("nsenter"), "-t", std::to_string(routers_.at(static_cast<size_t>(index))->pid()),
                                  "-n"};
    full.insert(full.end(), argv.begin(), argv.end());
    return std::make_unique<ChildProcess>(full, std::vector<std::string>{}, log_path);
}

void NetLab::set_resolv_conf(const std::string &content)
{
    const std::string path = dir_ + "/resolv.conf";
    {
        std::ofstream out(path, std::ios::trunc);
        out << content;
    }
    if (!resolv_bound_) {
        resolv_bound_ = mount(path.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
        EXPECT_TRUE(resolv_bound_) << "bind mount over /etc/resolv.conf";
    }
}

} // namespace zeltest
