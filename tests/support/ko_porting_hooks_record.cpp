// What the porting-hook doubles saw and what they answer, kept apart from the doubles themselves so
// that the app-client tests (which run the library's real hooks) can link the record alone.
#include "ko_porting_hooks_double.h"

#include <mutex>

#include "zel_test_support.h"

namespace {

std::mutex g_mutex;
zeltest::PortingHooksRecord g_seen;
zeltest::PortingHooksScript g_script;

} // namespace

namespace zeltest {

void porting_hooks_update(const std::function<void(PortingHooksRecord &, PortingHooksScript &)> &change)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    change(g_seen, g_script);
}

void porting_hooks_note_rpc(std::string text)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen.rpc_received.push_back(std::move(text));
}

void porting_hooks_script(const PortingHooksScript &script)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script = script;
}

PortingHooksRecord porting_hooks_seen()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_seen;
}

void porting_hooks_reset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_seen = PortingHooksRecord{};
    g_script = PortingHooksScript{};
}

bool porting_hooks_wait_rpc(size_t count, std::chrono::milliseconds timeout)
{
    return wait_until([count] { return porting_hooks_seen().rpc_received.size() >= count; }, timeout);
}

} // namespace zeltest
