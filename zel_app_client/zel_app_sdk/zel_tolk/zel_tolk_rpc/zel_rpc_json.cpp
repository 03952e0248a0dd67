// JSON and text helpers of the engine, and its one send path.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "app_sdk_porting/zel_tolk_rpc_hooks.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"

namespace zel_rpc {

namespace {
struct TokenerFree {
    void operator()(json_tokener *t) const { json_tokener_free(t); }
};
} // namespace

JsonPtr parse_one(std::string_view text)
{
    if (text.size() >= static_cast<size_t>(std::numeric_limits<int>::max()))
        return nullptr;
    std::unique_ptr<json_tokener, TokenerFree> tok(json_tokener_new());
    if (!tok)
        return nullptr;
    // With its NUL the tokener knows that a bare number or literal at the end is complete.
    const std::string copy(text);
    JsonPtr obj(json_tokener_parse_ex(tok.get(), copy.c_str(), static_cast<int>(copy.size() + 1)));
    if (json_tokener_get_error(tok.get()) != json_tokener_success)
        return nullptr;
    for (size_t pos = json_tokener_get_parse_end(tok.get()); pos < text.size(); ++pos)
        if (!std::isspace(static_cast<unsigned char>(text[pos])))
            return nullptr;
    return obj;
}

std::string to_text(json_object *obj, int flags)
{
    return json_object_to_json_string_ext(obj, flags);
}

std::string quoted(std::string_view text)
{
    JsonPtr s(json_object_new_string_len(text.data(), static_cast<int>(text.size())));
    return s ? to_text(s.get()) : "\"\"";
}

json_object *member(json_object *obj, const char *key)
{
    json_object *out = nullptr;
    if (!obj || !json_object_is_type(obj, json_type_object) || !json_object_object_get_ex(obj, key, &out))
        return nullptr;
    return out;
}

bool int_member(json_object *obj, const char *key, int32_t *out)
{
    json_object *value = member(obj, key);
    if (!value || !json_object_is_type(value, json_type_int))
        return false;
    const int64_t v = json_object_get_int64(value);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool format(std::string &out, size_t limit, const char *fmt, ...)
{
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= limit) {
        va_end(again);
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n));
    std::vsnprintf(out.data(), static_cast<size_t>(n) + 1, fmt, again);
    va_end(again);
    return true;
}

int send_text(const std::string &text)
{
    if (text.empty()) {
        ZEL_LOGE(TAG, "nothing to send\n");
        return -1;
    }
    return _zel_rpc_send(text.c_str(), static_cast<int>(text.size()));
}

} // namespace zel_rpc
