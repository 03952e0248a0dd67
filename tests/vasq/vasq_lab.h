// The streaming adapter against real peers on loopback: the P2P servers of the transport tests,
// phones (vasq_phone.py) on 127.a.b.10 upwards, and a server record as the server API makes it,
// with the recording double behind the adapter.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "vasq_phone_ctl.h"
#include "vasq_session_double.h"
#include "zel_test_support.h"
#include "zt_adapter.h"
#include "ztp_loopback.h"

namespace vasqtest {

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
