// Test rows for the property RPC engine: property handlers that record every call, a handler that
// holds the worker until the simulator has the set reply, and a method that holds the worker until
// the test lets it go.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table_test.h"

namespace rpctest {

struct Call {
    int id, siid, piid, op;
    std::string json;
    bool notify;
};

// Every call of a recording handler so far.
std::vector<Call> calls();
void reset_calls();
bool wait_calls(size_t count, std::chrono::milliseconds timeout);

// Runs on the worker before the set handler of internal 2.3 records its call.
void on_set_2_3(std::function<void()> hook);

// Holds the method "test.hold" (it answers "OK" once let go).
void hold_worker(bool hold);
bool worker_held(std::chrono::milliseconds timeout);

// The test tables: internal 4.5 (key "NVM.TEST:sd_ejected") answers 7; internal 3.1 writes nothing;
// internal 2.3 ("NVM.TEST:night"), 2.8 ("NVM.TEST:track"), 5.1 to 5.5 ("NVM.TEST:md_*") record;
// action 17.1 writes "\"done\"" into out; methods "test.hold" and "get_lock_region_status".
const zel_rpc_tables_t *test_tables();

} // namespace rpctest
