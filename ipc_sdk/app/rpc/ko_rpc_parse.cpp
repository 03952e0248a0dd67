// The link's parser: routes each object that comes down from the daemon (a reply to the module
// that asked, a request to the modules that registered its method, the rest to the application),
// and gives each request that goes up an id of the link's own.
#include <json-c/json.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/rpc/ko_rpc_internal.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_rpc {

namespace {

using JsonPtr = ko_json_ptr;
struct TokenerFree {
    void operator()(json_tokener *t) const { json_tokener_free(t); }
};

const char *string_member(json_object *obj, const char *key)
{
    json_object *value = nullptr;
    if (!json_object_object_get_ex(obj, key, &value) || !json_object_is_type(value, json_type_string))
        return nullptr;
    return json_object_get_string(value);
}

bool int_member(json_object *obj, const char *key, int32_t *out)
{
    json_object *value = nullptr;
    if (!json_object_object_get_ex(obj, key, &value) || !json_object_is_type(value, json_type_int))
        return false;
    *out = json_object_get_int(value);
    return true;
}

// Replaces "id" (the member moves to the end of the object) and gives the object's new text, with
// "/" left as it is so that the text grows no more than the id does.
std::string with_id(json_object *obj, int32_t id)
{
    json_object_object_del(obj, "id");
    json_object_object_add(obj, "id", json_object_new_int(id));
    return json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

bool is_internal_method(const char *method)
{
    return std::strncmp(method, "_internal.", 10) == 0 || std::strncmp(method, "local.", 6) == 0;
}

int push(uint32_t to_uid, const char *key, const std::string &text)
{
    return ko_message_send(KO_UID_RPC, to_uid, key, text.c_str(), static_cast<uint32_t>(text.size()),
                           KO_MSG_MODE_ASYNC);
}

void handle_down(Module &m, json_object *obj, const std::string &text)
{
    m.counters.add(Counters::rpc_down);
    const char *method = string_member(obj, "method");
    const bool has_id = json_object_object_get_ex(obj, "id", nullptr);
    if (!method || (std::strstr(method, "local.") && has_id)) {
        m.counters.add(Counters::down_ack);
        int32_t id;
        if (!int_member(obj, "id", &id)) {
            KO_LOGW(kModule, "reply without id dropped: %s\n", text.c_str());
            return;
        }
        IdNode node;
        if (!m.ids.take(id, &node)) {
            KO_LOGW(kModule, "id %d not found in : %s\n", id, text.c_str());
            return;
        }
        const std::string restored = with_id(obj, node.old_id);
        KO_LOGD(kModule, "reply id %d -> %d\n", id, node.old_id);
        if (node.inner) {
            if (push(static_cast<uint32_t>(std::atoi(node.user_name.c_str())), "rpc.ack", restored) < 0)
                KO_LOGE(kModule, "push rpc ack msg failure ret\n");
        } else if (push(KO_UID_RPC, "rpc.user", restored) < 0) {
            KO_LOGE(kModule, "push rpc ack msg task failure ret\n");
        }
        return;
    }
    m.counters.add(Counters::down_cmd);
    KO_LOGD(kModule, "msg:%s msg_len=%d\n", text.c_str(), static_cast<int>(text.size()));
    const bool inner = is_inner_method(m, method);
    if (push(inner ? KO_UID_ALL : KO_UID_RPC, inner ? method : "rpc.user", text) < 0)
        KO_LOGE(kModule, "push rpc cmd msg failure, method:%s\n", method);
}

void handle_up(Module &m, json_object *obj, const std::string &text, const char *user_name)
{
    m.counters.add(Counters::rpc_up);
    const char *method = string_member(obj, "method");
    if (!method) {
        m.counters.add(Counters::up_ack);
        if (m.links[kRpc].fd < 0)
            return;
        KO_LOGD(kModule, "ACK server, msg:%s len=%d user_name:%s \n", text.c_str(), static_cast<int>(text.size()),
                user_name);
        send_on_link(m, kRpc, text.data(), text.size());
        return;
    }
    m.counters.add(Counters::up_cmd);
    const LinkId link = is_internal_method(method) ? kInternal : kRpc;
    // Each object waits only for the link that carries it.
    if (m.links[link].fd < 0)
        return;
    int32_t old_id;
    if (!int_member(obj, "id", &old_id)) {
        send_on_link(m, link, text.data(), text.size());
        return;
    }
    const int32_t new_id = m.ids.next_id();
    const std::string out = with_id(obj, new_id);
    KO_LOGD(kModule, "new id=%d, old_id=%d, user_name:%s: len=%d newmsg:%s\n", new_id, old_id, user_name,
            static_cast<int>(out.size()), out.c_str());
    IdNode node;
    node.old_id = old_id;
    node.inner = is_inner_method(m, method);
    node.user_name.assign(user_name, strnlen(user_name, kInnerNameMax));
    m.ids.insert(new_id, std::move(node), vexa_time_tick_ms());
    const int ret = send_on_link(m, link, out.data(), out.size());
    if (ret < 0)
        KO_LOGE(kModule, "send msg failure, ret=%d new id=%d, old_id=%d, user_name:%s: msg_len=%d newmsg:%s\n", ret,
                new_id, old_id, user_name, static_cast<int>(out.size()), out.c_str());
}

} // namespace

bool is_inner_method(const Module &m, const char *method)
{
    for (const auto &slot : m.inner)
        if (!slot.empty() && slot == method)
            return true;
    return false;
}

int parse_msg(Module &m, const char *text, size_t len, Direction direction, const char *user_name)
{
    if (direction == kUp && !user_name) {
        KO_LOGE(kModule, "msg=%p, len=%d user_name=%p\n", static_cast<const void *>(text), static_cast<int>(len),
                static_cast<const void *>(user_name));
        return -1;
    }
    std::unique_ptr<json_tokener, TokenerFree> tok(json_tokener_new());
    if (!tok) {
        KO_LOGE(kModule, "not enough memory\n");
        return -1;
    }
    size_t pos = 0;
    while (pos < len) {
        while (pos < len && std::isspace(static_cast<unsigned char>(text[pos])))
            ++pos;
        if (pos >= len)
            break;
        json_tokener_reset(tok.get());
        JsonPtr obj(json_tokener_parse_ex(tok.get(), text + pos, static_cast<int>(len - pos)));
        if (!obj || !json_object_is_type(obj.get(), json_type_object)) {
            KO_LOGE(kModule, "token parse error msg: %.*s, length: %d bytes\n", static_cast<int>(len - pos), text + pos,
                    static_cast<int>(len - pos));
            return pos > 0 ? static_cast<int>(pos) : -1;
        }
        const size_t used = json_tokener_get_parse_end(tok.get());
        const std::string piece(text + pos, used);
        if (direction == kDown)
            handle_down(m, obj.get(), piece);
        else
            handle_up(m, obj.get(), piece, user_name);
        pos += used;
    }
    return static_cast<int>(pos);
}

} // namespace ko_rpc
