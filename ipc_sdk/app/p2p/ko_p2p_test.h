// Test-only controls of the P2P service: they play the streaming server, putting a phone's session
// online with a sink for the commands sent to it, and calling the client's stored callbacks as a
// phone's command, talk-back audio or audio switch would.
#pragma once

#include <functional>
#include <string>

#include "app/p2p/ko_p2p.h"

// Session `session` online; every ko_p2p_user_cmd_send to it reaches `sink` (cmd, payload). False
// when not started or no such slot.
bool ko_p2p_test_connect(int session, std::function<void(int cmd, const std::string &payload)> sink);
void ko_p2p_test_disconnect(int session);
// The client's command callback with exactly `payload` (a heap copy of its bytes, nothing after
// them); its result, or -100 when not started.
int ko_p2p_test_command(int session, int cmd, const std::string &payload);
// The client's talk-back and audio-status callbacks; false when not started.
bool ko_p2p_test_audio(ko_p2p_audio_frame *frame);
bool ko_p2p_test_audio_status(int kind, bool on);
// The keep-alive switch as last set.
int ko_p2p_test_alive();
