// ko_rpc_receive and _zel_rpc_send: the two ends of the RPC link as the app client sees them.
#include "app_sdk_porting/zel_tolk_rpc_hooks.h"

#include "app/rpc/ko_rpc.h"
#include "common/ko_porting_hooks.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_control/log/zel_log.h"

namespace {
constexpr const char *TAG = "zel_tolk_porting";
}

extern "C" int ko_rpc_receive(const char *msg, int len)
{
    if (!msg || len <= 0) {
        ZEL_LOGE(TAG, " param is null ");
        return -1;
    }
    // The SDK's link runs from the SDK start on; the engine stands only after the device id has been
    // had (up to 11 s later). Until then a daemon request has nowhere to go.
    if (!zel_rpc_ready()) {
        ZEL_LOGE(TAG, "rpc engine not started yet, daemon message dropped: %.*s ", len, msg);
        return -1;
    }
    ZEL_LOGD(TAG, "recv rpc msg = %.*s ", len, msg);
    return zel_rpc_receive_handle(msg, len);
}

extern "C" int _zel_rpc_send(const char *text, int len)
{
    return ko_rpc_send(text, len);
}
