// The property, action and method tables, and the handlers that need nothing beyond the engine.
#include <atomic>
#include <string>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table_test.h"

namespace {

// The pan-tilt capability: always there.
void spec_func_ptz_camera(int, int siid, int piid, int op, char *json, int size, bool)
{
    if (op == SPEC_OP_GET)
        spec_reply_element(json, size, siid, piid, "true");
}

void rpc_func_get_lock_region(int id, const char *, int)
{
    zel_rpc::send_text("{\"code\":0,\"id\":" + std::to_string(id) +
                       ",\"result\":[{\"lock_region\":0,\"legal_status\":0}]}");
}

const spec_property_row_t spec_property_table[] = {
    {"NVM.VIDEO:watermark", 2, 11, 1, spec_func_ptz_camera},
};

const spec_action_row_t spec_action_table[] = {
    {"start-p2p-stream", 6, 1, nullptr},
    {"stop-stream", 6, 2, nullptr},
};

const spec_method_row_t spec_method_table[] = {
    {"get_lock_region_status", rpc_func_get_lock_region},
};

const zel_rpc_tables_t kTables = {
    spec_property_table, std::size(spec_property_table), spec_action_table, std::size(spec_action_table),
    spec_method_table,   std::size(spec_method_table),
};

std::atomic<const zel_rpc_tables_t *> g_tables{&kTables};

} // namespace

const zel_rpc_tables_t *zel_rpc_tables(void)
{
    return g_tables.load();
}

const spec_property_row_t *spec_property_row(int siid, int piid)
{
    const zel_rpc_tables_t *t = zel_rpc_tables();
    for (size_t i = 0; i < t->property_count; ++i)
        if (t->properties[i].siid == siid && t->properties[i].piid == piid)
            return &t->properties[i];
    return nullptr;
}

void zel_rpc_test_install_tables(const zel_rpc_tables_t *tables)
{
    g_tables.store(tables ? tables : &kTables);
}
