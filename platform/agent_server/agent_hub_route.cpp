// The agent server's routing: registrations subscribe a connection to a method, broadcasts go whole
// to every subscriber, requests go to every subscriber under a hub-wide id and the sender gets one
// acknowledgement ("OK" when every subscriber said "OK") under its own id.
#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent_hub.h"
#include "zel_app_agent_client/agent_wire.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_clock.h"

namespace agent_hub {

namespace {

constexpr const char *TAG = "AGENT_SERVER";

json_object *member(json_object *value, const char *key, json_type type)
{
    json_object *m = nullptr;
    if (!value || !json_object_is_type(value, json_type_object) || !json_object_object_get_ex(value, key, &m))
        return nullptr;
    return json_object_is_type(m, type) ? m : nullptr;
}

void reply(Hub &hub, uint64_t to, int id, bool ok)
{
    auto it = hub.conns.find(to);
    if (it == hub.conns.end())
        return;
    char text[64];
    const int n = std::snprintf(text, sizeof text, "{\"id\":%d,\"result\":\"%s\"}", id, ok ? "OK" : "FAIL");
    send_packet(hub, *it->second, std::string(text, static_cast<size_t>(n)));
}

void finish_if_answered(Hub &hub, std::unordered_map<int, Forward>::iterator it)
{
    if (!it->second.waiting.empty())
        return;
    const Forward done = std::move(it->second);
    hub.forwards.erase(it);
    reply(hub, done.sender, done.sender_id, !done.failed);
}

std::vector<Conn *> subscribers(Hub &hub, const Conn &from, const char *method)
{
    std::vector<Conn *> out;
    for (auto &entry : hub.conns) {
        Conn &conn = *entry.second;
        if (conn.id != from.id && !conn.dead && conn.keys.count(method))
            out.push_back(&conn);
    }
    return out;
}

void subscribe(Conn &from, json_object *value)
{
    json_object *key = member(value, "key", json_type_string);
    const char *name = key ? json_object_get_string(key) : nullptr;
    if (!name || !*name || std::strlen(name) > MAX_KEY_LENGTH) {
        ZEL_LOGE(TAG, "fd %d: register without a usable key", from.fd);
        return;
    }
    if (!from.keys.count(name) && from.keys.size() >= MAX_KEYS_PER_CONNECTION) {
        ZEL_LOGE(TAG, "fd %d: too many keys, %s refused", from.fd, name);
        return;
    }
    from.keys.insert(name);
    ZEL_LOGI(TAG, "fd %d registered %s", from.fd, name);
}

void acknowledge(Hub &hub, Conn &from, json_object *value, std::string_view text)
{
    json_object *id = member(value, "id", json_type_int);
    if (!id) {
        ZEL_LOGE(TAG, "fd %d: text without method or id dropped: %.*s", from.fd, static_cast<int>(text.size()),
                 text.data());
        return;
    }
    auto it = hub.forwards.find(json_object_get_int(id));
    if (it == hub.forwards.end() || it->second.waiting.erase(from.id) == 0) {
        ZEL_LOGW(TAG, "fd %d: acknowledgement of no pending request dropped: %.*s", from.fd,
                 static_cast<int>(text.size()), text.data());
        return;
    }
    json_object *result = member(value, "result", json_type_string);
    if (!result || std::strcmp(json_object_get_string(result), "OK") != 0)
        it->second.failed = true;
    finish_if_answered(hub, it);
}

void broadcast(Hub &hub, Conn &from, const char *method, std::string_view text)
{
    if (text.size() > static_cast<size_t>(ZEL_AGENT_PACKET_MAX)) {
        ZEL_LOGE(TAG, "fd %d: %s of %zu bytes is too long to deliver", from.fd, method, text.size());
        return;
    }
    for (Conn *to : subscribers(hub, from, method))
        send_packet(hub, *to, std::string(text));
}

void forward_request(Hub &hub, Conn &from, const char *method, json_object *value, int sender_id)
{
    std::vector<Conn *> to = subscribers(hub, from, method);
    if (to.empty()) {
        ZEL_LOGW(TAG, "no module registered %s, request %d of fd %d fails", method, sender_id, from.fd);
        reply(hub, from.id, sender_id, false);
        return;
    }
    if (hub.forwards.size() >= MAX_FORWARDS) {
        ZEL_LOGE(TAG, "too many requests waiting, request %d of fd %d fails", sender_id, from.fd);
        reply(hub, from.id, sender_id, false);
        return;
    }
    int hub_id = hub.next_forward_id;
    while (hub.forwards.count(hub_id))
        hub_id = hub_id == 0x7fffffff ? 1 : hub_id + 1;
    hub.next_forward_id = hub_id == 0x7fffffff ? 1 : hub_id + 1;

    json_object *jid = json_object_new_int(hub_id);
    if (!jid || json_object_object_add(value, "id", jid) != 0) {
        json_object_put(jid);
        ZEL_LOGE(TAG, "request %d of fd %d cannot be rewritten", sender_id, from.fd);
        reply(hub, from.id, sender_id, false);
        return;
    }
    const char *rewritten = json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN);
    if (!rewritten || std::strlen(rewritten) > static_cast<size_t>(ZEL_AGENT_PACKET_MAX)) {
        ZEL_LOGE(TAG, "request %d of fd %d (%s) cannot be delivered", sender_id, from.fd, method);
        reply(hub, from.id, sender_id, false);
        return;
    }
    Forward forward;
    forward.sender = from.id;
    forward.sender_id = sender_id;
    forward.deadline_ms = time_monotonic_ms() + FORWARD_TIMEOUT_MS;
    for (Conn *conn : to) {
        if (send_packet(hub, *conn, rewritten))
            forward.waiting.insert(conn->id);
        else
            forward.failed = true;
    }
    finish_if_answered(hub, hub.forwards.emplace(hub_id, std::move(forward)).first);
}

} // namespace

