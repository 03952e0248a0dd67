// The worker's side: get, set, action, pulled values and methods, each served from the tables with
// the replies the daemon expects.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"
#include "zel_control/log/zel_log.h"

namespace zel_rpc {

namespace {

constexpr int kUnlisted = -4003;
constexpr int kRefused = -4005;

// The elements of a request's array, checked before json-c's typed calls see them (those abort on
// a value of the wrong type). Null, logged, when the array or one element is malformed.
json_object *checked_elements(json_object *array, const Msg &msg)
{
    if (!array || !json_object_is_type(array, json_type_array)) {
        ZEL_LOGE(TAG, "params of request %d is not an array\n", msg.id);
        return nullptr;
    }
    const size_t n = json_object_array_length(array);
    for (size_t i = 0; i < n; ++i) {
        if (!json_object_is_type(json_object_array_get_idx(array, i), json_type_object)) {
            ZEL_LOGE(TAG, "element %zu of request %d is not an object\n", i, msg.id);
            return nullptr;
        }
    }
    return array;
}

// One request element: its outward ids, the internal pair they map to and the row serving that.
struct Element {
    int32_t o_siid, o_piid;
    int siid, piid;
    const spec_property_row_t *row;
};

// An element without integer ids matches no row (-1 never names a service).
Element element_of(json_object *element)
{
    Element e{};
    if (!int_member(element, "siid", &e.o_siid) || !int_member(element, "piid", &e.o_piid))
        e.o_siid = e.o_piid = -1;
    vexa_spec_map(e.o_siid, e.o_piid, &e.siid, &e.piid);
    e.row = spec_property_row(e.siid, e.piid);
    return e;
}

json_object *status_element(int siid, int piid, int code)
{
    json_object *e = json_object_new_object();
    json_object_object_add(e, "did", json_object_new_string(device_id().c_str()));
    json_object_object_add(e, "siid", json_object_new_int(siid));
    json_object_object_add(e, "piid", json_object_new_int(piid));
    json_object_object_add(e, "code", json_object_new_int(code));
    return e;
}

JsonPtr reply_of(int id, json_object **result)
{
    JsonPtr reply(json_object_new_object());
    *result = json_object_new_array();
    json_object_object_add(reply.get(), "id", json_object_new_int(id));
    json_object_object_add(reply.get(), "result", *result);
    return reply;
}

void send_reply(json_object *reply, const char *log_format)
{
    const char *text = json_object_to_json_string_ext(reply, JSON_C_TO_STRING_NOZERO);
    if (!text) {
        ZEL_LOGE(TAG, "reply cannot be serialised\n");
        return;
    }
    ZEL_LOGD(TAG, log_format, text);
    send_text(text);
}

void handle_get(const Msg &msg, json_object *request)
{
    json_object *params = member(request, "params");
    if (!params)
        return;
    json_object *elements = checked_elements(params, msg);
    if (!elements)
        return;
    json_object *result = nullptr;
    JsonPtr reply = reply_of(msg.id, &result);
    // Served on the one worker: its element buffer is kept.
    thread_local std::array<char, kTextMax> element;
    for (size_t i = 0; i < json_object_array_length(elements); ++i) {
        const Element e = element_of(json_object_array_get_idx(elements, i));
        if (!e.row) {
            json_object_array_add(result, status_element(e.o_siid, e.o_piid, kUnlisted));
            continue;
        }
        std::memset(element.data(), 0, element.size());
        e.row->handler(msg.id, e.o_siid, e.o_piid, SPEC_OP_GET, element.data(), kTextMax, false);
        element[kTextMax - 1] = '\0';
        // A handler that writes nothing leaves a JSON null at its place.
        json_object_array_add(result, parse_one(element.data()).release());
    }
    send_reply(reply.get(), " ackbuf:%s \n");
}

void handle_set(const Msg &msg, json_object *request)
{
    json_object *elements = checked_elements(member(request, "params"), msg);
    if (!elements)
        return;
    struct Pending {
        const spec_property_row_t *row;
        int siid, piid;
        std::string text;
    };
    std::vector<Pending> pending;
    json_object *result = nullptr;
    JsonPtr reply = reply_of(msg.id, &result);
    // The checks are quick; what a handler does with a value it takes may be slow, so it comes
    // after the reply.
    for (size_t i = 0; i < json_object_array_length(elements); ++i) {
        json_object *element = json_object_array_get_idx(elements, i);
        const Element e = element_of(element);
        std::string text = to_text(element);
        int code = kUnlisted;
        if (e.row && !spec_value_acceptable(e.row, text.c_str(), static_cast<int>(text.size()))) {
            ZEL_LOGE(TAG, "set of %d.%d refused: %s\n", e.o_siid, e.o_piid, text.c_str());
            code = kRefused;
        } else if (e.row) {
            code = 0;
            pending.push_back({e.row, e.siid, e.piid, std::move(text)});
        }
        json_object_array_add(result, status_element(e.o_siid, e.o_piid, code));
    }
    send_reply(reply.get(), "ackbuf:%s \n");
    for (Pending &p : pending)
        p.row->handler(msg.id, p.siid, p.piid, SPEC_OP_SET, p.text.data(), static_cast<int>(p.text.size()),
                       p.row->notify != 0);
}

void handle_action(const Msg &msg)
{
    ZEL_LOGI(TAG, " zel_rpc_handle_spec_action:buf siid =  %d ,aiid =  %d \n", msg.siid, msg.piid);
    int siid, aiid;
    vexa_spec_action_map(msg.siid, msg.piid, &siid, &aiid);
    const zel_rpc_tables_t *t = zel_rpc_tables();
    for (size_t i = 0; i < t->action_count; ++i) {
        const spec_action_row_t &row = t->actions[i];
        if (row.siid != siid || row.aiid != aiid)
            continue;
        std::string out(kTextMax, '\0');
        if (row.handler)
            row.handler(out.data(), kTextMax);
        out.resize(strnlen(out.c_str(), kTextMax - 1));
        std::string ack;
        if (!format(ack, kTextMax + 64, "{\"id\" : %d,\"result\":{\"code\":%d,\"out\":[%s]}}", msg.id, 0, out.c_str()))
            return;
        ZEL_LOGD(TAG, " action ack:%s \n", ack.c_str());
        send_text(ack);
        return;
    }
    ZEL_LOGW(TAG, "no action %d.%d\n", siid, aiid);
}

void handle_pulled(const Msg &msg, json_object *answer)
{
    // The daemon's answer carries its elements under "result"."properties", or as a top-level
    // "params" array.
    json_object *list = member(answer, "params");
    if (!list)
        list = member(member(answer, "result"), "properties");
    json_object *elements = checked_elements(list, msg);
    if (!elements)
        return;
    for (size_t i = 0; i < json_object_array_length(elements); ++i) {
        json_object *element = json_object_array_get_idx(elements, i);
        const Element e = element_of(element);
        if (!e.row)
            continue;
        std::string text = to_text(element);
        e.row->handler(msg.id, e.siid, e.piid, SPEC_OP_PULLED, text.data(), static_cast<int>(text.size()), false);
    }
}

void handle_method(const Msg &msg, json_object *request)
{
    json_object *m = member(request, "method");
    if (!m || !json_object_is_type(m, json_type_string))
        return;
    const std::string name(json_object_get_string(m), strnlen(json_object_get_string(m), 31));
    const zel_rpc_tables_t *t = zel_rpc_tables();
    for (size_t i = 0; i < t->method_count; ++i) {
        if (name == t->methods[i].method) {
            t->methods[i].handler(msg.id, msg.text, msg.length);
            return;
        }
    }
    ZEL_LOGW(TAG, "no method %s\n", name.c_str());
}

} // namespace

void dispatch(const Msg &msg)
{
    const size_t length = msg.length > 0 ? std::min<size_t>(static_cast<size_t>(msg.length), kTextMax - 1) : 0;
    JsonPtr request = parse_one(std::string_view(msg.text, length));
    if (!request) {
        ZEL_LOGE(TAG, "queued request %d does not parse\n", msg.id);
        return;
    }
    switch (msg.type) {
    case kGet:
        handle_get(msg, request.get());
        break;
    case kSet:
        handle_set(msg, request.get());
        break;
    case kAction:
        handle_action(msg);
        break;
    case kPulled:
        handle_pulled(msg, request.get());
        break;
    case kMethod:
        handle_method(msg, request.get());
        break;
    default:
        break;
    }
}

} // namespace zel_rpc
