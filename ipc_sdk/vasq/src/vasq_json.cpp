// JSON readers of the streaming SDK, on json-c.
#include "vasq_json.h"

#include <json-c/json.h>
#include <string.h>

#include <memory>
#include <string>

#include "common/utils/ko_log.h"

namespace {

struct Put {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, Put>;

Json parse(const char *text, int length, const char *who)
{
    if (!text || length <= 0)
        return nullptr;
    json_tokener *tok = json_tokener_new();
    if (!tok)
        return nullptr;
    json_object *o = json_tokener_parse_ex(tok, text, length);
    const bool whole = json_tokener_get_error(tok) == json_tokener_success;
    json_tokener_free(tok);
    if (!o || !whole) {
        json_object_put(o);
        KO_LOGW("VASQ", "%s: Not in json format: %.*s\n", who, length > 256 ? 256 : length, text);
        return nullptr;
    }
    return Json(o);
}

json_object *member(json_object *o, const char *name, json_type type)
{
    json_object *v = nullptr;
    return o && json_object_object_get_ex(o, name, &v) && json_object_is_type(v, type) ? v : nullptr;
}

json_object *holder(json_object *root)
{
    for (const char *name : {"result", "params", "vendor"})
        if (json_object *o = member(root, name, json_type_object))
            return o;
    return nullptr;
}

int copy(json_object *s, char *out, size_t size)
{
    if (!s || !out)
        return -1;
    const size_t n = static_cast<size_t>(json_object_get_string_len(s));
    if (n >= size)
        return -1;
    memcpy(out, json_object_get_string(s), n + 1);
    return 0;
}

int holder_int(const char *text, int length, const char *name, int absent, const char *who)
{
    Json root = parse(text, length, who);
    json_object *v = member(holder(root.get()), name, json_type_int);
    return v ? json_object_get_int(v) : absent;
}

} // namespace

int vasq_json_get_vendor(const char *text, int length)
{
    return holder_int(text, length, "vendor", -1, __func__);
}

int vasq_json_get_force(const char *text, int length)
{
    return holder_int(text, length, "force", 0, __func__);
}

int vasq_json_get_p2pkey(const char *text, int length, char *out, size_t size)
{
    Json root = parse(text, length, __func__);
    return copy(member(holder(root.get()), "p2p_key", json_type_string), out, size);
}

int vasq_json_get_vendor_params(const char *text, int length, const char *name, char *out, size_t size)
{
    Json root = parse(text, length, __func__);
    json_object *params = member(holder(root.get()), "vendor_params", json_type_object);
    return copy(member(params, name, json_type_string), out, size);
}

int vasq_json_get_string(const char *text, int length, const char *name, char *out, size_t size)
{
    Json root = parse(text, length, __func__);
    return copy(member(root.get(), name, json_type_string), out, size);
}

int vasq_json_get_int(const char *text, int length, const char *name, int *out)
{
    Json root = parse(text, length, __func__);
    json_object *v = member(root.get(), name, json_type_int);
    if (!v || !out)
        return -1;
    *out = json_object_get_int(v);
    return 0;
}
