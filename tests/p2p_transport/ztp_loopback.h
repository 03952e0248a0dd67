// A P2P network on loopback for the listen tests: the three servers (ztp_server.py) on
// 127.a.b.2-4, a relay (ztp_relay.py) on .5 and phones (ztp_phone.py) on .6 and .8, where 127.a.b is this
// test process's own, so that tests running side by side never meet. The camera's LAN-search and
// TCP login ports are moved to free ports.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

#include "peer_control.h"
#include "zel_test_support.h"

namespace ztptest {

class Loopback {
public:
    // `login_key` is the key the servers verify the login check with.
    explicit Loopback(const std::string &login_key = "");
    ~Loopback();

    // "127.a.b.x".
    std::string ip(int x) const;
    // The init string naming the `count` servers, with the key string KEYSTR.
    std::string init_string(int count = 3) const;
    int lan_port() const { return lan_port_; }
    int tcp_port() const { return tcp_port_; }

    zeltest::Json server(const std::string &json) { return servers_->command(json); }
    // Phone 0 (on .6) or phone 1 (on .8).
    zeltest::Json phone(const std::string &json, int which = 0);
    // Starts the relay with its arguments (e.g. {"--udp-port","7000","--udp-mode","solo"}).
    void start_relay(const std::vector<std::string> &args);
    std::string relay_log() const;
    // Starts udp_impair.py on .9 in front of `peer` ("ip:port") with its further arguments (e.g.
    // {"--loss","0.02"}); it runs as long as the network. Its port.
    int start_impair(const std::string &peer, const std::vector<std::string> &args);
    // A command to the n-th proxy started.
    zeltest::Json impair(size_t n, const std::string &json) { return impairs_.at(n)->command(json); }

    // Waits for the server log entry matching `match` (a JSON object text) from index `since`:
    // the entry, or null.
    zeltest::Json server_wait(const std::string &match, int since = 0, int timeout_ms = 5000);
    zeltest::Json phone_wait(const std::string &match, int since = 0, int timeout_ms = 5000, int which = 0);
    // The number of server log entries now.
    int server_log_size();
    // Every server log entry from `since` (a JSON array, owned by the result).
    zeltest::Json server_log(int since = 0);

    const zeltest::TempRoot &root() const { return root_; }

private:
    zeltest::TempRoot root_;
    int a_, b_;
    int lan_port_, tcp_port_;
    std::unique_ptr<zeltest::ChildProcess> server_proc_, phone_proc_[2], relay_proc_;
    std::unique_ptr<zeltest::PeerControl> servers_, phone_[2];
    std::vector<std::unique_ptr<zeltest::ChildProcess>> impair_procs_;
    std::vector<std::unique_ptr<zeltest::PeerControl>> impairs_;
};

// The member `key` of `obj` as an int (0 when absent).
int member_int(json_object *obj, const char *key);
std::string member_string(json_object *obj, const char *key);
// An [ip, port] member.
sockaddr_in member_addr(json_object *obj, const char *key);
std::string json_addr(const std::string &ip, int port); // ["ip",port]

} // namespace ztptest
