// The P2P service on real sessions for its tests: the service started with the streaming server,
// which asks the daemon (the test, on the message bus) for the vendor and logs in to the transport
// servers of loopback; a producer puts numbered frames into the main stream's ring; phones
// (vasq_phone.py) link, authorise and send commands, and the test reads what they got.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/p2p/ko_p2p.h"
#include "p2p_lab.h"
#include "p2p_phone.h"

namespace p2ptest {

inline constexpr int kSessionGop = 20;

// The bytes of main-stream frame `seq`: its size and pattern follow from the number.
std::vector<uint8_t> frame_payload(uint32_t seq);

// One video frame as a phone got it.
struct GotFrame {
    int64_t seq, length, crc, time_ms;
    double arrival_ms;
    uint32_t flags;
};

class SessionTest : public P2pTest {
protected:
    SessionTest();
    ~SessionTest() override;
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    // Starts the service with param_ (set it before), the producer and the daemon's vendor answer.
    void SetUp() override;
    void TearDown() override;

    // Phone `index` linked and authorised: true once the camera holds its session in a slot.
    bool authorised(int index);
    int online_count();
    CameraKeys camera_keys() const;
    void command(int index, int code, const std::string &text);
    std::vector<std::string> replies(int index, int code);
    bool wait_reply(int index, int code, size_t n = 1);
    std::vector<GotFrame> frames(int index);
    vasqtest::Phone &phone_at(int index) { return *phones_[static_cast<size_t>(index)]; }
    // The daemon RPC texts the service pushed.
    static std::vector<std::string> daemon_rpcs();
    static void forget_daemon_rpcs();
    // As the daemon: the vendor (with the loopback servers) for the latest request, and the login.
    void answer_vendor_request();

    ko_p2p_param param_{};
    ztptest::Loopback net_;
    std::vector<std::unique_ptr<vasqtest::Phone>> phones_;

private:
    std::string camera_public_, req_key_;
    std::thread producer_;
    std::atomic<bool> stop_{false};
};

} // namespace p2ptest
