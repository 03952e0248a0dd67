// The daemon's side of the P2P service's start and the phones of a session test on the loopback lab:
// the vendor request answered with the lab's servers, phones linked and authorised with the camera's
// identity, the commands they send and the replies and frames they got.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "common/sdk/ko_sdk.h"
#include "p2p_phone.h"

namespace p2ptest {

class PhoneLab {
public:
    PhoneLab();
    ~PhoneLab();
    // The camera's identity in the SDK's record; then listening as the daemon (before the service
    // starts).
    void identify(ko_sdk_info &info);
    // Answers the service's vendor request and waits until the camera logs in to the servers.
    void answer_vendor_request();
    // Phone `index` linked and authorised: true once the camera holds its session in a slot.
    bool authorised(int index);
    int online_count();
    // A command of phone `index` as the encrypted session carries it.
    void command(int index, int code, const std::string &text);
    std::vector<std::string> replies(int index, int code);
    bool wait_reply(int index, int code, size_t n = 1);
    // The video frames phone `index` got: [seq, plain length, crc32].
    std::vector<std::array<int64_t, 3>> frames(int index);

    ztptest::Loopback net_;
    std::vector<std::unique_ptr<vasqtest::Phone>> phones_;
    std::string camera_public_, req_key_;
    bool listening_ = false;
};

} // namespace p2ptest
