// A phone (vasq_phone.py) of the P2P service's tests on real sessions: the vendor reply that names
// the loopback servers, the link and authorisation with the camera's identity, and the commands the
// phone got.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vasq_phone_ctl.h"

namespace p2ptest {

inline constexpr char kP2pKey[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

// The daemon's "result" for "_sync.vasq_get_vendor": vendor 4 on the loopback lab's servers.
std::string vendor_result(ztptest::Loopback &net);

// The camera's identity as the phone signs it.
struct CameraKeys {
    std::string did, token_hex, public_key, req_key;
};

// Links `phone` (asking again, `attempt_wait` after each request, while the camera's next listen is not
// online yet) and sends its authorisation; false when no session came or the keys could not be made.
bool link_and_authorise(vasqtest::Phone &phone, const CameraKeys &keys,
                        std::chrono::milliseconds attempt_wait = std::chrono::seconds(4));

// Sends command `code` with `text` to the camera over the encrypted session.
void send_command(vasqtest::Phone &phone, int code, const std::string &text);
// The commands with `code` the phone got from the camera, as bytes.
std::vector<std::string> phone_replies(vasqtest::Phone &phone, int code);

// One video frame as a phone got it: its header's time_ms and the phone's arrival on CLOCK_MONOTONIC.
struct GotFrame {
    int64_t seq, length, crc, time_ms;
    double arrival_ms;
    uint32_t flags;
};
std::vector<GotFrame> phone_frames(vasqtest::Phone &phone);

// The phones the camera holds a session for.
int phones_online();

} // namespace p2ptest
