// This process as the device daemon on the message bus, for the P2P service on real sessions: the RPC
// texts the service sends it, and the vendor answered with the loopback lab's servers.
#pragma once

#include <string>
#include <vector>

#include "p2p_phone.h"

namespace p2ptest {

// Forgets the texts so far and listens on "rpc.rpc": 0 or the bus's error.
int daemon_listen();
void daemon_unlisten();
std::vector<std::string> daemon_rpcs();
void forget_daemon_rpcs();

// Waits for the service's latest vendor request, answers it with vendor 4 on `net`'s servers and waits
// until the camera logs in to them; the camera's public and request keys go to `keys`. "" or what
// failed.
std::string answer_vendor_request(ztptest::Loopback &net, CameraKeys &keys);

} // namespace p2ptest
