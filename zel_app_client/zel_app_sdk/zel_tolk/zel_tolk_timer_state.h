// The timer module's state, shared by the tick (zel_tolk_timer.cpp) and the service starters
// (zel_tolk_services.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

struct zel_tolk_timer_state {
    std::atomic<uint32_t> services_pending{1}; // cleared when the clock-dependent services start
    std::atomic<uint32_t> sync_ticks{0};
    std::atomic<uint32_t> sdcard_ticks{0};
    std::atomic<uint32_t> period_ticks{0};
    std::atomic<uint32_t> online_reported{0}; // "cloud_connected" sent for this online period
    std::mutex storage_lock;                  // one SD start at a time (timer and agent threads)
    uint32_t storage_started = 0;             // under storage_lock
};

zel_tolk_timer_state &zel_tolk_timer_module(void);
