// SDK clocks that client tests set by hand (ko_time_set_tick_source / ko_time_set_wall_source), and
// the device events the daemon simulator received meanwhile.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "zel_client_fixture.h"

namespace clienttest {

inline std::atomic<uint64_t> g_tick_us{0};
inline std::atomic<uint64_t> g_wall_us{0};
inline uint64_t test_tick()
{
    return g_tick_us.load();
}
inline uint64_t test_wall()
{
    return g_wall_us.load();
}

// Advances the tick in steps the SDK's thread watchdog tolerates (60 s without a report), giving
// its threads, which wait at most a second of real time, the time to report after each. (Real
// time: the wait is no computing the sanitizers or the emulator slow down.)
inline void advance_tick_ms(uint64_t ms)
{
    while (ms > 0) {
        const uint64_t step = std::min<uint64_t>(ms, 25000);
        g_tick_us += step * 1000;
        ms -= step;
        if (step > 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
}

// The "event_occured" messages on the RPC link from message `since` on, those of outward pair
// siid.eiid only when siid is given; each wait ends after `wait_ms` without a new one.
inline int device_events_since(zeltest::DaemonSim &sim, int since, int wait_ms, int siid = -1, int eiid = -1)
{
    int count = 0;
    for (int index = since;; ++index) {
        Json answer = sim.command(R"({"cmd":"wait","link":"rpc","method":"event_occured","since":)" +
                                  std::to_string(index) + R"(,"timeout_ms":)" +
                                  std::to_string(zeltest::scaled(std::chrono::milliseconds(wait_ms)).count()) + "}");
        json_object *object = member(answer.get(), "object");
        if (!object)
            return count;
        index = json_object_get_int(member(answer.get(), "index"));
        json_object *params = member(object, "params");
        if (siid < 0 || (json_object_get_int(member(params, "siid")) == siid &&
                         json_object_get_int(member(params, "eiid")) == eiid))
            ++count;
    }
}

} // namespace clienttest
