// Feeds every property row arbitrary elements: the first byte picks the row, the second the operation
// (a set, a pulled value, or a get after storing the bytes as the row's setting), the rest is the
// element itself or its "value" text. The handlers must neither crash nor write past the reply
// buffer, whatever the phone, the cloud or a damaged settings file gives them. Device calls go to an
// agent bus and links that are not started, which refuse them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"
#include "zel_db/zel_db.h"
#include "zel_fuzz_root.h"

namespace {

zelfuzz::Root *g_root;
constexpr int kReply = 4096;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_root = new zelfuzz::Root;
    if (zel_api_db_init() != 0)
        return 1;
    set_func_did("4242", 4);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const zel_rpc_tables_t *t = zel_rpc_tables();
    const spec_property_row_t &row = t->properties[data[0] % t->property_count];
    const std::string rest(reinterpret_cast<const char *>(data) + 2, size - 2);
    const int choice = data[1] % 5;
    if (choice == 4) {
        if (row.key && row.key[0])
            zel_api_db_set_value(row.key, rest.c_str(), static_cast<int>(std::strlen(rest.c_str())), 0);
        // A poisoned buffer: whatever the handler writes must end within it.
        std::vector<char> reply(kReply, 'x');
        row.handler(1, row.siid, row.piid, SPEC_OP_GET, reply.data(), kReply, false);
        return 0;
    }
    // Choices 0 and 1 give the bytes as the whole element, 2 and 3 as its value; even ones set.
    std::string element = choice < 2 ? rest
                                     : "{\"siid\":" + std::to_string(row.siid) + ",\"piid\":" + std::to_string(row.piid) +
                                           ",\"value\":" + rest + "}";
    // An exact-size copy, so that a read past the element is caught.
    std::vector<char> text(element.begin(), element.end());
    text.push_back('\0');
    row.handler(1, row.siid, row.piid, choice % 2 == 0 ? SPEC_OP_SET : SPEC_OP_PULLED, text.data(),
                static_cast<int>(element.size()), choice % 2 == 0);
    return 0;
}
