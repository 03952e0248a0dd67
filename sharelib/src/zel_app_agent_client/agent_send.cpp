// The sending side of the agent-bus client: connecting, registering, and putting requests,
// broadcasts and acknowledgements on the connection.
#include "zel_app_agent_client/agent_client.h"
#include "zel_app_agent_client/json_verify.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json-c/json.h>

#include <cstdio>
#include <cstring>

#include "zel_app_agent_client/agent_wire.h"
#include "zel_control/log/zel_log.h"

namespace {

constexpr const char *TAG = "AGENT_CLIENT";
// How long a send waits for room in a full socket buffer.
constexpr int SEND_ROOM_WAIT_MS = 1000;

const char *text_or_null(const char *s)
{
    return s ? s : "(null)";
}

// A text that must reach the server for the connection to be of use; when it cannot be sent the
// connection is shut down, so the module's receive loop sees the hang-up and connects afresh.
bool send_or_drop(int fd, const char *text, int len)
{
    if (send_msg(fd, text, len) > 0)
        return true;
    if (shutdown(fd, SHUT_RDWR) != 0)
        ZEL_LOGE(TAG, "shutdown(%d): %s", fd, std::strerror(errno));
    return false;
}

// Serialises {"id"?, "method", "params"} in that order; takes ownership of `params`.
json_object *build_message(const int *id, const char *method, json_object *params)
{
    json_object *obj = json_object_new_object();
    if (!obj) {
        json_object_put(params);
        return nullptr;
    }
    if (id && json_object_object_add(obj, "id", json_object_new_int(*id)) != 0) {
        json_object_put(params);
        json_object_put(obj);
        return nullptr;
    }
    if (json_object_object_add(obj, "method", json_object_new_string(method)) != 0) {
        json_object_put(params);
        json_object_put(obj);
        return nullptr;
    }
    if (json_object_object_add(obj, "params", params) != 0) {
        json_object_put(params);
        json_object_put(obj);
        return nullptr;
    }
    return obj;
}

} // namespace

int start_agent_client(const char *module)
{
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ZEL_LOGE(TAG, "socket error, err=[%d:%s]", errno, std::strerror(errno));
        return -1;
    }
    struct sockaddr_un addr;
    const socklen_t len = zel_agent_address(&addr);
    int rc;
    do
        rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), len);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ZEL_LOGE(TAG, "connect error, err=[%d:%s]", errno, std::strerror(errno));
        close(fd);
        return -1;
    }
    ZEL_LOGI(TAG, "connect succeed,module[%s],sockfd[%d]", text_or_null(module), fd);
    return fd;
}

int stop_agent_client(int fd, const char *module)
{
    if (fd <= 0) {
        ZEL_LOGE(TAG, "stop agent client error, sockfd=%d", fd);
        return -1;
    }
    // Settled before the close, while no new connection can have been given the same number.
    requests_settle_fd(fd);
    if (shutdown(fd, SHUT_RDWR) != 0 && errno != ENOTCONN)
        ZEL_LOGW(TAG, "shutdown(%d): %s", fd, std::strerror(errno));
    if (close(fd) != 0) {
        ZEL_LOGE(TAG, "close(%d): %s", fd, std::strerror(errno));
        return -1;
    }
    ZEL_LOGI(TAG, "disconnected,module[%s],sockfd[%d]", text_or_null(module), fd);
    return 0;
}

int register_key_module(int fd, const int *keys, int count, const char *module)
{
    if (fd <= 0) {
        ZEL_LOGE(TAG, "register key error, sockfd error");
        return -1;
    }
    if (!keys || count <= 0) {
        ZEL_LOGE(TAG, "register key error, key=%p, size=%d", static_cast<const void *>(keys), count);
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        const int key = keys[i];
        if (key < 0 || key >= AGENT_METHOD_COUNT) {
            ZEL_LOGE(TAG, "register key error:%d", key);
            continue;
        }
        const char *method = request_api_all[key].method;
        char text[256];
        const int n = std::snprintf(text, sizeof text, "{\"method\":\"register\",\"key\":\"%s\"}", method);
        ZEL_LOGI(TAG, "module[%s] ,register key=%s", text_or_null(module), method);
        if (!send_or_drop(fd, text, n)) {
            ZEL_LOGE(TAG, "module[%s] ,register key=%s error, connection dropped", text_or_null(module), method);
            return -1;
        }
    }
    return 0;
}

int sdkclient_module(int fd)
{
    if (fd <= 0) {
        ZEL_LOGE(TAG, "register sdk client error, sockfd error");
        return -1;
    }
    static const char hello[] = "{\"method\":\"SDKhello\"}";
    ZEL_LOGI(TAG, "sdk client=%d", fd);
    if (!send_or_drop(fd, hello, sizeof hello - 1)) {
        ZEL_LOGE(TAG, "sdk client=%d hello error, connection dropped", fd);
        return -1;
    }
    return 0;
}

int send_msg(int fd, const char *text, int len)
{
    if (fd < 0 || !text || len <= 0) {
        ZEL_LOGE(TAG, "parmas invalid.\n");
        return -1;
    }
    int sent = 0;
    ssize_t n = 0;
    while (sent < len) {
        n = send(fd, text + sent, static_cast<size_t>(len - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd pfd = {fd, POLLOUT, 0};
                int ready;
                do
                    ready = poll(&pfd, 1, SEND_ROOM_WAIT_MS);
                while (ready < 0 && errno == EINTR);
                if (ready > 0 && (pfd.revents & POLLOUT))
                    continue;
                errno = EAGAIN;
            }
            ZEL_LOGE(TAG, "send_msg: %d send error\n", fd);
            return -1;
        }
        if (n == 0)
            break;
        sent += static_cast<int>(n);
        if (sent < len)
            ZEL_LOGI(TAG, "Partial written, total: size: %d,send: %d\n", len, sent);
    }
    return static_cast<int>(n);
}

