// The table of the daemon's local methods, their registration with the bus and the RPC link, the
// acknowledgement dispatch, and the handlers that keep the camera state, device id and server time.
#include <unistd.h>

#include <cinttypes>
#include <cstring>

#include "common/ipc/ko_timer.h"
#include "common/ko_porting_hooks.h"
#include "common/sdk/ko_ot_handlers.h"
#include "common/utils/ko_log.h"

namespace ko_ot {

State g_state;

namespace {

struct Method {
    bool is_query;
    const char *method;
    const char *reply_method; // is_query rows: the method of the daemon's answer
    ko_message_handler handler;
};

const Method kMethods[] = {
    {false, "_internal.update_dtoken", nullptr, handle_update_token},
    {false, "_internal.request_dinfo", nullptr, handle_req_dinfo},
    {false, "_internal.wifi_start", nullptr, handle_wifi_start},
    {false, "_internal.wifi_reconnect", nullptr, handle_wifi_reload},
    {false, "_internal.wifi_reload", nullptr, handle_wifi_reload},
    {false, "_internal.req_wifi_conf_status", nullptr, handle_req_wifi_conf},
    {false, "_internal.info", nullptr, handle_req_info},
    {false, "_internal.request_ot_config", nullptr, handle_req_ot_conf},
    {false, "local.status", nullptr, handle_local_status},
    {false, "local.show_pin_code", nullptr, handle_local_pincode},
    {false, "local.bind", nullptr, handle_local_bind},
    {true, "local.query_did", "local.did", handle_local_did},
    {true, "local.query_time", "local.time", handle_local_time},
    {true, "local.query_status", "local.status", handle_local_status},
    {false, "_internal.wifi_disconnect_req", nullptr, handle_wifi_disconnect_req},
};
constexpr int kMethodCount = sizeof kMethods / sizeof kMethods[0];

void handle_local_ack(const ko_message_arg *arg)
{
    json_object *obj = parse(arg);
    if (!obj) {
        KO_LOGE(KO_IPC_MODULE, "%s: Not in json format: %s\n", "_handle_msg_local_ack",
                arg->param ? static_cast<const char *>(arg->param) : "(null)");
        return;
    }
    const char *text = static_cast<const char *>(arg->param);
    KO_LOGD(KO_IPC_MODULE, "%d ack process : %s\n", kMethodCount, text);
    const char *method = string_member(obj, "method");
    bool handled = false;
    for (const Method &row : kMethods) {
        if (row.is_query && method && std::strcmp(row.reply_method, method) == 0) {
            row.handler(arg);
            handled = true;
        }
    }
    if (!handled)
        KO_LOGI(KO_IPC_MODULE, "Not found ack process : %s\n", text);
    json_object_put(obj);
}

void query_did_timer_cb(int timer_id, void *user)
{
    auto *record = static_cast<ko_sdk_info *>(user);
    char did[sizeof record->device_id];
    {
        ko_sdk::RecordLock guard(record);
        std::memcpy(did, record->device_id, sizeof did);
    }
    if (did[0] != '\0') {
        KO_LOGI(KO_IPC_MODULE, "sync did %s done\n", did);
        ko_timer_del(timer_id);
        g_state.did_timer = -1;
        return;
    }
    ko_sdk::send_query("local.query_did");
}

// Called on every accepted status word, outside the record's mutex.
void on_state(ko_sdk_info *record, int state, const char *word)
{
    if (g_state.last_state.exchange(state) == state)
        return;
    if (record->param.status_callback)
        record->param.status_callback(word);
    if (state > 0 && !g_state.did_timer_started.exchange(true)) {
        KO_LOGI(KO_IPC_MODULE, "start did timer ");
        ko_timer timer{};
        timer.first_ms = 100;
        timer.interval_ms = 400;
        timer.user = record;
        timer.callback = query_did_timer_cb;
        const int id = ko_timer_add(&timer);
        if (id < 0)
            KO_LOGE(KO_IPC_MODULE, "ko timer add error\n");
        g_state.did_timer = id;
    }
    if (state >= KO_CAMERA_STATE_CLOUD_CONNECTED && !g_state.media_info_sent.exchange(true))
        ko_sdk::send_media_info();
}

} // namespace

json_object *parse(const ko_message_arg *arg)
{
    if (!arg->param || arg->len == 0)
        return nullptr;
    json_tokener *tok = json_tokener_new();
    if (!tok)
        return nullptr;
    json_object *obj = json_tokener_parse_ex(tok, static_cast<const char *>(arg->param), static_cast<int>(arg->len));
    json_tokener_free(tok);
    if (obj && !json_object_is_type(obj, json_type_object)) {
        json_object_put(obj);
        return nullptr;
    }
    return obj;
}

json_object *request_of(const ko_message_arg *arg, const char *no_arg, const char *not_json)
{
    if (!arg->param || !record_of(arg)) {
        KO_LOGE(KO_IPC_MODULE, "%s\n", no_arg);
        return nullptr;
    }
    json_object *obj = parse(arg);
    if (!obj)
        KO_LOGE(KO_IPC_MODULE, "%s %s\n", not_json, static_cast<const char *>(arg->param));
    return obj;
}

const char *string_member(json_object *obj, const char *key)
{
    json_object *value = nullptr;
    if (!obj || !json_object_object_get_ex(obj, key, &value) || !json_object_is_type(value, json_type_string))
        return nullptr;
    return json_object_get_string(value);
}

void send_hello()
{
    ko_sdk::send_to_daemon("{\"method\":\"_internal.hello\"}", KO_MSG_MODE_SYNC);
}

void reply_and_hello(const std::string &reply)
{
    ko_sdk::send_to_daemon(reply, KO_MSG_MODE_SYNC);
    usleep(10 * 1000);
    send_hello();
}

bool camera_bound()
{
    int bound = 0;
    if (ko_ipc_wifi_mode_get(&bound) != 0)
        KO_LOGE(KO_IPC_MODULE, "ko_ipc_wifi_mode_get failed\n");
    return bound == 1;
}

void handle_local_status(const ko_message_arg *arg)
{
    if (g_state.wifi_busy)
        return;
    json_object *obj = request_of(arg, "invalid msg local_status callback param", "invalid msg local status");
    if (!obj)
        return;
    ko_sdk_info *record = record_of(arg);
    if (const char *word = string_member(obj, "params")) {
        KO_LOGI(KO_IPC_MODULE, "update camera status %s\n", word);
        const int state = ko_sdk::camera_state_of(word);
        if (state < 0) {
            KO_LOGI(KO_IPC_MODULE, "unkonw status %s\n", word);
        } else {
            {
                ko_sdk::RecordLock guard(record);
                record->camera_state = state;
            }
            on_state(record, state, word);
        }
    }
    json_object_put(obj);
}

void handle_local_did(const ko_message_arg *arg)
{
    json_object *obj = request_of(arg, "invalid msg local_did callback param", "invalid msg local did");
    if (!obj)
        return;
    ko_sdk_info *record = record_of(arg);
    json_object *params = nullptr;
    if (json_object_object_get_ex(obj, "params", &params) && json_object_is_type(params, json_type_int)) {
        const int64_t did = json_object_get_int64(params);
        if (did > 0) {
            ko_sdk::RecordLock guard(record);
            std::snprintf(record->device_id, sizeof record->device_id, "%" PRId64, did);
        }
    }
    json_object_put(obj);
}

void handle_local_time(const ko_message_arg *arg)
{
    KO_LOGD(KO_IPC_MODULE, "handle local msg time : %s\n", arg->param ? static_cast<const char *>(arg->param) : "");
    json_object *obj = request_of(arg, "invalid msg local_time callback param", "invalid msg local time");
    if (!obj)
        return;
    ko_sdk_info *record = record_of(arg);
    json_object *params = nullptr;
    if (json_object_object_get_ex(obj, "params", &params) && json_object_is_type(params, json_type_int)) {
        // Seconds in 32 unsigned bits (good to 2106); anything else, such as milliseconds, would be
        // cut to a wrong but plausible date.
        const int64_t seconds = json_object_get_int64(params);
        if (seconds > 0 && seconds <= static_cast<int64_t>(UINT32_MAX)) {
            ko_sdk::RecordLock guard(record);
            record->server_time = static_cast<uint32_t>(seconds);
        } else {
            KO_LOGE(KO_IPC_MODULE, "local time %lld out of range\n", static_cast<long long>(seconds));
        }
    }
    json_object_put(obj);
}

void handle_local_bind(const ko_message_arg *arg)
{
    json_object *obj = request_of(arg, "invalid msg local_bind callback param", "invalid msg local bind");
    if (!obj)
        return;
    const char *result = string_member(obj, "result");
    if (result && std::strcmp(result, "ok") == 0) {
        ko_sdk::send_media_info();
        ko_ipc_on_bind(0);
    } else {
        ko_ipc_on_bind(1);
    }
    json_object_put(obj);
}

void handle_local_pincode(const ko_message_arg *arg)
{
    json_object *obj = request_of(arg, "invalid msg local_pincode callback param", "invalid msg local pincode");
    if (!obj)
        return;
    json_object *params = nullptr;
    if (json_object_object_get_ex(obj, "params", &params)) {
        json_object *pin = nullptr;
        // A null pin_code gives no text from json-c: it counts as absent.
        const bool given = json_object_object_get_ex(params, "pin_code", &pin) && pin;
        const char *pin_text = given ? json_object_get_string(pin) : "";
        KO_LOGI(KO_IPC_MODULE, "pin code :---%s\n", pin_text);
        ko_ipc_wifi_show_pin(pin_text);
    }
    json_object_put(obj);
}

} // namespace ko_ot

