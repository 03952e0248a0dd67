#include "ko_porting_hooks_double.h"

#include <mutex>

#include "common/ko_porting_hooks.h"
#include "zel_test_support.h"

namespace {

std::mutex g_mutex;
zeltest::PortingHooksRecord g_seen;

} // namespace

extern "C" int ko_rpc_receive(const char *msg, int len)
{
    if (!msg || len <= 0)
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.rpc_received.emplace_back(msg, static_cast<size_t>(len));
    return 0;
}

extern "C" int ko_ipc_on_error(int code)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.errors.push_back(code);
    return 0;
}

namespace zeltest {

PortingHooksRecord porting_hooks_seen()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}

void porting_hooks_reset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen = PortingHooksRecord{};
}

bool porting_hooks_wait_rpc(size_t count, std::chrono::milliseconds timeout)
{
    return wait_until([count] { return porting_hooks_seen().rpc_received.size() >= count; }, timeout);
}

} // namespace zeltest
