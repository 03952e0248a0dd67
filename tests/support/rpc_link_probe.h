// Waits until the camera's RPC link is up on both sides of a daemon simulator connection.
#pragma once

#include "daemon_sim_client.h"

namespace zeltest {

// The simulator may see the RPC connection before the link thread has taken it. A reply nobody asked
// for is read and dropped by the link, which shows the link is up on both sides. False on time-out.
bool wait_rpc_link_ready(DaemonSim &sim);

} // namespace zeltest
