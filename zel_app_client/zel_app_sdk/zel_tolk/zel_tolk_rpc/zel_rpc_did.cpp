// The device id: from the factory keys ("ROM.did"), else asked of the SDK once a second. Without one
// after 11 tries the device daemon is killed and SIGUSR1 raised, as a restart of both is the cure.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "common/sdk/ko_sdk.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_system.h"
#include "zel_db/zel_db.h"

char func_did[32];

namespace zel_rpc {

namespace {

constexpr int kDidMax = 31;
constexpr int kQueryFailuresBeforeKill = 10;

std::mutex g_did_mutex;
char g_did[kDidMax + 1];

void store(char *dst, const char *src, size_t len)
{
    const size_t n = strnlen(src, std::min<size_t>(len, kDidMax));
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

} // namespace

std::string device_id()
{
    std::lock_guard<std::mutex> lock(g_did_mutex);
    return g_did;
}

void acquire_did()
{
    char did[32] = {};
    zel_api_db_get_value("ROM.did", did, sizeof did);
    ZEL_LOGI(TAG, " device did: %s \n", did);
    int failures = 0;
    while (did[0] == '\0') {
        if (ko_ipc_query_did(did, sizeof did) == 0 && did[0] != '\0') {
            ZEL_LOGI(TAG, " >>>yes,get did \n");
            ZEL_LOGI(TAG, " get did from tolk: %s retry_times = %d \n", did, failures);
            break;
        }
        did[0] = '\0';
        ++failures;
        ZEL_LOGE(TAG, " ko_ipc_query_did error!,count=%d \n", failures);
        if (failures > kQueryFailuresBeforeKill) {
            ZEL_LOGE(TAG, "cannot get did %d times, restart lumo_client and zel_tolk", kQueryFailuresBeforeKill);
            run_cmd("kill -9 `pidof lumo_client`", nullptr, 0);
            raise(SIGUSR1);
        }
        sleep(1);
    }
    did[kDidMax] = '\0';
    zel_api_db_set_value("MEM.default:did", did, static_cast<int>(std::strlen(did)), 0);
    zel_rpc_set_did(did);
    set_func_did(did, static_cast<int>(std::strlen(did)));
}

} // namespace zel_rpc

void zel_rpc_set_did(const char *did)
{
    if (!did) {
        ZEL_LOGE(zel_rpc::TAG, "input param is null \n");
        return;
    }
    std::lock_guard<std::mutex> lock(zel_rpc::g_did_mutex);
    zel_rpc::store(zel_rpc::g_did, did, zel_rpc::kDidMax);
}

void set_func_did(const char *did, int len)
{
    if (!did || len < 0)
        return;
    zel_rpc::store(func_did, did, static_cast<size_t>(len));
}
