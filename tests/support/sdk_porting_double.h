// A stand-in for the app-client library's pushes, for tests of the main program's apps: every frame
// given to sdk_porting_push_stream_data is copied (its fields, its bytes and when it arrived) and
// every event given to sdk_porting_event_push is kept, in order. Bounded: past 64 MiB of frame bytes
// only the fields are kept (bytes_dropped is set), past 100000 frames or events nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace portdouble {

struct Frame {
    int32_t len = 0;
    int32_t stream = 0;
    int32_t channel = 0;
    uint64_t ts_ms = 0;
    uint32_t seq = 0;
    uint8_t key = 0;
    uint8_t kind = 0;
    uint8_t type = 0;
    int32_t reserved = 0;
    int64_t arrived_us = 0; // steady clock, the clock of the board's time stamps
    bool bytes_dropped = false;
    std::vector<uint8_t> bytes;
};

// The frames of one channel (or all with -1), oldest first.
std::vector<Frame> frames(int channel = -1);
size_t frame_count(int channel = -1);
std::vector<int> events();
// When each event arrived (steady clock, microseconds), in the order of events().
std::vector<int64_t> event_times_us();
void clear();
// What the pushes return from now on (0 by default).
void set_result(int result);

} // namespace portdouble
