// A small network of anonymous namespaces for the network-probe tests (root with CAP_NET_ADMIN).
// NetLab::run gives its body a thread of its own that has left the test program's network and mount
// namespaces: the camera's side, with loopback up and nothing else until the body adds routers. Each
// router is a namespace of its own (held by an `unshare -n` child) joined to the camera by a veth
// pair; its kernel answers echo requests until it is silenced. Threads and processes that the body
// starts inherit the camera's namespaces, and "/etc/resolv.conf" can be replaced there alone. Only
// the addresses the body gives exist, and they exist only inside these namespaces.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zel_test_support.h"

namespace zeltest {

class NetLab {
public:
    // Whether namespaces can be made here; `why` tells a skip why not.
    static bool available(std::string *why);
    // Runs `body` on a thread inside fresh camera namespaces and tears everything down after it.
    static void run(const std::function<void(NetLab &)> &body);

    // A router joined to the camera's interface `ifname`: the camera side gets `camera_cidr`, the
    // router side `router_cidr` (addresses with their prefix length, "198.18.1.2/24"). Returns its index.
    int add_router(const std::string &ifname, const std::string &camera_cidr, const std::string &router_cidr);
    // A shell command in the camera's namespaces, or in a router's: its exit status.
    int camera(const std::string &command);
    int router(int index, const std::string &command);
    // Stops (or resumes) a router's answers to echo requests.
    void silence(int index, bool silent = true);
    // A child process in router `index`'s network namespace (argv of a host program).
    std::unique_ptr<ChildProcess> start_in_router(int index, const std::vector<std::string> &argv,
                                                  const std::string &log_path);
    // Writes the camera's "/etc/resolv.conf" (bound over the real one in the camera's mount
    // namespace on first use; later calls rewrite it in place).
    void set_resolv_conf(const std::string &content);

private:
    NetLab() = default;
    bool enter(std::string *why);
    struct Router;
    std::vector<std::unique_ptr<ChildProcess>> routers_;
    std::string dir_;
    bool resolv_bound_ = false;
};

// Waits until a peer that prints "ready" has done so in its log.
bool wait_ready(const std::string &log_path);

} // namespace zeltest
