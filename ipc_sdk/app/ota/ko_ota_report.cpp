// The OTA service's property reports: the update's state and progress as "props" texts on the bus.
#include <cstdio>
#include <cstring>

#include "app/ota/ko_ota_internal.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_log.h"
#include "zelmar/zel_rand.h"

namespace ko_ota {

namespace {

// In the caller's thread, so that the reports reach the daemon in the order the update made them.
void push(const char *text)
{
    if (ko_message_send(KO_UID_OTA, KO_UID_RPC, "rpc.rpc", text, static_cast<uint32_t>(std::strlen(text)),
                        KO_MSG_MODE_SYNC) != 0)
        KO_LOGE(kModule, "ota: message push failed!\n");
}

} // namespace

const char *state_name(int state)
{
    static const char *const kNames[] = {"idle",       "downloading", "downloaded", "wait_install", "installing",
                                         "installed",  "failed",      "busy",       "failed|-33008|install busy"};
    return state >= 0 && state <= kAborted ? kNames[state] : "unknown";
}

void report_state(int state)
{
    char text[160];
    std::snprintf(text, sizeof text, "{\"id\":%u,\"method\":\"props\",\"params\":{\"ota_state\":\"%s\"}}",
                  generate_random_id(), state_name(state));
    push(text);
}

void report_progress(unsigned percent)
{
    char text[128];
    std::snprintf(text, sizeof text, "{\"id\":%u,\"method\":\"props\",\"params\":{\"ota_progress\":%u}}",
                  generate_random_id(), percent);
    push(text);
}

void Progress::update(uint64_t done, uint64_t total)
{
    if (total == 0 || done > total)
        return;
    const auto percent = static_cast<unsigned>(from_ + done * (to_ - from_) / total);
    if (percent > last_) {
        last_ = percent;
        report_progress(percent);
    }
}

} // namespace ko_ota
