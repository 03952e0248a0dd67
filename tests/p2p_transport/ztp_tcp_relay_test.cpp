// TCP relay set-up against ztp_relay.py (a relay's session side written from the request layout):
// the request is byte-exact and both answer addresses are kept; a short answer, silence, a close or
// a refusing relay end in their states within 5 s, paced, and the break flag ends it early.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "peer_control.h"
#include "zel_test_support.h"
#include "ztp_peer_vectors.h"
#include "ztp_socket.h"
#include "ztp_tcp_relay.h"
#include "ztp_tick.h"

using namespace ztptest;
using namespace std::chrono_literals;
using zeltest::member;

namespace {

class ZtpRelay {
public:
    ZtpRelay(const zeltest::TempRoot &root, const std::string &mode)
        : port_(zeltest::free_tcp_port()), log_(root.path("/tmp/relay_" + mode + ".jsonl"))
    {
        process_ = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("ztp_relay.py", {"--port", std::to_string(port_), "--mode", mode, "--log", log_}),
            std::vector<std::string>{}, root.path("/tmp/relay_" + mode + ".out"));
        struct stat st;
        if (!zeltest::wait_until([&] { return stat(log_.c_str(), &st) == 0; }, 10s))
            throw std::runtime_error("ztp_relay.py did not start");
    }
    int port() const { return port_; }
    // The requests the relay logged, one JSON object each.
    std::vector<zeltest::Json> requests() const
    {
        std::vector<zeltest::Json> out;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);)
            out.push_back(zeltest::parse_json(line));
        return out;
    }

private:
    int port_;
    std::string log_;
    std::unique_ptr<zeltest::ChildProcess> process_;
};

ztp_relay_setup_in setup_in(int port, const uint8_t *brk = nullptr)
{
    ztp_relay_setup_in in{};
    in.did = test_did();
    in.role = 1;
    in.ticket = 0xCAFEBABE;
    in.relay = addr("127.0.0.1", static_cast<uint16_t>(port));
    in.brk = brk;
    return in;
}

struct SetupRun {
    int result;
    ztp_relay_setup_out out;
    int64_t took_ms;
};

SetupRun run_setup(const ztp_relay_setup_in &in)
{
    SetupRun r{};
    const int64_t start = ztp_tick_ms();
    r.result = ztp_proto_TCPRelay_Setup(&in, &r.out);
    r.took_ms = ztp_tick_ms() - start;
    return r;
}

TEST(TcpRelaySetup, RequestIsByteExactAndBothAddressesAreKept)
{
    zeltest::TempRoot root;
    ZtpRelay relay(root, "ok");
    SetupRun r = run_setup(setup_in(relay.port()));
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.out.state, ZTP_RELAY_CONNECTED);
    EXPECT_GE(r.out.sock, 0);
    EXPECT_EQ(addr_text(r.out.addr[0]), "198.18.0.20:6001");
    EXPECT_EQ(addr_text(r.out.addr[1]), "198.18.0.21:6002");
    EXPECT_GT(r.out.ready_ms, 0);
    EXPECT_EQ(r.out.attempts, 1);
    ASSERT_TRUE(zeltest::wait_until([&] { return relay.requests().size() == 1; }, 2s));
    const auto reqs = relay.requests();
    json_object *req = reqs[0].get();
    EXPECT_STREQ(json_object_get_string(member(req, "hex")),
                 "4142430000000000" // prefix
                 "0000007b"         // serial
                 "58595a0000000000" // check code
                 "cafebabe"         // ticket
                 "01000000");       // role, three zeros
    EXPECT_EQ(json_object_get_int(member(req, "role")), 1);
    zt_TCPNBSkt_Close(r.out.sock);
}

TEST(TcpRelaySetup, ShortAnswerGivesState4AfterFiveSeconds)
{
    zeltest::TempRoot root;
    ZtpRelay relay(root, "short");
    SetupRun r = run_setup(setup_in(relay.port()));
    EXPECT_EQ(r.result, -24);
    EXPECT_EQ(r.out.state, ZTP_RELAY_REQUEST_FAILED);
    EXPECT_EQ(r.out.sock, -1);
    EXPECT_GE(r.took_ms, ZTP_RELAY_STEP_MS);
    EXPECT_LT(r.took_ms, zeltest::scaled(std::chrono::milliseconds(ZTP_RELAY_STEP_MS + 2000)).count());
}

TEST(TcpRelaySetup, RelayClosingWithoutAnswerGivesState4AtOnce)
{
    zeltest::TempRoot root;
    ZtpRelay relay(root, "close");
    SetupRun r = run_setup(setup_in(relay.port()));
    EXPECT_EQ(r.result, -24);
    EXPECT_EQ(r.out.state, ZTP_RELAY_REQUEST_FAILED);
    EXPECT_LT(r.took_ms, zeltest::scaled(2000ms).count());
}

TEST(TcpRelaySetup, RefusedConnectsArePacedAndEndAfterFiveSeconds)
{
    SetupRun r = run_setup(setup_in(zeltest::free_tcp_port()));
    EXPECT_EQ(r.result, -24);
    EXPECT_EQ(r.out.state, ZTP_RELAY_CONNECT_FAILED);
    EXPECT_EQ(r.out.sock, -1);
    EXPECT_GE(r.took_ms, ZTP_RELAY_STEP_MS);
    EXPECT_LT(r.took_ms, zeltest::scaled(std::chrono::milliseconds(ZTP_RELAY_STEP_MS + 1000)).count());
    // Retried, but never faster than one attempt per 10 ms.
    EXPECT_GT(r.out.attempts, 10);
    EXPECT_LE(r.out.attempts, ZTP_RELAY_STEP_MS / ZTP_RELAY_PACE_MS + 1);
}

TEST(TcpRelaySetup, BreakFlagEndsAStalledOrRefusedSetUp)
{
    zeltest::TempRoot root;
    ZtpRelay stalled(root, "stall");
    for (int port : {stalled.port(), zeltest::free_tcp_port()}) {
        uint8_t brk = 0;
        std::thread raise([&] {
            std::this_thread::sleep_for(200ms);
            __atomic_store_n(&brk, 1, __ATOMIC_RELEASE);
        });
        SetupRun r = run_setup(setup_in(port, &brk));
        raise.join();
        EXPECT_EQ(r.result, -16) << port;
        EXPECT_NE(r.out.state, ZTP_RELAY_CONNECTED);
        EXPECT_EQ(r.out.sock, -1);
        EXPECT_LT(r.took_ms, zeltest::scaled(1500ms).count());
    }
}

} // namespace
