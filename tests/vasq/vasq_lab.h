// The streaming adapter against real peers on loopback: the P2P servers of the transport tests,
// phones (vasq_phone.py) on 127.a.b.10 upwards, and a server record as the server API makes it,
// with the recording double behind the adapter.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "peer_control.h"
#include "vasq_session_double.h"
#include "zel_test_support.h"
#include "zt_adapter.h"
#include "ztp_loopback.h"

namespace vasqtest {

inline constexpr char kDid[] = "ABC-123-XYZ";
inline constexpr char kCrcKey[] = "ZLMRCRC7";

// The thread names of this process (/proc/self/task/*/comm).
std::vector<std::string> thread_names();
int count_threads(const std::string &prefix);
// The task ids of the threads whose names start with `prefix`.
std::set<std::string> tasks_named(const std::string &prefix);
int open_descriptors();

class Phone {
public:
    Phone(ztptest::Loopback &net, int index);
    zeltest::Json command(const std::string &json) { return ctl_->command(json); }
    // Asks the servers for a session with the camera.
    void connect();
    zeltest::Json received() { return command(R"({"cmd":"received"})"); }
    // The phone goes away without a word and a new one on a fresh port of the same host takes its
    // place in the process.
    void renew() { command(R"({"cmd":"renew"})"); }

private:
    ztptest::Loopback &net_;
    std::unique_ptr<zeltest::ChildProcess> proc_;
    std::unique_ptr<zeltest::PeerControl> ctl_;
};

class VasqLab : public ::testing::Test {
protected:
    VasqLab() : net_(kCrcKey) {}
    void SetUp() override { Record::get().clear(); }
    void TearDown() override;

    // This camera's sizes (555008, 2048, -1, 2048) unless given.
    void start(int max_sessions = 3, int servers = 3, std::vector<int> sizes = {555008, 2048, -1, 2048});
    Phone &phone(int index);
    // Connects phone `index` and, with `authorise`, sends 256: the session the double saw, or none.
    vasq_session *session_of(int index, bool authorise = true);
    // Waits for the number of authorised sessions to reach n.
    bool wait_sessions(size_t n, int timeout_ms = 8000);

    ztptest::Loopback net_;
    vasq_server *server_ = nullptr;
    bool finished_ = false;
    int login_since_ = 0; // the server log from which the next phone's listen has logged in
    std::vector<std::unique_ptr<Phone>> phones_;
};

} // namespace vasqtest
