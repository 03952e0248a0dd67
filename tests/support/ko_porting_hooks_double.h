// A test double of the porting hooks that the app-client library provides to the SDK: it records
// every call so that tests can wait for them.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace zeltest {

struct PortingHooksRecord {
    std::vector<std::string> rpc_received; // texts given to ko_rpc_receive
    std::vector<int> errors;               // codes given to ko_ipc_on_error
};

// A copy of what the hooks have seen so far.
PortingHooksRecord porting_hooks_seen();
void porting_hooks_reset();
// Waits until ko_rpc_receive has been given at least `count` texts.
bool porting_hooks_wait_rpc(size_t count, std::chrono::milliseconds timeout);

} // namespace zeltest
