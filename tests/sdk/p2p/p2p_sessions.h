// The P2P service on real sessions for its tests: the service started with the streaming server,
// which asks the daemon (the test, on the message bus) for the vendor and logs in to the transport
// servers of loopback; a producer puts numbered frames into the main stream's ring; phones
// (vasq_phone.py) link, authorise and send commands, and the test reads what they got.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "app/p2p/ko_p2p.h"
#include "p2p_lab.h"
#include "p2p_phone_lab.h"

namespace p2ptest {

inline constexpr int kSessionGop = 20;

// The bytes of main-stream frame `seq`: its size and pattern follow from the number.
std::vector<uint8_t> frame_payload(uint32_t seq);

class SessionTest : public P2pTest, protected PhoneLab {
protected:
    SessionTest();
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    // Starts the service with param_ (set it before), the producer and the daemon's vendor answer.
    void SetUp() override;
    void TearDown() override;

    ko_p2p_param param_{};

private:
    std::thread producer_;
    std::atomic<bool> stop_{false};
};

} // namespace p2ptest
