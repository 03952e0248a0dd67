// Feeds the daemon method handlers of the SDK core the request text as the bus hands it over
// (a zero-terminated copy); the first byte picks the handler. Token files go to a temporary root.
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/sdk/ko_ot_handlers.h"
#include "ko_sdk_fuzz_support.h"
#include "zel_fuzz_root.h"

namespace {

ko_sdk_info g_record;

using Handler = void (*)(const ko_message_arg *);
const Handler kHandlers[] = {
    ko_ot::handle_local_status, ko_ot::handle_local_did,       ko_ot::handle_local_time,
    ko_ot::handle_local_bind,   ko_ot::handle_local_pincode,   ko_ot::handle_wifi_start,
    ko_ot::handle_wifi_reload,  ko_ot::handle_wifi_disconnect_req, ko_ot::handle_update_token,
    ko_ot::handle_req_dinfo,    ko_ot::handle_req_wifi_conf,   ko_ot::handle_req_ot_conf,
    ko_ot::handle_req_info,
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zelfuzz::root();
    ko_fuzz_sdk_start();
    std::memset(&g_record, 0, sizeof g_record);
    pthread_mutex_init(&g_record.mutex, nullptr);
    std::snprintf(g_record.param.data_dir, sizeof g_record.param.data_dir, "/mnt/data");
    std::snprintf(g_record.param.mac, sizeof g_record.param.mac, "00:11:22:33:44:55");
    std::snprintf(g_record.param.fw_ver, sizeof g_record.param.fw_ver, "1.0.0");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const Handler handler = kHandlers[data[0] % (sizeof kHandlers / sizeof kHandlers[0])];
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    ko_message_arg arg{};
    arg.from_uid = KO_UID_RPC;
    arg.msgkey = "fuzz";
    arg.param = text.c_str();
    arg.len = static_cast<uint32_t>(text.size());
    arg.user = &g_record;
    handler(&arg);
    return 0;
}
