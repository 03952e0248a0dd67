// The streaming server's daemon RPCs over the message bus: requests with a pending table of ten that
// times out after 5 s, replies and the daemon's own requests, acknowledgements and the server's
// reports, and the service's own "p2p.info" report.
#include <json-c/json.h>
#include <string.h>

#include <array>
#include <string>

#include "app/p2p/ko_p2p_internal.h"
#include "common/ipc/ko_message.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_rand.h"

namespace ko_p2p {

namespace {

constexpr const char *kBusKeys[] = {"rpc.ack", "_sync.vasq_wakeup", "vasq.set_vendor"};
constexpr const char *kMethods[] = {"_sync.vasq_get_vendor", "vasq.set_vendor", "_sync.vasq_wakeup"};

struct pending_rpc {
    int id = 0;
    uint64_t added_s = 0; // monotonic
    void *context = nullptr;
};

struct rpc_table {
    std::mutex lock;
    std::array<pending_rpc, 10> entries;
};
rpc_table g_rpc;

bool is_free(const pending_rpc &e)
{
    return e.id == 0 && e.added_s == 0;
}

int push_to_daemon(const char *text, size_t length)
{
    if (length == 0 || length > KO_MSG_PARAM_MAX ||
        ko_message_send(KO_UID_P2P, KO_UID_RPC, "rpc.rpc", text, static_cast<uint32_t>(length), KO_MSG_MODE_ASYNC) !=
            0) {
        KO_LOGE(KO_P2P_MODULE, "vasq send rpc message fail\n");
        return -1;
    }
    return 0;
}

// {"id": id, "method": method, "params": params} pushed to the daemon; takes `params`.
int send_request(int id, const char *method, json_object *params)
{
    json_object *o = json_object_new_object();
    json_object_object_add(o, "id", json_object_new_int(id));
    json_object_object_add(o, "method", json_object_new_string(method));
    json_object_object_add(o, "params", params);
    const char *text = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
    const size_t len = strnlen(text, 4095);
    const int rc = push_to_daemon(text, len);
    json_object_put(o);
    return rc;
}

// Runs the streaming server's processing of a reply; a failure restarts the server.
void process_reply(void *context, const char *text, int length)
{
    std::lock_guard<std::mutex> g(g_vasq_ctrl.server_mutex);
    const int rc = vasq_rpc_process(context, text, length);
    if (rc != 0 && context) {
        KO_LOGE(KO_P2P_MODULE, text ? "vasq rpc process error...\n" : "vasq_rpc_process err:%d\n", rc);
        vasq_server_finish();
        g_vasq_ctrl.server_ready = false;
    }
}

void on_rpc(const ko_message_arg *arg)
{
    if (!arg->param || arg->len == 0) {
        KO_LOGE(KO_P2P_MODULE, "vp param is null...\n");
        return;
    }
    const std::string text(static_cast<const char *>(arg->param), arg->len);
    json_object *root = json_tokener_parse(text.c_str());
    json_object *id = nullptr, *method = nullptr;
    if (!root || !json_object_object_get_ex(root, "id", &id)) {
        json_object_put(root);
        return;
    }
    const int wanted = json_object_get_int(id);
    const std::string name = json_object_object_get_ex(root, "method", &method) && json_object_is_type(method, json_type_string)
                                 ? json_object_get_string(method)
                                 : "";
    json_object_put(root);
    void *context = nullptr;
    bool found = false;
    {
        std::lock_guard<std::mutex> g(g_rpc.lock);
        for (pending_rpc &e : g_rpc.entries)
            if (!is_free(e) && e.id == wanted) {
                context = e.context;
                e = pending_rpc{};
                found = true;
                break;
            }
    }
    g_vasq_ctrl.rpc_step = 1;
    if (found) {
        if (context)
            process_reply(context, text.c_str(), static_cast<int>(text.size()));
    } else if (name == "vasq.set_vendor" || name == "_sync.vasq_wakeup") {
        std::lock_guard<std::mutex> g(g_vasq_ctrl.server_mutex);
        const int rc = vasq_rpc_process(nullptr, text.c_str(), static_cast<int>(text.size()));
        if (rc != 0)
            KO_LOGE(KO_P2P_MODULE, "vasq rpc process error...\n");
    }
}

void on_statistics(const ko_message_arg *arg)
{
    if (!arg->msgkey || !arg->param) {
        KO_LOGE(KO_P2P_MODULE, "invalid param!\n");
        return;
    }
    vasq_ctrl &v = g_vasq_ctrl;
    json_object *o = json_object_new_object();
    const std::pair<const char *, int> fields[] = {
        {"init_step", v.init_step.load()}, {"deinit_step", v.deinit_step.load()}, {"v_send", v.v_send.load()},
        {"a_send", v.a_send.load()},       {"v_pb_send", v.v_pb_send.load()},    {"a_pb_send", v.a_pb_send.load()},
        {"rpc_step", v.rpc_step.load()},   {"disconnect_step", v.disconnect_step.load()},
        {"session_num", v.inited.load() ? online_count() : 0}};
    for (const auto &f : fields)
        json_object_object_add(o, f.first, json_object_new_int(f.second));
    const int rc = report_stat_json("p2p.info", o);
    if (rc != 0)
        KO_LOGE(KO_P2P_MODULE, "report p2p stat failed,ret %d!\n", rc);
    json_object_put(o);
}

} // namespace

int rpc_init()
{
    for (const char *key : kBusKeys) {
        const int rc = ko_message_listen(KO_UID_P2P, key, on_rpc, nullptr);
        KO_LOGI(KO_P2P_MODULE, "vasq register %s done with %d\n", key, rc);
        if (rc != 0) {
            KO_LOGE(KO_P2P_MODULE, "msg [motion] register err\n");
            return -1;
        }
    }
    // Announced synchronously: the server's first "_sync.vasq_get_vendor" goes up right after, and a
    // queued announcement could reach the link after it, sending the reply to the application.
    for (const char *method : kMethods) {
        KO_LOGI(KO_P2P_MODULE, "vasq register method: %s\n", method);
        const int rc = ko_message_send(KO_UID_P2P, KO_UID_RPC, "rpc.register", method,
                                       static_cast<uint32_t>(strlen(method)), KO_MSG_MODE_SYNC);
        if (rc != 0)
            KO_LOGE(KO_P2P_MODULE, "push rpc ack msg failure ret: %#x\n", rc);
    }
    if (ko_message_listen(KO_UID_P2P, "upload_statistics", on_statistics, nullptr) != 0) {
        KO_LOGE(KO_P2P_MODULE, " message register failed!\n");
        return -1;
    }
    return 0;
}

void rpc_deinit()
{
    for (const char *key : kBusKeys)
        if (ko_message_unregister(KO_UID_P2P, key) != 0) {
            KO_LOGE(KO_P2P_MODULE, "unregister message failed\n");
            KO_LOGE(KO_P2P_MODULE, "vasq_rpc_deinit failed\n");
        }
    ko_message_unregister(KO_UID_P2P, "upload_statistics");
    std::lock_guard<std::mutex> g(g_rpc.lock);
    g_rpc.entries.fill(pending_rpc{});
}

// Requests without a reply within 5 s are processed as failed, outside the table's lock.
void rpc_timeout_check()
{
    std::array<void *, 10> expired{};
    size_t n = 0;
    {
        std::lock_guard<std::mutex> g(g_rpc.lock);
        const uint64_t now = vexa_time_tick_s();
        for (pending_rpc &e : g_rpc.entries)
            if (!is_free(e) && now - e.added_s > 5) {
                expired[n++] = e.context;
                e = pending_rpc{};
                KO_LOGE(KO_P2P_MODULE, "vasq get vendor time out\n");
            }
    }
    for (size_t i = 0; i < n; i++)
        if (expired[i])
            process_reply(expired[i], nullptr, 0);
}

} // namespace ko_p2p

