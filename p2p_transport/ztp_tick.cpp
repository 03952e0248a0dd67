#include "ztp_tick.h"

#include <atomic>

#include "zelmar/zel_clock.h"
#include "ztp_tick_test.h"

namespace {
std::atomic<ztp_tick_source> g_source{nullptr};
}

int64_t ztp_tick_ms(void)
{
    const ztp_tick_source source = g_source.load(std::memory_order_acquire);
    return source ? source() : time_monotonic_ms();
}

void ztp_tick_set_source(ztp_tick_source source)
{
    g_source.store(source, std::memory_order_release);
}
