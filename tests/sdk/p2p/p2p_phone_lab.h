// The daemon's side of the P2P service's start and the phones of a session test on the loopback lab:
// the vendor request answered with the lab's servers, phones linked and authorised with the camera's
// identity, the commands they send and the replies and frames they got.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/sdk/ko_sdk.h"
#include "p2p_daemon.h"
#include "p2p_phone.h"

namespace p2ptest {

class PhoneLab {
public:
    PhoneLab();
    ~PhoneLab();
    // The camera's identity in the SDK's record; then listening as the daemon (before the service
    // starts).
    void identify(ko_sdk_info &info);
    // Answers the service's latest vendor request and waits until the camera logs in to the servers.
    void answer_vendor_request();
    // Phone `index` linked and authorised: true once the camera holds its session in a slot.
    bool authorised(int index);
    CameraKeys camera_keys() const { return keys_; }
    vasqtest::Phone &phone_at(int index) { return *phones_[static_cast<size_t>(index)]; }
    // A command of phone `index` as the encrypted session carries it.
    void command(int index, int code, const std::string &text) { send_command(phone_at(index), code, text); }
    std::vector<std::string> replies(int index, int code) { return phone_replies(phone_at(index), code); }
    bool wait_reply(int index, int code, size_t n = 1);
    std::vector<GotFrame> frames(int index) { return phone_frames(phone_at(index)); }

    ztptest::Loopback net_;
    std::vector<std::unique_ptr<vasqtest::Phone>> phones_;

private:
    CameraKeys keys_;
    bool listening_ = false;
};

} // namespace p2ptest
