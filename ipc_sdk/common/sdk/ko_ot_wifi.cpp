// The daemon's Wi-Fi methods: start (join a network and answer with the result), reload, the
// configuration status, the network information and the disconnect request. Joining is handed to the
// application's porting hooks.
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/sdk/ko_ot_handlers.h"
#include "common/utils/ko_log.h"
#include "zel_app_agent_client/json_verify.h"

namespace ko_ot {

namespace {

constexpr char kRouterMarker[] = "25c829b1922d3123_rodane"; // 23 characters

// Joining a network can take minutes: the worker is not watched meanwhile.
struct WatchdogPause {
    WatchdogPause() { thread_alive_update_status(THREAD_ALIVE_WAITING, 0); }
    ~WatchdogPause() { thread_alive_update_status(THREAD_ALIVE_RUNNING, 0); }
};

void copy_text(char *dst, size_t size, const char *src)
{
    std::snprintf(dst, size, "%s", src ? src : "");
}

// The reply of a finished join: "_internal.wifi_connected" or "_internal.wifi_connect_failed" with
// the current network; empty when it can't be built.
std::string join_reply(ko_sdk_info *record, bool ok, bool marker_join, const char *ssid_5g, const char *passwd_5g)
{
    ko_wifi_info info{};
    if (ko_ipc_wifi_info_get(&info) != 0)
        KO_LOGE(KO_IPC_MODULE, "get ip wifi info failed!\n");
    const std::string current = ko_sdk::text_of(info.ssid);
    const bool wired = current.empty();
    if (!marker_join && ssid_5g && ssid_5g[0] != '\0' && current.rfind(ssid_5g, 0) != 0) {
        ko_sdk::RecordLock guard(record);
        copy_text(record->ssid, sizeof record->ssid, ssid_5g);
        copy_text(record->passwd, sizeof record->passwd, passwd_5g);
    }
    json_object *resp = json_object_new_object();
    json_object *params = json_object_new_object();
    if (!resp || !params) {
        KO_LOGE(KO_IPC_MODULE, "resp_json(%p)/param_json(%p) is null\n", static_cast<void *>(resp),
                static_cast<void *>(params));
        json_object_put(resp);
        json_object_put(params);
        return "";
    }
    json_object_object_add(resp, "method",
                           json_object_new_string(ok ? "_internal.wifi_connected" : "_internal.wifi_connect_failed"));
    json_object_object_add(params, "result", json_object_new_string(ok ? "ok" : "error"));
    json_object_object_add(params, "ssid", json_object_new_string(wired ? "ethernet" : current.c_str()));
    const std::string bssid = wired ? ko_sdk::text_of(info.extra) : ko_sdk::text_of(info.bssid);
    json_object_object_add(params, "bssid", json_object_new_string(bssid.c_str()));
    json_object_object_add(resp, "params", params);
    std::string text = ko_sdk::json_text(resp);
    json_object_put(resp);
    if (text.empty())
        KO_LOGE(KO_IPC_MODULE, "get string fail\n");
    return text;
}

// Steps 2 to 7 of a Wi-Fi start: the reply to send, or empty for the access-point fallback.
std::string wifi_start_join(ko_sdk_info *record, json_object *params, bool bound)
{
    const char *ssid = string_member(params, "ssid");
    const char *passwd = string_member(params, "passwd");
    const char *ssid_5g = string_member(params, "ssid_5g");
    const char *passwd_5g = string_member(params, "passwd_5g");
    const char *country = string_member(params, "country_domain");
    const char *tz = string_member(params, "tz");
    const char *bssid = string_member(params, "bssid");
    json_object *ln_type = nullptr;
    const bool wired = json_object_object_get_ex(params, "ln_type", &ln_type);
    {
        ko_sdk::RecordLock guard(record);
        record->camera_state = 5;
    }

    ko_wifi_connect_info req{};
    const bool marker = ssid && std::strncmp(ssid, kRouterMarker, sizeof kRouterMarker - 1) == 0;
    if (marker) {
        if (!bssid) {
            KO_LOGE(KO_IPC_MODULE, "hide   bssid param is null!msg %s \n", json_object_get_string(params));
            return "";
        }
        req.mode = KO_WIFI_MODE_HIDDEN;
        req.bssid = bssid;
    } else {
        const bool full = country && tz && passwd;
        if (full) {
            ko_sdk::RecordLock guard(record);
            copy_text(record->ssid, sizeof record->ssid, ssid);
            copy_text(record->passwd, sizeof record->passwd, passwd);
            req.passwd = passwd;
        }
        if (!(full && bound && ssid_5g && passwd_5g)) {
            ssid_5g = nullptr;
            passwd_5g = nullptr;
        }
        req.ssid_5g = ssid_5g;
        req.passwd_5g = passwd_5g;
        req.mode = KO_WIFI_MODE_NORMAL;
    }
    if (wired) {
        KO_LOGI(KO_IPC_MODULE, "enter wire bind!!! ln_type: %s\n", json_object_to_json_string(ln_type));
        req.mode = KO_WIFI_MODE_WIRED;
    }
    req.ssid = ssid;
    req.tz = tz;
    req.country_domain = country;
    int ret;
    {
        WatchdogPause pause;
        ret = ko_ipc_wifi_connect_start(&req);
    }
    if (ret != 0)
        KO_LOGE(KO_IPC_MODULE, "ko_ipc_wifi_connect_start failed %d\n", ret);
    if (ret != 0 && !bound)
        return "";
    std::string reply = join_reply(record, ret == 0, marker, ssid_5g, passwd_5g);
    if (!reply.empty())
        KO_LOGI(KO_IPC_MODULE, "wifi start resp %s\n", reply.c_str());
    return reply;
}

} // namespace

void handle_wifi_start(const ko_message_arg *arg)
{
    ko_sdk_info *record = record_of(arg);
    if (!arg->param || !record) {
        KO_LOGE(KO_IPC_MODULE, "invalid msg wifi_start callback param\n");
        return;
    }
    const bool bound = camera_bound();
    if (g_state.wifi_busy.exchange(true)) {
        KO_LOGW(KO_IPC_MODULE, "wifi start busy, dropped\n");
        return;
    }
    json_object *obj = parse(arg);
    if (!obj) {
        KO_LOGE(KO_IPC_MODULE, "invalid json param (%zu bytes)\n", strlen(static_cast<const char *>(arg->param)));
        g_state.wifi_busy = false;
        return;
    }
    char shown[1024];
    KO_LOGI(KO_IPC_MODULE, "wifi start msg %s\n",
            json_loggable_text(static_cast<const char *>(arg->param), shown, sizeof shown));
    json_object *params = nullptr;
    std::string reply;
    if (!json_object_object_get_ex(obj, "params", &params) || !json_object_is_type(params, json_type_object))
        KO_LOGE(KO_IPC_MODULE, "invalid msg wifi start %s\n",
                json_loggable_text(static_cast<const char *>(arg->param), shown, sizeof shown));
    else
        reply = wifi_start_join(record, params, bound);
    if (reply.empty())
        reply = "{\"method\":\"_internal.wifi_ap_mode\",\"params\":null}";
    KO_LOGI(KO_IPC_MODULE, "buffer %s\n", reply.c_str());
    ko_sdk::send_to_daemon(reply, KO_MSG_MODE_SYNC);
    json_object_put(obj);
    // Free before the hello: the daemon may answer the hello with its next request at once.
    g_state.wifi_busy = false;
    usleep(10 * 1000);
    send_hello();
}

void handle_wifi_reload(const ko_message_arg *arg)
{
    json_object *obj = request_of(arg, "invalid msg wifi_reload callback param", "invalid json param");
    if (!obj)
        return;
    const char *method = string_member(obj, "method");
    if (!method) {
        KO_LOGE(KO_IPC_MODULE, "invalid msg wifi reload %s\n", static_cast<const char *>(arg->param));
    } else {
        int ret;
        {
            WatchdogPause pause;
            ret = ko_ipc_wifi_reload(std::strcmp(method, "_internal.wifi_reload") == 0 ? 1 : 0);
        }
        if (ret != 0)
            KO_LOGE(KO_IPC_MODULE, "ko_ipc_wifi_reload fail with %d\n", ret);
    }
    json_object_put(obj);
}

void handle_req_wifi_conf(const ko_message_arg *arg)
{
    if (!arg->param || !record_of(arg)) {
        KO_LOGE(KO_IPC_MODULE, "invalid msg req_conf callback param\n");
        return;
    }
    json_object *resp = json_object_new_object();
    if (!resp) {
        KO_LOGE(KO_IPC_MODULE, "json object is null\n");
        return;
    }
    json_object_object_add(resp, "method", json_object_new_string("_internal.res_wifi_conf_status"));
    json_object_object_add(resp, "params", json_object_new_int(camera_bound() ? 1 : 0));
    reply_and_hello(ko_sdk::json_text(resp));
    json_object_put(resp);
}

void handle_req_info(const ko_message_arg *arg)
{
    ko_sdk_info *record = record_of(arg);
    if (!arg->param || !record) {
        KO_LOGE(KO_IPC_MODULE, "invalid msg req_info callback param\n");
        return;
    }
    ko_wifi_info info{};
    if (ko_ipc_wifi_info_get(&info) != 0) {
        KO_LOGE(KO_IPC_MODULE, "ko_ipc_wifi_info_get failed\n");
        return;
    }
    json_object *resp = json_object_new_object();
    json_object *params = json_object_new_object();
    json_object *ap = json_object_new_object();
    json_object *netif = json_object_new_object();
    if (!resp || !params || !ap || !netif) {
        KO_LOGE("KO STATICS", "json object is null\n");
        json_object_put(resp);
        json_object_put(params);
        json_object_put(ap);
        json_object_put(netif);
        return;
    }
    json_object_object_add(ap, "ssid", json_object_new_string(ko_sdk::text_of(info.ssid).c_str()));
    json_object_object_add(ap, "bssid", json_object_new_string(ko_sdk::text_of(info.bssid).c_str()));
    json_object_object_add(ap, "rssi", json_object_new_string(std::to_string(info.rssi).c_str()));
    json_object_object_add(ap, "freq", json_object_new_int(info.freq));
    json_object_object_add(netif, "localIp", json_object_new_string(ko_sdk::text_of(info.ip).c_str()));
    json_object_object_add(netif, "mask", json_object_new_string(ko_sdk::text_of(info.mask).c_str()));
    json_object_object_add(netif, "gw", json_object_new_string(ko_sdk::text_of(info.gw).c_str()));
    json_object_object_add(params, "ap", ap);
    json_object_object_add(params, "netif", netif);
    json_object_object_add(params, "hw_ver", json_object_new_string("Linux"));
    json_object_object_add(params, "fw_ver", json_object_new_string(ko_sdk::text_of(record->param.fw_ver).c_str()));
    json_object_object_add(params, "auto_ota", json_object_new_boolean(record->param.auto_ota != 0));
    json_object_object_add(resp, "method", json_object_new_string("_internal.info"));
    json_object_object_add(resp, "params", params);
    reply_and_hello(ko_sdk::json_text(resp));
    json_object_put(resp);
}

void handle_wifi_disconnect_req(const ko_message_arg *arg)
{
    const bool bound = camera_bound();
    json_object *obj = request_of(arg, "invalid msg wifi_disconnect callback param", "invalid json param");
    if (!obj)
        return;
    ko_sdk_info *record = record_of(arg);
    json_object *params = nullptr;
    json_object_object_get_ex(obj, "params", &params);
    const char *ssid = string_member(params, "ssid");
    const char *bssid = string_member(params, "bssid");
    std::string reply;
    if (ssid && bssid) {
        json_object *resp = json_object_new_object();
        json_object *rparams = json_object_new_object();
        if (resp && rparams) {
            json_object_object_add(rparams, "ssid", json_object_new_string(ssid));
            json_object_object_add(rparams, "bssid", json_object_new_string(bssid));
            json_object_object_add(resp, "method", json_object_new_string("_internal.wifi_disconnect_resp"));
            json_object_object_add(resp, "params", rparams);
            reply = ko_sdk::json_text(resp);
        } else {
            KO_LOGE(KO_IPC_MODULE, "json object is null\n");
            json_object_put(rparams);
        }
        json_object_put(resp);
    } else {
        KO_LOGE(KO_IPC_MODULE, "invalid json param (%zu bytes)\n", strlen(static_cast<const char *>(arg->param)));
    }
    ko_sdk::send_to_daemon(reply, KO_MSG_MODE_ASYNC);
    json_object_put(obj);

    WatchdogPause pause;
    if (bound) {
        char own_ssid[sizeof record->ssid];
        char own_passwd[sizeof record->passwd];
        {
            ko_sdk::RecordLock guard(record);
            std::memcpy(own_ssid, record->ssid, sizeof own_ssid);
            std::memcpy(own_passwd, record->passwd, sizeof own_passwd);
        }
        ko_wifi_connect_info req{};
        req.ssid = own_ssid;
        req.passwd = own_passwd;
        req.mode = KO_WIFI_MODE_MASTER;
        if (ko_ipc_wifi_connect_start(&req) != 0)
            KO_LOGE(KO_IPC_MODULE, "connect master failed!\n");
        else
            KO_LOGI(KO_IPC_MODULE, "connect master successed!\n");
    } else {
        KO_LOGI(KO_IPC_MODULE, "unknown   status,wifi_mode %d\n", bound ? 1 : 0);
    }
}

} // namespace ko_ot
