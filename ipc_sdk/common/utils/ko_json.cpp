// JSON helpers: the object splitter for byte streams, flat-text member lookups (the text is searched,
// not parsed) and json-c based checks.
#include "common/utils/ko_json.h"

#include <cstdio>
#include <cstring>

#include "common/utils/ko_json_scanner.h"
#include "common/utils/ko_log.h"

namespace {

constexpr size_t kKeyMax = 59;

// Finds `"key":` (plus `"` for a string) in text; the value's first character, or nullptr.
const char *find_member(const char *text, const char *key, bool string, const char *who)
{
    const size_t key_len = std::strlen(key);
    if (key_len > kKeyMax) {
        KO_LOGE("KO JSON", "%s key(%s) len is too long(%zd), max len(59)!\n", who, key, static_cast<ssize_t>(key_len));
        return nullptr;
    }
    char pattern[kKeyMax + 8];
    std::snprintf(pattern, sizeof(pattern), string ? "\"%s\":\"" : "\"%s\":", key);
    const char *hit = std::strstr(text, pattern);
    return hit ? hit + std::strlen(pattern) : nullptr;
}

int copy_value(const char *begin, const char *end, char *out, int out_len, const char *who)
{
    const long len = end - begin;
    if (len > out_len) {
        KO_LOGE("KO JSON", "%s value len is too long(%d), max len(%d)!\n", who, static_cast<int>(len), out_len);
        return -1;
    }
    std::memcpy(out, begin, static_cast<size_t>(len));
    return 0;
}

json_object *parse(const char *text)
{
    return text ? json_tokener_parse(text) : nullptr;
}

} // namespace

int ko_json_split(const char *buf, int len, int *start, int *end)
{
    if (!buf || !start || !end)
        return -1;
    int i = 0;
    while (i < len && buf[i] && buf[i] != '{')
        ++i;
    if (i >= len || buf[i] != '{') {
        *start = len;
        *end = len;
        return -1;
    }
    *start = i;
    ko_json::ObjectScanner scanner;
    scanner.open();
    for (++i; i < len; ++i) {
        if (scanner.feed(buf[i])) {
            *end = i + 1;
            return 0;
        }
    }
    *end = len;
    return -1;
}

int vexa_json_get_string(const char *text, const char *key, char *out, int out_len)
{
    if (!text || !key || !out)
        return -1;
    const char *value = find_member(text, key, true, "vexa_json_get_string");
    if (!value)
        return -1;
    const char *close = std::strchr(value, '"');
    if (!close)
        return -1;
    return copy_value(value, close, out, out_len, "vexa_json_get_string");
}

int vexa_json_get_long(const char *text, const char *key, char *out, int out_len)
{
    if (!text || !key || !out)
        return -1;
    const char *value = find_member(text, key, false, "vexa_json_get_long");
    if (!value)
        return -1;
    const char *comma = std::strchr(value, ',');
    const char *brace = std::strchr(value, '}');
    const char *stop = comma && (!brace || comma < brace) ? comma : brace;
    if (!stop)
        return -1;
    return copy_value(value, stop, out, out_len, "vexa_json_get_long");
}

int vexa_json_get_bool(const char *text, const char *key, uint8_t *out)
{
    if (!out)
        return -1;
    char raw[8] = {0};
    const int rc = vexa_json_get_long(text, key, raw, sizeof(raw) - 1);
    *out = rc == 0 && std::strcmp(raw, "true") == 0 ? 1 : 0;
    return rc;
}

int ko_json_verify(const char *text)
{
    json_object *obj = parse(text);
    if (!obj) {
        KO_LOGI("KO JSON", "%s: Not in json format: %s\n", __func__, text ? text : "(null)");
        return -1;
    }
    json_object_put(obj);
    return 0;
}

int ko_json_verify_key(const char *text, const char *key)
{
    if (!key)
        return -1;
    json_object *obj = parse(text);
    if (!obj)
        return -1;
    const int rc = json_object_object_get_ex(obj, key, nullptr) ? 0 : -1;
    json_object_put(obj);
    return rc;
}

int ko_json_verify_get_int(const char *text, const char *key, int *out)
{
    if (!key || !out)
        return -1;
    json_object *obj = parse(text);
    if (!obj)
        return -1;
    json_object *member = nullptr;
    int rc = -1;
    if (json_object_object_get_ex(obj, key, &member) && json_object_is_type(member, json_type_int)) {
        *out = json_object_get_int(member);
        rc = 0;
    }
    json_object_put(obj);
    return rc;
}

int ko_json_verify_method_value(const char *text, const char *key, const char *value)
{
    if (!key || !value)
        return -1;
    json_object *obj = parse(text);
    if (!obj)
        return -1;
    json_object *member = nullptr;
    int rc = -1;
    if (json_object_object_get_ex(obj, key, &member) && json_object_is_type(member, json_type_string)) {
        const size_t len = static_cast<size_t>(json_object_get_string_len(member));
        if (len == std::strlen(value) && std::memcmp(json_object_get_string(member), value, len) == 0)
            rc = 0;
    }
    json_object_put(obj);
    return rc;
}

json_object *json_object_object_clone(json_object *obj)
{
    if (!obj || !json_object_is_type(obj, json_type_object))
        return nullptr;
    json_object *copy = json_object_new_object();
    if (!copy)
        return nullptr;
    json_object_object_foreach(obj, key, value)
    {
        if (json_object_object_add(copy, key, json_object_get(value)) != 0) {
            json_object_put(value);
            json_object_put(copy);
            return nullptr;
        }
    }
    return copy;
}