using namespace ko_p2p;

extern "C" int vasq_rpc_send(void *context, const char *method, const char *params)
{
    if (!method || !params)
        return -1;
    json_object *parsed = json_tokener_parse(params);
    if (!parsed) {
        KO_LOGE(KO_P2P_MODULE, "%s: Not in json format: %s\n", __func__, params);
        return -1; // no entry left behind: the caller frees the context on -1
    }
    int id = 0;
    pending_rpc *entry = nullptr;
    {
        std::lock_guard<std::mutex> g(g_rpc.lock);
        for (pending_rpc &e : g_rpc.entries)
            if (is_free(e)) {
                entry = &e;
                break;
            }
        if (!entry) {
            KO_LOGE(KO_P2P_MODULE, "too much rpc msg for vasq\n");
            json_object_put(parsed);
            return -1;
        }
        id = static_cast<int>(generate_random_id());
        *entry = {id, vexa_time_tick_s() ? vexa_time_tick_s() : 1, context};
    }
    if (send_request(id, method, parsed) != 0) {
        std::lock_guard<std::mutex> g(g_rpc.lock);
        for (pending_rpc &e : g_rpc.entries)
            if (e.id == id)
                e = pending_rpc{};
        return -1;
    }
    return 0;
}

extern "C" int vasq_ack_send(const char *text, int length)
{
    if (!text || length <= 0 || push_to_daemon(text, static_cast<size_t>(length)) != 0)
        return -1;
    KO_LOGI(KO_P2P_MODULE, "vasq send rpc message ok ;size %lu\n", static_cast<unsigned long>(length));
    return 0;
}

extern "C" int vasq_statistics(vasq_session *, const char *text, int length)
{
    if (!text || length <= 0)
        return -1;
    json_object *params = json_object_new_object();
    if (!params) {
        KO_LOGE(KO_P2P_MODULE, "%s: init params_obj failed\n", __func__);
        return -1;
    }
    json_object_object_add(params, "data", json_object_new_string_len(text, length));
    json_object_object_add(params, "dataType", json_object_new_string("EventData"));
    return send_request(static_cast<int>(generate_random_id()), "_sync.camera_perf_data", params);
}
