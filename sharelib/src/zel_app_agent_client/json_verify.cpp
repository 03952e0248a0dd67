// The json_verify_* readers: each parses the whole text with json-c and checks or copies one
// top-level member.
#include "zel_app_agent_client/json_verify.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "zel_control/log/zel_log.h"
#include "zelmar/zel_secret.h"

namespace {

constexpr const char *TAG = "AGENT_CLIENT";

struct JsonPut {
    void operator()(json_object *obj) const { json_object_put(obj); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// The parsed text; null when it does not parse (logged unless `quiet`) and for the text "null".
// `ok`, when given, tells whether it parsed.
JsonPtr parse(const char *text, bool *ok = nullptr, bool quiet = false)
{
    enum json_tokener_error err = json_tokener_error_parse_eof;
    JsonPtr obj(text ? json_tokener_parse_verbose(text, &err) : nullptr);
    if (ok)
        *ok = err == json_tokener_success;
    if (err != json_tokener_success && text && !quiet)
        ZEL_LOGE(TAG, " Not in json format: %s", text);
    return err == json_tokener_success ? std::move(obj) : nullptr;
}

json_object *member(const JsonPtr &obj, const char *key)
{
    json_object *m = nullptr;
    if (!obj || !key || !json_object_is_type(obj.get(), json_type_object))
        return nullptr;
    return json_object_object_get_ex(obj.get(), key, &m) ? m : nullptr;
}

// Copies at most size - 1 bytes of `src`; `terminate` adds the NUL within them.
void copy_out(const char *src, size_t src_len, char *buf, int size, bool terminate)
{
    const size_t n = std::min(src_len, static_cast<size_t>(size - 1));
    std::memcpy(buf, src, n);
    if (terminate)
        buf[n] = '\0';
}

} // namespace

int json_verify(const char *text)
{
    bool ok = false;
    parse(text, &ok);
    return ok ? 0 : -1;
}

int json_verify_method(const char *text, const char *key)
{
    return member(parse(text), key) ? 0 : -1;
}

int json_verify_method_value(const char *text, const char *key, const void *expected, int type)
{
    if (!expected)
        return -1;
    JsonPtr obj = parse(text);
    json_object *m = member(obj, key);
    if (!m)
        return -1;
    if (type == JSON_VERIFY_TYPE_INT)
        return json_object_is_type(m, json_type_int) && json_object_get_int64(m) == *static_cast<const int *>(expected)
                   ? 0
                   : -1;
    if (type == JSON_VERIFY_TYPE_STRING) {
        const char *want = static_cast<const char *>(expected);
        const size_t want_len = std::strlen(want);
        return json_object_is_type(m, json_type_string) &&
                       static_cast<size_t>(json_object_get_string_len(m)) == want_len &&
                       std::memcmp(json_object_get_string(m), want, want_len) == 0
                   ? 0
                   : -1;
    }
    return -1;
}

int json_verify_get_int(const char *text, const char *key, int *out)
{
    JsonPtr obj = parse(text);
    json_object *m = member(obj, key);
    if (!out || !m || !json_object_is_type(m, json_type_int))
        return -1;
    *out = json_object_get_int(m);
    return 0;
}

int json_verify_get_string(const char *text, const char *key, char *buf, int len)
{
    JsonPtr obj = parse(text);
    json_object *m = member(obj, key);
    if (!buf || len <= 0 || !m || !json_object_is_type(m, json_type_string))
        return -1;
    copy_out(json_object_get_string(m), static_cast<size_t>(json_object_get_string_len(m)), buf, len, false);
    return 0;
}

int json_verify_get_object_string(const char *text, const char *key, char *buf, int len)
{
    JsonPtr obj = parse(text);
    json_object *m = member(obj, key);
    if (!buf || len <= 0 || !m || !json_object_is_type(m, json_type_object))
        return -1;
    const char *s = json_object_to_json_string(m);
    if (!s)
        return -1;
    copy_out(s, std::strlen(s), buf, len, true);
    return 0;
}

int json_verify_get_array(const char *text, const char *key, char *buf, int size)
{
    JsonPtr obj = parse(text);
    json_object *m = member(obj, key);
    if (!buf || size <= 0 || !m || !json_object_is_type(m, json_type_array))
        return -1;
    size_t used = 0;
    const size_t room = static_cast<size_t>(size - 1);
    const size_t count = json_object_array_length(m);
    for (size_t i = 0; i < count && used < room; ++i) {
        const char *s = json_object_get_string(json_object_array_get_idx(m, i));
        if (!s)
            continue;
        const size_t n = std::min(std::strlen(s), room - used);
        std::memcpy(buf + used, s, n);
        used += n;
    }
    buf[used] = '\0';
    return 0;
}

int json_verify_get_boolean(const char *text, const char *key, int *out)
{
    bool ok = false;
    JsonPtr obj = parse(text, &ok, true);
    if (!ok) {
        ZEL_LOGE(TAG, "%s: Not in json format: %s", __func__, text ? text : "(null)");
        return -1;
    }
    json_object *m = member(obj, key);
    if (!out || !m || !json_object_is_type(m, json_type_boolean))
        return -1;
    *out = json_object_get_boolean(m) ? 1 : 0;
    return 0;
}

namespace {

void mask_secrets(json_object *obj)
{
    if (json_object_is_type(obj, json_type_array)) {
        for (size_t i = 0, n = json_object_array_length(obj); i < n; ++i)
            mask_secrets(json_object_array_get_idx(obj, i));
        return;
    }
    if (!json_object_is_type(obj, json_type_object))
        return;
    json_object_object_foreach(obj, name, value)
    {
        if (zel_is_secret_name(name))
            json_object_object_add(obj, name, json_object_new_string("******"));
        else
            mask_secrets(value);
    }
}

} // namespace

const char *json_loggable_text(const char *text, char *buf, int len)
{
    if (!buf || len < 1)
        return buf;
    // Most messages name no secret anywhere: they are logged as they are, without a parse.
    if (text && !zel_is_secret_name(text)) {
        snprintf(buf, static_cast<size_t>(len), "%s", text);
        return buf;
    }
    bool ok = false;
    JsonPtr obj = parse(text, &ok, true);
    if (!ok) {
        snprintf(buf, static_cast<size_t>(len), "(%zu bytes, not JSON)", text ? std::strlen(text) : 0);
        return buf;
    }
    mask_secrets(obj.get());
    snprintf(buf, static_cast<size_t>(len), "%s", json_object_to_json_string_ext(obj.get(), JSON_C_TO_STRING_PLAIN));
    return buf;
}
