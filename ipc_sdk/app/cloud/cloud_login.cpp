// The cloud's side of the daemon link: the login request and its reply, and the three methods the
// cloud sends ("cloudSwitch", "vexa_camera_delete_files", "vexa_camera_put_gop_info").
#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/cloud/cloud_upload.h"
#include "app/cloud/ko_cloud_internal.h"
#include "common/ko_porting_hooks.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/utils/ko_util.h"
#include "common/utils/vexa_base64.h"
#include "zelmar/zel_rand.h"

namespace {

// The session key is the first 16 bytes of a "security" of 16 to 31 bytes.
constexpr unsigned kKeyMin = 16, kKeyMax = 31;

int send_up(const std::string &text)
{
    return ko_message_send(KO_UID_CLOUD, KO_UID_RPC, "rpc.rpc", text.c_str(), static_cast<uint32_t>(text.size()),
                           KO_MSG_MODE_ASYNC);
}

void reply_ok(uint32_t id)
{
    char text[64];
    snprintf(text, sizeof text, "{\"id\":%u,\"result\":[\"OK\"]}", id);
    if (send_up(text) < 0)
        KO_LOGE(CLOUD_MODULE, "push rpc ack msg failure ret\n");
}

// A member of the given type, or null.
json_object *typed(json_object *obj, const char *key, json_type type)
{
    json_object *v = nullptr;
    if (!obj || !json_object_is_type(obj, json_type_object) || !json_object_object_get_ex(obj, key, &v) ||
        !json_object_is_type(v, type))
        return nullptr;
    return v;
}

// A string member of at most `max` characters into `out`: false when absent, not a string or longer.
bool bounded_string(json_object *obj, const char *key, size_t max, std::string *out)
{
    json_object *v = typed(obj, key, json_type_string);
    if (!v || static_cast<size_t>(json_object_get_string_len(v)) > max)
        return false;
    out->assign(json_object_get_string(v), static_cast<size_t>(json_object_get_string_len(v)));
    return true;
}

void take_login(json_object *reply)
{
    json_object *result = typed(reply, "result", json_type_object);
    if (!result) {
        KO_LOGE(CLOUD_MODULE, "json replay parse error #\n");
        return;
    }
    json_object *data_text = typed(result, "data", json_type_string);
    ko_json_ptr data(data_text ? json_tokener_parse(json_object_get_string(data_text)) : nullptr);
    if (!data || !json_object_is_type(data.get(), json_type_object)) {
        KO_LOGE(CLOUD_MODULE, "%s: set_props error\n", "_sync.camera_login");
        return;
    }
    std::string domain, security, token;
    if (!bounded_string(data.get(), "bUrl", CLOUD_DOMAIN_SIZE - 1, &domain) ||
        !bounded_string(data.get(), "security", 63, &security) ||
        !bounded_string(data.get(), "token", CLOUD_TOKEN_SIZE - 1, &token)) {
        KO_LOGE(CLOUD_MODULE, "login reply refused: bUrl, security or token missing or too long\n");
        return;
    }
    uint8_t key[48] = {};
    const unsigned n = vexa_base64_decode_url(security.c_str(), static_cast<unsigned>(security.size()), key, sizeof key);
    if (n < kKeyMin || n > kKeyMax) {
        KO_LOGE(CLOUD_MODULE, "login reply refused: security gives %d bytes\n", static_cast<int>(n));
        return;
    }
    cloud_upload_ctx_t &up = cloud_upload_ctx();
    cloud_upload_link &link = cloud_upload_shared();
    {
        std::lock_guard<std::mutex> lock(up.mutex);
        cloud_login_record &l = link.login;
        std::memcpy(l.domain, domain.c_str(), domain.size() + 1);
        std::memcpy(l.key, key, sizeof l.key);
        std::memcpy(l.token, token.c_str(), token.size() + 1);
        rand_bytes(l.iv, sizeof l.iv);
        l.tick_s = vexa_time_tick_s();
        l.generation++;
        up.token_valid = 1;
    }
    KO_LOGI(CLOUD_MODULE, "cloud get token done\n");
    link.replied = 1;
}

void set_switch(json_object *params, uint32_t id)
{
    json_object *on = typed(params, "cloudSwitch", json_type_boolean);
    if (!on) {
        KO_LOGE(CLOUD_MODULE, "cloudSwitch without a boolean cloudSwitch\n");
        return;
    }
    cloud_record_state_t &rec = cloud_record_ctx().shared;
    {
        std::lock_guard<std::mutex> lock(rec.mutex);
        rec.cloud_switch = json_object_get_boolean(on) ? 1 : 0;
    }
    KO_LOGI(CLOUD_MODULE, "cloud switch is %d\n", json_object_get_boolean(on) ? 1 : 0);
    reply_ok(id);
}

void delete_files(json_object *params, uint32_t id)
{
    json_object *ids = typed(params, "fileIds", json_type_array);
    if (!ids) {
        KO_LOGE(CLOUD_MODULE, "vexa_camera_delete_files without fileIds\n");
        return;
    }
    cloud_upload_ctx_t &up = cloud_upload_ctx();
    cloud_upload_link &link = cloud_upload_shared();
    std::string active;
    {
        std::lock_guard<std::mutex> lock(up.mutex);
        active = link.active_file_id;
    }
    for (size_t i = 0; i < json_object_array_length(ids); ++i) {
        json_object *e = json_object_array_get_idx(ids, i);
        if (!active.empty() && json_object_is_type(e, json_type_string) && active == json_object_get_string(e)) {
            link.file_id_reset = 1;
            KO_LOGI(CLOUD_MODULE, "cloud upload  fileid reset\n");
        }
    }
    reply_ok(id);
}

void put_gop(json_object *params)
{
    json_object *a = typed(params, "alarmOffsetLimit", json_type_int);
    json_object *c = typed(params, "cloudOffsetLimit", json_type_int);
    json_object *g = typed(params, "gop", json_type_int);
    const int alarm = a ? json_object_get_int(a) : 0, cloud = c ? json_object_get_int(c) : 0,
              gop = g ? json_object_get_int(g) : 0;
    if (alarm < 1 || alarm > 3 || cloud < 1 || cloud > 600 || gop < 3 || gop > 10) {
        KO_LOGE(CLOUD_MODULE, "get_gop_info err,gop:%d ,non_offset:%d ,offset:%d \n", gop, alarm, cloud);
        return;
    }
    ko_cloud_set_video_gop(gop, cloud, alarm);
    cloud_record_state_t &rec = cloud_record_ctx().shared;
    std::lock_guard<std::mutex> lock(rec.mutex);
    rec.gop = gop;
    rec.alarm_offset_limit = alarm;
    rec.cloud_offset_limit = cloud;
}

// Takes the reply when its id is one the login waits for.
bool is_login_reply(cloud_upload_link &link, int32_t id)
{
    if (id == 0)
        return false;
    int32_t want = id;
    if (link.pending_id.compare_exchange_strong(want, 0)) {
        link.late_id = 0;
        return true;
    }
    want = id;
    if (!link.late_id.compare_exchange_strong(want, 0))
        return false;
    // The login is answered: the reply to the request sent after it is no longer waited for.
    link.pending_id = 0;
    return true;
}

} // namespace

