// The log upload's methods ("set_dlog_switch", "get_dlog_switch", "async_device_feedback_log",
// "set_dlog_accept") and the reply to its URL request.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/logfiles/ko_logfiles_internal.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_base64.h"

namespace ko_logfiles {

namespace {

constexpr size_t kExpiresDigits = 10;

json_object *member(json_object *obj, const char *key)
{
    json_object *value = nullptr;
    return obj && json_object_object_get_ex(obj, key, &value) ? value : nullptr;
}

bool uint_member(json_object *obj, const char *key, uint64_t *out)
{
    json_object *v = member(obj, key);
    if (!v || !json_object_is_type(v, json_type_int) || json_object_get_int64(v) < 0)
        return false;
    *out = static_cast<uint64_t>(json_object_get_int64(v));
    return true;
}

const char *text_member(json_object *obj, const char *key)
{
    json_object *v = member(obj, key);
    return v && json_object_is_type(v, json_type_string) ? json_object_get_string(v) : nullptr;
}

void reply_ok(int id)
{
    const std::string text = "{\"id\":" + std::to_string(id) + ",\"result\":[\"OK\"]}";
    ko_log_upload_rpc_send(text.c_str(), static_cast<int>(text.size()));
}

void reply_error(int id, const char *message)
{
    KO_LOGE(kModule, "%s\n", message);
    const std::string text =
        "{\"id\":" + std::to_string(id) + ",\"error\":{\"code\":-33020,\"message\":\"" + message + "\"}}";
    ko_log_upload_rpc_send(text.c_str(), static_cast<int>(text.size()));
}

// Stores `cfg` in the state and in slot 128; `s.lock` held.
bool store_locked(State &s, const log_upload_cfg_t &cfg)
{
    uint8_t bytes[KO_LOG_UPLOAD_CFG_SIZE];
    log_upload_cfg_encode(&cfg, bytes);
    s.cfg = cfg;
    return ko_log_upload_cfg_write(bytes) == 0;
}

void set_switch(int id, json_object *params)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    log_upload_cfg_t cfg = s.cfg;
    json_object *open = member(params, "switchOpen");
    uint64_t accept = cfg.accept;
    if (!uint_member(params, "startTime", &cfg.startTime) || !uint_member(params, "endTime", &cfg.endTime) || !open ||
        !json_object_is_type(open, json_type_boolean) ||
        (member(params, "accept") && (!uint_member(params, "accept", &accept) || accept > UINT32_MAX)))
        return reply_error(id, "set_dlog_switch fail");
    cfg.switchOpen = json_object_get_boolean(open) ? 1 : 0;
    cfg.accept = static_cast<uint32_t>(accept);
    if (!store_locked(s, cfg))
        return reply_error(id, "set_dlog_switch fail");
    reply_ok(id);
}

void set_accept(int id, json_object *params)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    log_upload_cfg_t cfg = s.cfg;
    uint64_t accept = 0;
    if (!uint_member(params, "accept", &accept) || accept > UINT32_MAX)
        return reply_error(id, "set_dlog_switch fail");
    cfg.accept = static_cast<uint32_t>(accept);
    if (!store_locked(s, cfg))
        return reply_error(id, "set_dlog_switch fail");
    reply_ok(id);
}

void get_switch(int id)
{
    log_upload_cfg_t cfg;
    {
        State &s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        cfg = s.cfg;
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "{\"id\":%d,\"result\":{\"endTime\":%llu,\"startTime\":%llu,\"switchOpen\":%s,\"accept\":%u}}", id,
                  static_cast<unsigned long long>(cfg.endTime), static_cast<unsigned long long>(cfg.startTime),
                  cfg.switchOpen ? "true" : "false", static_cast<unsigned>(cfg.accept));
    ko_log_upload_rpc_send(text, static_cast<int>(std::strlen(text)));
}

void feedback(int id, json_object *params)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    const uint64_t now = now_s();
    if (s.cfg.switchOpen && now >= s.cfg.startTime && now <= s.cfg.endTime)
        return reply_error(id, "logup err:log upload already working!");
    Target target;
    if (!parse_target(text_member(params, "encryptKey"), text_member(params, "iv"), text_member(params, "url"),
                      &target))
        return reply_error(id, "async_device_feedback_log fail");
    s.pushed_target = target;
    s.pushed = true;
    reply_ok(id);
}

} // namespace

bool parse_target(const char *key, const char *iv, const char *url, Target *out)
{
    if (!key || !iv || !url) {
        KO_LOGE(kModule, "logup err:target incomplete\n");
        return false;
    }
    // Anything but exactly 16 bytes would be cut or padded into another key.
    uint8_t buf[64];
    for (auto [text, dst] : {std::pair{key, out->key.data()}, std::pair{iv, out->iv.data()}}) {
        const unsigned n = vexa_base64_decode_url(text, static_cast<unsigned>(std::strlen(text)), buf, sizeof buf);
        if (n != 16) {
            KO_LOGE(kModule, "logup err:key or iv is not 16 bytes\n");
            return false;
        }
        std::memcpy(dst, buf, 16);
    }
    const size_t url_len = std::strlen(url);
    if (url_len == 0 || url_len > kUrlMax) {
        KO_LOGE(kModule, "logup err:url length %zu\n", url_len);
        return false;
    }
    const char *expires = std::strstr(url, "Expires=");
    size_t digits = 0;
    while (expires && std::isdigit(static_cast<unsigned char>(expires[8 + digits])))
        ++digits;
    if (!expires || digits == 0 || digits > kExpiresDigits) {
        KO_LOGE(kModule, "logup err:find Expires err\n");
        return false;
    }
    out->url = url;
    out->expires = std::strtoull(expires + 8, nullptr, 10);
    return true;
}

void on_method(const char *text, size_t len)
{
    const ko_json_ptr root(json_tokener_parse(std::string(text, len).c_str()));
    json_object *id_value = member(root.get(), "id");
    const char *method = text_member(root.get(), "method");
    if (!id_value || !json_object_is_type(id_value, json_type_int) || !method) {
        KO_LOGE(kModule, "logup err:request without id or method\n");
        return;
    }
    const int id = json_object_get_int(id_value);
    json_object *params = member(root.get(), "params");
    if (std::strcmp(method, "set_dlog_switch") == 0)
        set_switch(id, params);
    else if (std::strcmp(method, "get_dlog_switch") == 0)
        get_switch(id);
    else if (std::strcmp(method, "async_device_feedback_log") == 0)
        feedback(id, params);
    else if (std::strcmp(method, "set_dlog_accept") == 0)
        set_accept(id, params);
}

void on_ack(const char *text, size_t len)
{
    const ko_json_ptr root(json_tokener_parse(std::string(text, len).c_str()));
    if (member(root.get(), "method"))
        return on_method(text, len);
    json_object *id_value = member(root.get(), "id");
    if (!id_value || !json_object_is_type(id_value, json_type_int))
        return;
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.pending_id == 0 || json_object_get_int(id_value) != s.pending_id)
        return;
    json_object *result = member(root.get(), "result");
    Target target;
    if (!parse_target(text_member(result, "encryptKey"), text_member(result, "iv"), text_member(result, "url"),
                      &target))
        return;
    s.reply_target = target;
    s.reply_ok = true;
    s.changed.notify_all();
}

} // namespace ko_logfiles
