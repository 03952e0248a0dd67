// The property families and the settings and JSON helpers they share.
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace zel_rpc {

namespace {

json_object *value_of(const JsonPtr &element)
{
    return member(element.get(), "value");
}

JsonPtr element_of(const char *json, int size)
{
    if (!json || size <= 0)
        return nullptr;
    return parse_one(std::string_view(json, strnlen(json, static_cast<size_t>(size))));
}


bool has_step(const char *order, char step)
{
    return std::strchr(order, step) != nullptr;
}

bool is_object_text(const std::string &text)
{
    JsonPtr obj = parse_one(text);
    return obj && json_object_is_type(obj.get(), json_type_object);
}

} // namespace

bool parse_int(const std::string &text, int *out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

JsonPtr array_of(const std::string &text)
{
    JsonPtr a = parse_one(text);
    return a && json_object_is_type(a.get(), json_type_array) ? std::move(a) : nullptr;
}

bool db_read(const char *key, std::string &out, int size)
{
    out.assign(static_cast<size_t>(size), '\0');
    const int ret = zel_api_db_get_value(key, out.data(), size);
    out.resize(ret == 0 ? strnlen(out.c_str(), static_cast<size_t>(size) - 1) : 0);
    return ret == 0;
}

bool db_write(const char *key, const std::string &value, bool persist)
{
    // The value is taken once the store holds it; a save that fails leaves it held for the next save.
    const int ret = zel_api_db_set_value(key, value.c_str(), static_cast<int>(value.size()), 0);
    if (ret != 0) {
        ZEL_LOGE(TAG, " set db value error %s ret=%d\n", key, ret);
        return false;
    }
    if (persist && zel_api_db_sync() != 0)
        ZEL_LOGW(TAG, " %s is held but not saved yet\n", key);
    return true;
}

bool value_bool(const char *json, int size)
{
    JsonPtr e = element_of(json, size);
    json_object *v = value_of(e);
    return v && json_object_is_type(v, json_type_boolean) && json_object_get_boolean(v);
}

int value_int(const char *json, int size)
{
    JsonPtr e = element_of(json, size);
    json_object *v = value_of(e);
    return v && json_object_is_type(v, json_type_int) ? json_object_get_int(v) : 0;
}

std::string value_text(const char *json, int size)
{
    std::string out;
    value_string(json, size, out);
    return out;
}

bool value_string(const char *json, int size, std::string &out)
{
    JsonPtr e = element_of(json, size);
    json_object *v = value_of(e);
    out.clear();
    if (!v || !json_object_is_type(v, json_type_string))
        return false;
    out.assign(json_object_get_string(v), static_cast<size_t>(json_object_get_string_len(v)));
    return true;
}

void reply_value(char *json, int size, int siid, int piid, const std::string &value)
{
    spec_reply_element(json, size, siid, piid, value.c_str());
}

void reply_text(char *json, int size, int siid, int piid, const std::string &text)
{
    zel_rpc_json_to_value_string(json, size, func_did, siid, piid, text.c_str());
}

bool step_write(const char *key, const std::string &stored)
{
    return db_write(key, stored, true);
}

void step_report(int siid, int piid, int kind, const std::string &report, bool notify)
{
    if (notify)
        spec_property_changed(get_notify_id(), siid, piid, kind, report.c_str());
}

bool unchanged(const char *key, const std::string &stored)
{
    std::string old;
    if (!db_read(key, old) || old != stored)
        return false;
    ZEL_LOGI(TAG, "set value equal db value,don`t set db \n");
    return true;
}

bool valid_day_time(const char *text)
{
    int h = -1, m = -1, s = 0, end = 0;
    const size_t len = std::strlen(text);
    if (std::sscanf(text, "%d:%d:%d%n", &h, &m, &s, &end) != 3) {
        end = 0;
        s = 0;
        if (std::sscanf(text, "%d:%d%n", &h, &m, &end) != 2)
            return false;
    }
    return static_cast<size_t>(end) == len && h >= 0 && h <= 23 && m >= 0 && m <= 59 && s >= 0 && s <= 59;
}

// A value of another type, or an empty text, changes nothing and is not refused.
bool day_time_acceptable(const char *json, int size)
{
    std::string text;
    return !value_string(json, size, text) || text.empty() || valid_day_time(text.c_str());
}

bool object_acceptable(const char *json, int size)
{
    std::string text;
    return !value_string(json, size, text) || text.empty() || is_object_text(text);
}

void spec_bool(const BoolRow &row, int siid, int piid, int op, char *json, int size, bool notify)
{
    std::string stored;
    if (op == SPEC_OP_GET) {
        if (!db_read(row.key, stored) && row.absent) {
            db_write(row.key, row.absent, false);
            stored = row.absent;
        }
        reply_value(json, size, siid, piid, stored == "1" ? "true" : "false");
        return;
    }
    bool on = false;
    if (op == SPEC_OP_SET || (op == SPEC_OP_PULLED && row.pulled_as_set)) {
        on = value_bool(json, size);
    } else if (op == SPEC_OP_PULLED) {
        std::string v;
        value_string(json, size, v);
        if (!has_step(row.order, 'W') || (v != "true" && v != "false"))
            return;
        db_write(row.key, v == "true" ? "1" : "0", true);
        return;
    } else {
        return;
    }
    stored = on ? "1" : "0";
    auto device = [&] {
        if (row.device)
            row.device(on ? 1 : 0);
    };
    if (row.compare && unchanged(row.key, stored)) {
        if (row.device_always)
            device();
        return;
    }
    run_steps(row.order, row.key, stored, siid, piid, ZEL_RPC_KIND_BOOL, stored, notify, device);
}

void spec_int(const IntRow &row, int siid, int piid, int op, char *json, int size, bool notify)
{
    std::string stored;
    if (op == SPEC_OP_GET) {
        db_read(row.key, stored);
        reply_value(json, size, siid, piid, std::to_string(std::atoi(stored.c_str())));
        return;
    }
    int value = 0;
    if (op == SPEC_OP_PULLED) {
        std::string v;
        if (!value_string(json, size, v) || !parse_int(v, &value) || (row.valid && !row.valid(value)))
            return;
        db_write(row.key, std::to_string(value), true);
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    value = value_int(json, size);
    if (row.valid && !row.valid(value)) {
        ZEL_LOGE(TAG, " %s: value %d refused \n", row.key, value);
        return;
    }
    stored = std::to_string(value);
    std::string old;
    const bool equal = row.numeric_compare ? db_read(row.key, old) && std::atoi(old.c_str()) == value
                                           : unchanged(row.key, stored);
    if (equal) {
        if (row.numeric_compare)
            ZEL_LOGI(TAG, "set value equal db value,don`t set db \n");
        return;
    }
    run_steps(row.order, row.key, stored, siid, piid, ZEL_RPC_KIND_INT, stored, notify, [&] {
        if (row.device)
            row.device(value);
    });
}

void spec_text(const TextRow &row, int siid, int piid, int op, char *json, int size, bool notify)
{
    std::string text;
    if (op == SPEC_OP_GET) {
        db_read(row.key, text);
        reply_text(json, size, siid, piid, text);
        return;
    }
    if (op != SPEC_OP_SET && op != SPEC_OP_PULLED)
        return;
    if (!value_string(json, size, text) || text.empty() || std::strlen(text.c_str()) != text.size()) {
        ZEL_LOGI(TAG, "set value equal db value,don`t set db \n");
        return;
    }
    if (row.valid && !row.valid(text.c_str())) {
        ZEL_LOGE(TAG, " %s: value %s refused \n", row.key, text.c_str());
        return;
    }
    if (op == SPEC_OP_PULLED) {
        db_write(row.key, text, true);
        return;
    }
    if (unchanged(row.key, text))
        return;
    run_steps(row.order, row.key, text, siid, piid, ZEL_RPC_KIND_STRING, text, notify, [&] {
        if (row.device)
            row.device(text.c_str());
    });
}

void spec_object(const ObjectRow &row, int siid, int piid, int op, char *json, int size, bool notify)
{
    std::string text;
    if (op == SPEC_OP_GET) {
        if (!db_read(row.key, text) && row.absent) {
            db_write(row.key, row.absent, false);
            text = row.absent;
        }
        reply_value(json, size, siid, piid, is_object_text(text) ? text : row.absent ? row.absent : "null");
        return;
    }
    if (op != SPEC_OP_SET && op != SPEC_OP_PULLED)
        return;
    if (!value_string(json, size, text) || text.empty())
        return;
    if (!is_object_text(text))
        ZEL_LOGE(TAG, " %s: value is not a JSON object \n", row.key);
    else if (!db_write(row.key, text, op == SPEC_OP_SET))
        return;
    if (op == SPEC_OP_SET)
        step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(text), notify);
}

void spec_constant(const char *value, int siid, int piid, int op, char *json, int size)
{
    if (op == SPEC_OP_GET)
        reply_value(json, size, siid, piid, value);
}

} // namespace zel_rpc