cloud_upload_link &cloud_upload_shared()
{
    static cloud_upload_link link;
    return link;
}

void rpc_reply_cb(const char *text, size_t len)
{
    ko_json_ptr obj(json_tokener_parse(std::string(text, strnlen(text, len)).c_str()));
    if (!obj || !json_object_is_type(obj.get(), json_type_object)) {
        KO_LOGE(CLOUD_MODULE, "json replay parse error #\n");
        return;
    }
    json_object *id = typed(obj.get(), "id", json_type_int);
    if (id && is_login_reply(cloud_upload_shared(), json_object_get_int(id))) {
        take_login(obj.get());
        return;
    }
    json_object *method = typed(obj.get(), "method", json_type_string);
    if (!method || !id) {
        KO_LOGW(CLOUD_MODULE, "cloud message without method or id dropped\n");
        return;
    }
    const uint32_t reply_id = static_cast<uint32_t>(json_object_get_int64(id));
    json_object *params = typed(obj.get(), "params", json_type_object);
    const char *name = json_object_get_string(method);
    if (std::strcmp(name, "cloudSwitch") == 0)
        set_switch(params, reply_id);
    else if (std::strcmp(name, "vexa_camera_delete_files") == 0)
        delete_files(params, reply_id);
    else if (std::strcmp(name, "vexa_camera_put_gop_info") == 0)
        put_gop(params);
    else
        KO_LOGW(CLOUD_MODULE, "cloud method %s not handled\n", name);
}

void msg_rpc_slot(const ko_message_arg *arg)
{
    if (!arg || !arg->param || arg->len == 0 || !cloud_record_ctx().initialised) {
        KO_LOGE(CLOUD_MODULE, "invaid motion trigger handle in cloud\n");
        return;
    }
    rpc_reply_cb(static_cast<const char *>(arg->param), arg->len);
}

int cloud_login_send(void)
{
    const ko_sdk_info *sdk = ko_ipc_get_sdk_info();
    if (!sdk)
        return -1;
    char token[sizeof sdk->token * 2 + 1] = {};
    const size_t token_len = sdk->token_len > 0 && static_cast<size_t>(sdk->token_len) <= sizeof sdk->token
                                 ? static_cast<size_t>(sdk->token_len)
                                 : 0;
    ko_byte2hex_string(token, sizeof token, sdk->token, token_len);
    int32_t id = rand_int() & 0x7fffffff;
    if (id == 0)
        id = 1;
    cloud_upload_link &link = cloud_upload_shared();
    link.late_id = link.pending_id.exchange(id);
    char text[256];
    snprintf(text, sizeof text, "{\"id\":%d,\"method\":\"_sync.camera_login\",\"params\":{\"p2p_checktoken\":\"%s\"}}",
             id, token);
    return send_up(text) < 0 ? -1 : 0;
}
