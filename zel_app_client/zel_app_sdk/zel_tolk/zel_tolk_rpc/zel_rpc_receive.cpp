// zel_rpc_receive_handle: cuts a daemon text into its JSON objects, classifies each one and queues it
// as a record for the worker. Runs on the RPC link's bus thread.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zel_app_agent_client/json_verify.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"

namespace zel_rpc {

namespace {

struct TokenerFree {
    void operator()(json_tokener *t) const { json_tokener_free(t); }
};

bool method_is(json_object *obj, const char *name)
{
    json_object *m = member(obj, "method");
    return m && json_object_is_type(m, json_type_string) && std::strcmp(json_object_get_string(m), name) == 0;
}

// An action id of "params" in decimal, whether the daemon sent it as a number or as text.
bool action_id(json_object *params, const char *key, int32_t *out)
{
    json_object *value = member(params, key);
    if (!value || !(json_object_is_type(value, json_type_int) || json_object_is_type(value, json_type_string)))
        return false;
    *out = static_cast<int32_t>(std::strtol(json_object_get_string(value), nullptr, 10));
    return true;
}

// Fills type, siid and piid; false for an action without its ids.
bool classify(json_object *obj, Msg &msg)
{
    const int32_t pull_id = last_pull_id();
    if (pull_id > 0 && msg.id == pull_id && member(member(obj, "result"), "properties")) {
        msg.type = kPulled;
    } else if (method_is(obj, "get_properties")) {
        msg.type = kGet;
    } else if (method_is(obj, "set_properties")) {
        msg.type = kSet;
    } else if (method_is(obj, "action")) {
        json_object *params = member(obj, "params");
        msg.type = kGet; // an action without params stays a get, which finds no params to answer
        if (params) {
            msg.type = kAction;
            if (!action_id(params, "siid", &msg.siid) || !action_id(params, "aiid", &msg.piid)) {
                ZEL_LOGE(TAG, "action without siid or aiid: %s\n", msg.text);
                return false;
            }
        }
    } else {
        msg.type = kMethod;
    }
    return true;
}

} // namespace

} // namespace zel_rpc

using namespace zel_rpc;

int zel_rpc_receive_handle(const char *msg, int length)
{
    if (!msg) {
        ZEL_LOGE(TAG, " msg is null \n");
        return -1;
    }
    if (length <= 0) {
        ZEL_LOGE(TAG, " msg length %d \n", length);
        return -1;
    }
    // The link's text need not end with a NUL: only `length` bytes are ours.
    const std::string text(msg, static_cast<size_t>(length));
    ZEL_LOGD(TAG, "recv msg:%s, length: %d \n", text.c_str(), length);
    if (json_verify(text.c_str()) != 0) {
        ZEL_LOGE(TAG, " json_verify msg fail \n");
        return -1;
    }
    std::unique_ptr<json_tokener, TokenerFree> tok(json_tokener_new());
    if (!tok)
        return -1;
    // One record per calling thread, kept: the link's bus workers call here for every request.
    thread_local Msg record_buffer;
    Msg *record = &record_buffer;
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])))
            ++pos;
        if (pos >= text.size())
            break;
        std::memset(record, 0, sizeof *record);
        json_tokener_reset(tok.get());
        const int rest = static_cast<int>(text.size() - pos);
        JsonPtr obj(json_tokener_parse_ex(tok.get(), text.c_str() + pos, rest + 1));
        if (!obj || !json_object_is_type(obj.get(), json_type_object)) {
            ZEL_LOGE(TAG, "token parse error msg: %s, length: %d bytes\n", text.c_str() + pos, rest);
            return static_cast<int>(pos);
        }
        const size_t used = json_tokener_get_parse_end(tok.get());
        if (used > sizeof record->text - 1) {
            ZEL_LOGE(TAG, " meg length is too long, length: %d bytes\n", static_cast<int>(used));
            return -1;
        }
        std::memcpy(record->text, text.data() + pos, used);
        record->length = static_cast<int32_t>(used);
        int32_t id = 0;
        if (member(obj.get(), "id") && !int_member(obj.get(), "id", &id)) {
            ZEL_LOGE(TAG, "id is not an integer: %s\n", record->text);
            return -1;
        }
        if (id < 0) {
            ZEL_LOGE(TAG, "negative id %d\n", id);
            return -1;
        }
        record->id = id;
        if (!classify(obj.get(), *record) || !queue_put(*record))
            return -1;
        pos += used;
    }
    return 0;
}
