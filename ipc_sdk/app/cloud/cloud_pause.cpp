// Pauses of the upload side on one condition variable, woken by the stop.
#include "app/cloud/cloud_pause.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "app/cloud/cloud_upload_test.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_cv;
std::atomic<uint32_t> g_divisor{1};

} // namespace

bool cloud_pause_ms(const cloud_record_state_t *rec, uint32_t ms)
{
    const auto wait = std::chrono::milliseconds(ms / g_divisor.load());
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!rec) {
        g_cv.wait_for(lock, wait);
        return true;
    }
    return !g_cv.wait_for(lock, wait, [rec] { return rec->running.load() == 0; });
}

void cloud_pause_wake(void)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_cv.notify_all();
}

void cloud_upload_test_set_pause_divisor(uint32_t divisor)
{
    g_divisor = divisor ? divisor : 1;
}
