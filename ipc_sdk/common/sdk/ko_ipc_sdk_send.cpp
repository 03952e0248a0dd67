// The SDK core's way to the device daemon (JSON text on the bus to the RPC link) and the table that
// turns the daemon's status words into camera states.
#include <cstring>

#include "common/ipc/ko_message.h"
#include "common/sdk/ko_sdk_internal.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_rand.h"

namespace ko_sdk {

int send_to_daemon(const std::string &text, uint32_t mode)
{
    if (text.empty() || text.size() > KO_MSG_PARAM_MAX) {
        KO_LOGE(KO_IPC_MODULE, "invalid context len for %s\n", "rpc.rpc");
        return -1;
    }
    const int ret = ko_message_send(KO_UID_SDK, KO_UID_RPC, "rpc.rpc", text.c_str(),
                                    static_cast<uint32_t>(text.size()), mode);
    if (ret != 0)
        KO_LOGW(KO_IPC_MODULE, "push rpc.rpc failed %d\n", ret);
    return ret;
}

int32_t random_id()
{
    return static_cast<int32_t>(rand_range(0, 2147483647u));
}

void send_query(const char *method)
{
    char text[64];
    const int n = std::snprintf(text, sizeof text, "{\"id\":%d,\"method\":\"%s\"}", random_id(), method);
    send_to_daemon(n > 0 && static_cast<size_t>(n) < sizeof text ? std::string(text, static_cast<size_t>(n)) : "",
                   KO_MSG_MODE_ASYNC);
}

std::string json_text(json_object *obj)
{
    const char *text = json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    return text ? text : "";
}

int camera_state_of(const char *word)
{
    // Each word matches by prefix over its own length, except "cloud_trying" over 11 characters.
    static const struct {
        const char *word;
        size_t len;
        int state;
    } kStates[] = {
        {"device_init", 11, 0},        {"didkey_done", 11, 1},        {"wifi_ap_mode", 12, 4},
        {"sta_mode", 8, 3},            {"token_done", 10, 2},         {"wifi_connecting", 15, 5},
        {"wifi_connected", 14, 6},     {"internet_failed", 15, 5},    {"internet_connected", 18, 7},
        {"cloud_trying", 11, 7},       {"cloud_retry", 11, 7},        {"cloud_connected", 15, 8},
    };
    for (const auto &row : kStates) {
        if (std::strncmp(word, row.word, row.len) == 0)
            return row.state;
    }
    return -1;
}

} // namespace ko_sdk
