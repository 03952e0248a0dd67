// ko_ota_init: the OTA keys on the message bus and their announcement to the RPC link.
#include "app/ota/ko_ota.h"

#include <atomic>
#include <cstring>

#include "common/ipc/ko_message.h"
#include "common/utils/ko_log.h"

namespace {

constexpr const char *kModule = "ota";
constexpr const char *kKeys[] = {"lumo.ota", "sdkinfo_resp", "ota.downgrade"};

std::atomic<bool> g_started{false};

void on_message(const ko_message_arg *arg)
{
    const char *text = arg->param ? static_cast<const char *>(arg->param) : "";
    KO_LOGI(kModule, "ota: %s from uid %u: %.*s\n", arg->msgkey ? arg->msgkey : "(null)",
            static_cast<unsigned>(arg->from_uid), static_cast<int>(strnlen(text, arg->len)), text);
}

} // namespace

int ko_ota_init(int)
{
    if (g_started.load())
        return 0;
    for (const char *key : kKeys) {
        if (ko_message_listen(KO_UID_OTA, key, on_message, nullptr) != 0) {
            KO_LOGE(kModule, "ota: message register failed!\n");
            return -1;
        }
    }
    for (const char *key : kKeys) {
        if (ko_message_send(KO_UID_OTA, KO_UID_RPC, "rpc.register", key, static_cast<uint32_t>(std::strlen(key)),
                            KO_MSG_MODE_ASYNC) != 0) {
            KO_LOGE(kModule, "ota: message push failed!\n");
            return -1;
        }
    }
    g_started.store(true);
    return 0;
}