void route_text(Hub &hub, Conn &from, json_object *value, std::string_view text)
{
    json_object *jmethod = member(value, "method", json_type_string);
    if (!jmethod) {
        acknowledge(hub, from, value, text);
        return;
    }
    const char *method = json_object_get_string(jmethod);
    if (std::strcmp(method, "register") == 0) {
        subscribe(from, value);
        return;
    }
    if (std::strcmp(method, "SDKhello") == 0) {
        from.sdk_client = true;
        ZEL_LOGI(TAG, "fd %d is the sdk client", from.fd);
        return;
    }
    json_object *id = member(value, "id", json_type_int);
    json_object *is_register = member(value, "is_register", json_type_int);
    // Receivers do not acknowledge a request marked is_register 1, so it travels like a broadcast.
    if (!id || (is_register && json_object_get_int(is_register) == 1))
        broadcast(hub, from, method, text);
    else
        forward_request(hub, from, method, value, json_object_get_int(id));
}

void forget_conn(Hub &hub, uint64_t conn_id)
{
    for (auto it = hub.forwards.begin(); it != hub.forwards.end();) {
        Forward &forward = it->second;
        if (forward.sender == conn_id) {
            it = hub.forwards.erase(it);
            continue;
        }
        if (forward.waiting.erase(conn_id)) {
            forward.failed = true;
            if (forward.waiting.empty()) {
                const Forward done = std::move(forward);
                it = hub.forwards.erase(it);
                reply(hub, done.sender, done.sender_id, false);
                continue;
            }
        }
        ++it;
    }
}

void expire_forwards(Hub &hub, int64_t now_ms)
{
    for (auto it = hub.forwards.begin(); it != hub.forwards.end();) {
        if (it->second.deadline_ms > now_ms) {
            ++it;
            continue;
        }
        const Forward done = std::move(it->second);
        ZEL_LOGW(TAG, "request %d of connection %llu not answered in time", done.sender_id,
                 static_cast<unsigned long long>(done.sender));
        it = hub.forwards.erase(it);
        reply(hub, done.sender, done.sender_id, false);
    }
}

} // namespace agent_hub
