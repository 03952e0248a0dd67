// The daemon method handlers of the SDK core (bus keys at uid 1, user pointer: the information
// record) and the process-wide state they share.
#pragma once

#include <atomic>
#include <cstdint>

#include <json-c/json.h>

#include "common/ipc/ko_message.h"
#include "common/sdk/ko_sdk_internal.h"

namespace ko_ot {

struct State {
    std::atomic<bool> wifi_busy{false};    // a Wi-Fi start is running
    std::atomic<int64_t> last_dinfo_ms{0}; // monotonic time of the last accepted "request_dinfo"
    std::atomic<int> last_state{-1};       // last camera state told to the status callback
    std::atomic<bool> did_timer_started{false};
    std::atomic<bool> media_info_sent{false};
    std::atomic<int> did_timer{-1};
};
extern State g_state;

// The handler's record, or null.
inline ko_sdk_info *record_of(const ko_message_arg *arg)
{
    return static_cast<ko_sdk_info *>(arg->user);
}
// The handler's text as a JSON object (caller puts it), or null.
json_object *parse(const ko_message_arg *arg);
// The handler's request as a JSON object (caller puts it), or null after logging `no_arg` when the
// text or the record is missing, or "<not_json> <text>" when the text is not a JSON object.
json_object *request_of(const ko_message_arg *arg, const char *no_arg, const char *not_json);
// A string member, or null.
const char *string_member(json_object *obj, const char *key);
// Sends a reply in the handler's thread, then, after 10 ms, "_internal.hello".
void reply_and_hello(const std::string &reply);
void send_hello();
// The camera is bound to an account (hook ko_ipc_wifi_mode_get).
bool camera_bound();

void handle_update_token(const ko_message_arg *arg);
void handle_req_dinfo(const ko_message_arg *arg);
void handle_wifi_start(const ko_message_arg *arg);
void handle_wifi_reload(const ko_message_arg *arg);
void handle_req_wifi_conf(const ko_message_arg *arg);
void handle_req_info(const ko_message_arg *arg);
void handle_req_ot_conf(const ko_message_arg *arg);
void handle_local_status(const ko_message_arg *arg);
void handle_local_pincode(const ko_message_arg *arg);
void handle_local_bind(const ko_message_arg *arg);
void handle_local_did(const ko_message_arg *arg);
void handle_local_time(const ko_message_arg *arg);
void handle_wifi_disconnect_req(const ko_message_arg *arg);

} // namespace ko_ot
