// Phones of the streaming sessions (vasq_phone.py) on 127.a.b.10 upwards of a loopback lab, and
// what the session tests look at in this process: its threads.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "peer_control.h"
#include "zel_test_support.h"
#include "ztp_loopback.h"

namespace vasqtest {

inline constexpr char kDid[] = "ABC-123-XYZ";
inline constexpr char kCrcKey[] = "ZLMRCRC7";

// The thread names of this process.
std::vector<std::string> thread_names();
int count_threads(const std::string &prefix);
// The task ids of the threads whose names start with `prefix`.
std::set<std::string> tasks_named(const std::string &prefix);

class Phone {
public:
    Phone(ztptest::Loopback &net, int index);
    zeltest::Json command(const std::string &json) { return ctl_->command(json); }
    // Asks the servers for a session with the camera: a punched one, or after through_relay() one
    // through the relay that the servers list.
    void connect();
    void through_relay() { relay_ = true; }
    zeltest::Json received() { return command(R"({"cmd":"received"})"); }
    // The phone goes away without a word and a new one on a fresh port of the same host takes its
    // place in the process.
    void renew() { command(R"({"cmd":"renew"})"); }

private:
    ztptest::Loopback &net_;
    bool relay_ = false;
    std::unique_ptr<zeltest::ChildProcess> proc_;
    std::unique_ptr<zeltest::PeerControl> ctl_;
};

} // namespace vasqtest