extern "C" int ko_linux_ot_rpc_sub(ko_sdk_info *record)
{
    using namespace ko_ot;
    if (ko_message_listen(KO_UID_SDK, "rpc.ack", handle_local_ack, record) != 0) {
        KO_LOGE(KO_IPC_MODULE, "register rpc.ack failed\n");
        return -1;
    }
    for (const Method &row : kMethods) {
        if (ko_message_send(KO_UID_SDK, KO_UID_RPC, "rpc.register", row.method,
                            static_cast<uint32_t>(std::strlen(row.method)), KO_MSG_MODE_SYNC) < 0) {
            KO_LOGE(KO_IPC_MODULE, "push rpc register %s msg failure ret\n", row.method);
            return -1;
        }
        if (!row.is_query && ko_message_listen(KO_UID_SDK, row.method, row.handler, record) != 0) {
            KO_LOGE(KO_IPC_MODULE, "register %s failed\n", row.method);
            return -1;
        }
    }
    return 0;
}

namespace ko_sdk {

void ot_rpc_unsub()
{
    using namespace ko_ot;
    const int timer = g_state.did_timer.exchange(-1);
    if (timer >= 0)
        ko_timer_del(timer);
    ko_message_unregister(KO_UID_SDK, "rpc.ack");
    for (const Method &row : kMethods) {
        if (!row.is_query)
            ko_message_unregister(KO_UID_SDK, row.method);
    }
    g_state.wifi_busy = false;
    g_state.last_dinfo_ms = 0;
    g_state.last_state = -1;
    g_state.did_timer_started = false;
    g_state.media_info_sent = false;
}

void send_media_info()
{
    ko_stream_chn_info video{}, audio{};
    if (!stream_info_copy(0, &video) || !stream_info_copy(4, &audio))
        return;
    char data[1024];
    const int n = std::snprintf(
        data, sizeof data,
        "{\"id\":%d,\"method\":\"_sync.set_extra_data\",\"params\":{\"data\":{\"v_encode\":\"%u\",\"v_fps\":\"%u\","
        "\"v_width\":\"%u\",\"v_height\":\"%u\",\"v_bitrate\":\"%u\",\"a_encode\":\"%u\",\"a_fps\":\"%u\","
        "\"a_samplebits\":\"%u\",\"a_samplerate\":\"%u\",\"a_bitrate\":\"%u\"}}}",
        random_id(), video.encode, video.fps, static_cast<unsigned>(video.resolution.width),
        static_cast<unsigned>(video.resolution.height), video.bitrate, audio.encode, audio.fps, audio.samplebit,
        audio.samplerate, audio.bitrate);
    KO_LOGI(KO_IPC_MODULE, "send media info %s\n", data);
    send_to_daemon(n > 0 && static_cast<size_t>(n) < sizeof data ? data : "", KO_MSG_MODE_ASYNC);
    KO_LOGI(KO_IPC_MODULE, "set extra param ok!\n");
}

} // namespace ko_sdk