int response_ack_api(int failed, int id, int fd)
{
    char text[256];
    const int n = std::snprintf(text, sizeof text, "{\"id\":%d,\"result\":\"%s\"}", id, failed ? "FAIL" : "OK");
    return send_msg(fd, text, n);
}

int broadcast_message(const char *method, json_object *params, int fd)
{
    if (!method || !params || fd < 0) {
        ZEL_LOGE(TAG, "params error,method[%p],obj[%p], fd[%d]\n", static_cast<const void *>(method),
                 static_cast<void *>(params), fd);
        json_object_put(params);
        return -1;
    }
    json_object *obj = build_message(nullptr, method, params);
    if (!obj) {
        ZEL_LOGE(TAG, "json_obj NULL");
        return -1;
    }
    const char *text = json_object_to_json_string(obj);
    if (!text) {
        ZEL_LOGE(TAG, "json_obj_str NULL");
        json_object_put(obj);
        return -1;
    }
    char shown[1024];
    ZEL_LOGD(TAG, "broadcast_message ==>json_obj_str = %s\n", json_loggable_text(text, shown, sizeof shown));
    const int n = send_msg(fd, text, static_cast<int>(std::strlen(text)));
    json_object_put(obj);
    if (n < 1) {
        ZEL_LOGE(TAG, "send_msg error.\n");
        return -1;
    }
    return n;
}

int send_request(const char *method, json_object *params, int data, int sync, agent_request_cb_t callback,
                 void *context, int fd)
{
    if (fd < 0 || !params || !method) {
        ZEL_LOGE(TAG, "send_request params error\n");
        json_object_put(params);
        return -1;
    }
    agent_request_t *request = new_request(method, data, sync, callback, context, fd);
    if (!request) {
        ZEL_LOGE(TAG, "new_request error.\n");
        json_object_put(params);
        return -1;
    }
    if (add_request_agent_ser(request) != 0) {
        ZEL_LOGE(TAG, "new_request error.\n");
        free_request(request);
        json_object_put(params);
        return -1;
    }
    // Once sent, a request that is not sync belongs to the draining thread: only its id is used here.
    const int id = request->id;
    json_object *obj = build_message(&id, method, params);
    if (!obj) {
        ZEL_LOGE(TAG, "json_obj error.\n");
        remove_request_agent_ser(id);
        return -1;
    }
    const char *text = json_object_to_json_string(obj);
    if (!text) {
        ZEL_LOGE(TAG, "json_obj_str error.\n");
        json_object_put(obj);
        remove_request_agent_ser(id);
        return -1;
    }
    char shown[1024];
    ZEL_LOGD(TAG, "send_request ==>json_obj_str = %s\n", json_loggable_text(text, shown, sizeof shown));
    const int n = send_msg(fd, text, static_cast<int>(std::strlen(text)));
    json_object_put(obj);
    if (n <= 0) {
        ZEL_LOGE(TAG, "send_msg error.\n");
        remove_request_agent_ser(id);
        return -1;
    }
    if (!sync)
        return n;

    const bool ota = std::strncmp(method, "lumo.ota", 8) == 0;
    if (semaphore_timedwait(&request->sem, ota ? 150 : 10) != 0) {
        ZEL_LOGE(TAG, "semaphore_timedwait timeout....\n");
        remove_request_agent_ser(id);
        return -1;
    }
    const int not_ok = request->not_ok;
    if (request->callback) {
        const int rc = request->callback(not_ok, request->data, request->context);
        if (rc < 0) {
            ZEL_LOGE(TAG, "request_callback error.\n");
            remove_request_agent_ser(id);
            return rc;
        }
    }
    remove_request_agent_ser(id);
    return not_ok;
}

int send_request_api(int cmd, const void *params, agent_request_cb_t callback, void *context, int reserved, int fd)
{
    (void)reserved;
    const unsigned index = static_cast<uint8_t>(cmd);
    if (index >= AGENT_METHOD_COUNT) {
        ZEL_LOGE(TAG, "please check cmd=%d", cmd);
        return -1;
    }
    if (!params) {
        ZEL_LOGE(TAG, "please check params");
        return -1;
    }
    if (fd <= 0) {
        ZEL_LOGE(TAG, "please check fd=%d", fd);
        return -1;
    }
    const request_api_t &row = request_api_all[index];
    json_object *value = row.generator(params);
    if (!value) {
        if (row.broadcast)
            ZEL_LOGE(TAG, "please check this request,index=%u,json=%p", index, static_cast<void *>(value));
        else
            ZEL_LOGE(TAG, "please check this request,cmd=%u,json=%p", index, static_cast<void *>(value));
        return -1;
    }
    const int rc = row.broadcast ? broadcast_message(row.method, value, fd)
                                 : send_request(row.method, value, 0, row.sync, callback, context, fd);
    if (rc > 0)
        return 0;
    ZEL_LOGE(TAG, "send request error,ret=%d", rc);
    return -1;
}
