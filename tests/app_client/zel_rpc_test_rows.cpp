#include "zel_rpc_test_rows.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_test_support.h"

namespace rpctest {

namespace {

std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<Call> g_calls;
std::function<void()> g_set_hook;
bool g_hold = false;
bool g_holding = false;

void note(int id, int siid, int piid, int op, const char *json, int size, bool notify)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back({id, siid, piid, op, op == SPEC_OP_GET ? std::string() : std::string(json, size), notify});
}

void recording(int id, int siid, int piid, int op, char *json, int size, bool notify)
{
    note(id, siid, piid, op, json, size, notify);
    if (op == SPEC_OP_GET)
        spec_reply_element(json, size, siid, piid, "7");
}

void silent(int id, int siid, int piid, int op, char *json, int size, bool notify)
{
    note(id, siid, piid, op, json, size, notify);
}

void night(int id, int siid, int piid, int op, char *json, int size, bool notify)
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        hook = g_set_hook;
    }
    if (op == SPEC_OP_SET && hook)
        hook();
    recording(id, siid, piid, op, json, size, notify);
}

void upload(char *out, int size)
{
    std::snprintf(out, static_cast<size_t>(size), "\"done\"");
}

void hold(int id, const char *, int)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    g_holding = true;
    g_cond.notify_all();
    g_cond.wait(lock, [] { return !g_hold; });
    g_holding = false;
    lock.unlock();
    zel_rpc_reply_ok(id);
}

void lock_region(int id, const char *, int)
{
    zel_rpc_reply_ok(id);
}

const spec_property_row_t kProperties[] = {
    {"NVM.TEST:night", 2, 3, 1, night},
    {"NVM.TEST:sd_ejected", 4, 5, 1, recording},
    {"", 3, 1, 0, silent},
    {"NVM.TEST:track", 2, 8, 1, recording},
    {"NVM.TEST:md_switch", 5, 1, 1, recording},
    {"NVM.TEST:md_interval", 5, 2, 1, recording},
    {"NVM.TEST:md_level", 5, 3, 1, recording},
    {"NVM.TEST:md_start", 5, 4, 1, recording},
    {"NVM.TEST:md_end", 5, 5, 1, recording},
};
const spec_action_row_t kActions[] = {{"upload_video", 17, 1, upload}, {"start-p2p-stream", 6, 1, nullptr}};
const spec_method_row_t kMethods[] = {{"test.hold", hold}, {"get_lock_region_status", lock_region}};
const zel_rpc_tables_t kTables = {kProperties, std::size(kProperties), kActions, std::size(kActions),
                                  kMethods,    std::size(kMethods)};

} // namespace

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

void reset_calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_set_hook = nullptr;
}

bool wait_calls(size_t count, std::chrono::milliseconds timeout)
{
    return zeltest::wait_until([count] { return calls().size() >= count; }, timeout);
}

void on_set_2_3(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_set_hook = std::move(hook);
}

void hold_worker(bool on)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hold = on;
    g_cond.notify_all();
}

bool worker_held(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cond.wait_for(lock, zeltest::scaled(timeout), [] { return g_holding; });
}

const zel_rpc_tables_t *test_tables()
{
    return &kTables;
}

} // namespace rpctest
