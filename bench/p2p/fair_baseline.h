// The least work that live view to six phones needs, done by a throw-away sender in this process:
// per phone every frame with its 32-byte media header, ChaCha20 under the phone's own key, cut into
// 1024-byte blocks, each scrambled by the transport's key chain and sent as one 1032-byte DRW
// datagram to a loopback socket; one thread is woken per frame and does it for all phones.
#pragma once

#include <cstdint>
#include <vector>

namespace p2pbench {

struct FairFrame {
    uint64_t stamp_us;
    const std::vector<uint8_t> *data;
};

struct FairLoad {
    uint64_t cpu_ns = 0; // both threads', on-CPU
    uint64_t wakes = 0;  // both threads' voluntary context switches
    bool ok = false;
};

FairLoad fair_baseline(const std::vector<FairFrame> &frames, int phones);

} // namespace p2pbench
