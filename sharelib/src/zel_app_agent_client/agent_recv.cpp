// The receiving side of the agent-bus client: drains a module's connection, hands each method
// message to the module's handler as its row's kind requires, acknowledges requests and settles
// the replies to the module's own requests.
#include "zel_app_agent_client/agent_client.h"

#include <errno.h>
#include <sys/socket.h>

#include <json-c/json.h>

#include <cstring>
#include <string>
#include <vector>

#include "zel_app_agent_client/agent_wire.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "AGENT_CLIENT";
constexpr size_t METHOD_MAX = 63;
constexpr size_t WIFI_FIELD_MAX = 63;

const request_api_t *find_row(const char *method)
{
    for (const request_api_t &row : request_api_all)
        if (std::strcmp(row.method, method) == 0)
            return &row;
    return nullptr;
}

json_object *member(json_object *value, const char *key)
{
    json_object *m = nullptr;
    return value && json_object_object_get_ex(value, key, &m) ? m : nullptr;
}

int member_int(json_object *value, const char *key)
{
    json_object *m = member(value, key);
    return m && json_object_is_type(m, json_type_int) ? json_object_get_int(m) : 0;
}

void copy_member_text(json_object *obj, const char *key, char *out, size_t max)
{
    json_object *m = member(obj, key);
    if (m && json_object_is_type(m, json_type_string))
        std::strncpy(out, json_object_get_string(m), max);
}

// Calls the handler with the params of `value` as `row` gives them; the handler's result.
int call_handler(const request_api_t &row, json_object *value, std::string_view text, agent_msg_handler_t handler)
{
    const int cmd = static_cast<uint8_t>(row.cmd);
    json_object *params = member(value, "params");
    switch (row.kind) {
    case AGENT_PARAMS_INT: {
        const int32_t n = params && json_object_is_type(params, json_type_int) ? json_object_get_int(params) : 0;
        return handler(cmd, &n);
    }
    case AGENT_PARAMS_TEXT: {
        // A cleared buffer as long as the whole text always holds the member's text and its NUL.
        std::vector<char> buf(text.size() + 1, '\0');
        if (params)
            std::strncpy(buf.data(), json_object_get_string(params), text.size());
        return handler(cmd, buf.data());
    }
    case AGENT_PARAMS_WIFI:
        if (row.cmd == 5) {
            agent_wifi_params_t wifi{};
            copy_member_text(params, "ssid", wifi.ssid, WIFI_FIELD_MAX);
            copy_member_text(params, "passwd", wifi.passwd, WIFI_FIELD_MAX);
            return handler(cmd, &wifi);
        }
        break;
    default:
        break;
    }
    ZEL_LOGE(TAG, "not support now");
    return -1;
}

int handle_text(int fd, json_object *value, std::string_view text, agent_msg_handler_t handler)
{
    json_object *jmethod = member(value, "method");
    if (!jmethod || !json_object_is_type(jmethod, json_type_string)) {
        ZEL_LOGD(TAG, "client recv ack,need remove from requests ");
        remove_request_from_requests(std::string(text).c_str());
        return 0;
    }
    char method[METHOD_MAX + 1] = {};
    std::strncpy(method, json_object_get_string(jmethod), METHOD_MAX);
    const request_api_t *row = find_row(method);
    if (!row) {
        ZEL_LOGE(TAG, "method=%s get cmd error", method);
        return 0;
    }
    const int ret = call_handler(*row, value, text, handler);
    const int is_register = member_int(value, "is_register");
    ZEL_LOGI(TAG, "client handle method[%s], ret[%d], no_need_ack[%d], is_register=%d ", method, ret, row->broadcast,
             is_register);
    if (row->broadcast == 0 && is_register != 1)
        response_ack_api(ret != 0, member_int(value, "id"), fd);
    return 0;
}

// Handles every JSON text of one packet; the bytes consumed or negative.
int agent_client_message_handle_block(int fd, const char *buf, int len, agent_msg_handler_t handler)
{
    ZEL_LOGI(TAG, "client recv from sockfd: %d, msg: %.*s, length: %d bytes", fd, len, buf, len);
    size_t consumed = 0;
    const int rc = zel_agent_split_texts(
        buf, static_cast<size_t>(len),
        [&](json_object *value, std::string_view text) { return handle_text(fd, value, text, handler); }, &consumed);
    if (rc == -2 && consumed == 0) {
        ZEL_LOGE(TAG, " Not in json format: %.*s", len, buf);
        ZEL_LOGE(TAG, "not json , drop");
        return -1;
    }
    if (rc == -2) {
        const int rest = len - static_cast<int>(consumed);
        ZEL_LOGE(TAG, "token parse error msg: %.*s, length: %d bytes", rest, buf + consumed, rest);
        return -2;
    }
    if (rc == -3) {
        ZEL_LOGE(TAG, "malloc error");
        return -3;
    }
    return rc < 0 ? rc : static_cast<int>(consumed);
}

} // namespace

int message_recv_handler(int fd, agent_msg_handler_t handler)
{
    if (fd <= 0) {
        ZEL_LOGE(TAG, "agent client sockfd=%d", fd);
        return -1;
    }
    if (!handler) {
        ZEL_LOGE(TAG, "agent client cb_handler is NULL");
        return -1;
    }
    requests_expire();
    bool received = false;
    char buf[ZEL_AGENT_PACKET_MAX];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return -1;
            if (errno != ECONNRESET) {
                ZEL_LOGE(TAG, "agent client recv(%d): %s", fd, std::strerror(errno));
                return -1;
            }
        }
        if (n <= 0)
            return received ? 0 : -2;
        received = true;
        const int rc = agent_client_message_handle_block(fd, buf, static_cast<int>(n), handler);
        if (rc < 0) {
            ZEL_LOGE(TAG, "handle fail, return %d", rc);
            return -1;
        }
    }
}
