// The daemon's device methods: the device token update, the device information (rate-limited to one
// answer per 5 s) and the device configuration with the token.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/kv/ko_device_token.h"
#include "common/sdk/ko_ot_handlers.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/utils/ko_util.h"

namespace ko_ot {

namespace {

constexpr uint64_t kDinfoIntervalMs = 5000;
constexpr size_t kTextTokenMax = 16;

void add_string(json_object *obj, const char *key, const std::string &value)
{
    json_object_object_add(obj, key, json_object_new_string(value.c_str()));
}

// The "params" of "_internal.response_dinfo", or null for an unknown chip type.
json_object *dinfo_params(const ko_sdk_info *record)
{
    const ko_ipc_sdk_param &p = record->param;
    json_object *params = json_object_new_object();
    if (!params)
        return nullptr;
    if (p.chip_type == 0) {
        add_string(params, "qelt_i2c", ko_sdk::text_of(p.qelt_i2c));
        add_string(params, "qelt_gpio", ko_sdk::text_of(p.qelt_gpio));
    } else if (p.chip_type == 1) {
        const long long did = std::strtoll(ko_sdk::text_of(p.did).c_str(), nullptr, 10);
        json_object_object_add(params, "did", json_object_new_int64(did));
        add_string(params, "manu_cert", p.manu_cert ? p.manu_cert : "");
        add_string(params, "dev_cert", p.dev_cert ? p.dev_cert : "");
    } else {
        KO_LOGE(KO_IPC_MODULE, "chip_type err=%d\n", static_cast<int>(p.chip_type));
        json_object_put(params);
        return nullptr;
    }
    add_string(params, "vendor", ko_sdk::text_of(p.vendor));
    add_string(params, "mac", ko_sdk::text_of(p.mac));
    add_string(params, "model", ko_sdk::text_of(p.model));
    json_object *sc_type = json_object_new_array();
    const std::string list = ko_sdk::text_of(record->sc_type_text);
    for (size_t pos = 0; pos < list.size();) {
        const size_t comma = list.find(',', pos);
        const std::string item = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        json_object_array_add(sc_type, json_object_new_int(std::atoi(item.c_str())));
        pos = comma == std::string::npos ? list.size() : comma + 1;
    }
    json_object_object_add(params, "sc_type", sc_type);
    if (p.wpa_required && p.wpa_intf[0] != '\0')
        add_string(params, "wpa_intf", ko_sdk::text_of(p.wpa_intf));
    json_object *oob = json_object_new_array();
    json_object *first = json_object_new_object();
    json_object_object_add(first, "mode", json_object_new_int(2));
    add_string(first, "ctx", "");
    json_object *second = json_object_new_object();
    json_object_object_add(second, "mode", json_object_new_int(3));
    add_string(second, "ctx", ko_sdk::text_of(p.oob));
    json_object_array_add(oob, first);
    json_object_array_add(oob, second);
    json_object_object_add(params, "OOB", oob);
    return params;
}

// The record's token as the daemon wants it: the text, or hex text of raw bytes.
std::string record_token(ko_sdk_info *record)
{
    ko_sdk::RecordLock guard(record);
    const size_t len = record->token_len > 0 ? static_cast<size_t>(record->token_len) : 0;
    if (len == 0)
        return "";
    const size_t n = len < sizeof record->token ? len : sizeof record->token;
    if (record->token_type != 1)
        return std::string(reinterpret_cast<const char *>(record->token), strnlen(reinterpret_cast<const char *>(record->token), n));
    char hex[2 * sizeof record->token + 1] = {};
    ko_byte2hex_string(hex, sizeof hex, record->token, n);
    return hex;
}

} // namespace

void handle_update_token(const ko_message_arg *arg)
{
    json_object *obj = request_of(arg, "invalid msg update_token callback param", "invalid msg update token");
    if (!obj)
        return;
    ko_sdk_info *record = record_of(arg);
    json_object *params = nullptr;
    json_object_object_get_ex(obj, "params", &params);
    std::string reply;
    if (const char *ntoken = string_member(params, "ntoken")) {
        const size_t text_len = std::strlen(ntoken);
        uint8_t token[sizeof record->token] = {};
        int token_len;
        int token_type;
        if (text_len <= kTextTokenMax) {
            std::memcpy(token, ntoken, text_len);
            token_len = static_cast<int>(text_len);
            token_type = 0;
        } else {
            token_len = ko_str2hex_bin(ntoken, text_len, token, sizeof token);
            token_type = 1;
        }
        if (token_len <= 0) {
            KO_LOGE(KO_IPC_MODULE, "invalid token %s\n", ntoken);
        } else if (token_write(record->param.data_dir, reinterpret_cast<const char *>(token), token_len, token_type) != 0) {
            KO_LOGE(KO_IPC_MODULE, "token_write failed\n");
        } else {
            {
                ko_sdk::RecordLock guard(record);
                std::memcpy(record->token, token, sizeof token);
                record->token_len = token_len;
                record->token_type = token_type;
            }
            json_object *resp = json_object_new_object();
            if (resp) {
                json_object_object_add(resp, "method", json_object_new_string("_internal.token_updated"));
                json_object_object_add(resp, "params", json_object_new_string(ntoken));
                reply = ko_sdk::json_text(resp);
                json_object_put(resp);
            } else {
                KO_LOGE(KO_IPC_MODULE, "json object is null\n");
            }
        }
    }
    if (!reply.empty())
        ko_sdk::send_to_daemon(reply, KO_MSG_MODE_SYNC);
    json_object_put(obj);
    usleep(10 * 1000);
    send_hello();
}

void handle_req_dinfo(const ko_message_arg *arg)
{
    const auto now_ms = static_cast<int64_t>(vexa_time_tick_ms());
    // Requests may run on several workers at once: only one of them takes the slot.
    int64_t last_ms = g_state.last_dinfo_ms;
    do {
        if (last_ms != 0 && static_cast<uint64_t>(now_ms - last_ms) < kDinfoIntervalMs) {
            KO_LOGI(KO_IPC_MODULE, "request_dinfo  last_time:%ld ,time(NULL):%ld \n", static_cast<long>(last_ms / 1000),
                    static_cast<long>(now_ms / 1000));
            return;
        }
    } while (!g_state.last_dinfo_ms.compare_exchange_weak(last_ms, now_ms));
    ko_sdk_info *record = record_of(arg);
    if (!arg->param || !record) {
        KO_LOGE(KO_IPC_MODULE, "invalid msg req_dinfo callback param\n");
        return;
    }
    std::string reply;
    if (json_object *params = dinfo_params(record)) {
        json_object *resp = json_object_new_object();
        if (resp) {
            json_object_object_add(resp, "method", json_object_new_string("_internal.response_dinfo"));
            json_object_object_add(resp, "params", params);
            reply = ko_sdk::json_text(resp);
            json_object_put(resp);
        } else {
            KO_LOGE(KO_IPC_MODULE, "json object is null\n");
            json_object_put(params);
        }
    }
    KO_LOGD(KO_IPC_MODULE, "dinfo %s\n", reply.c_str());
    if (!reply.empty())
        ko_sdk::send_to_daemon(reply, KO_MSG_MODE_SYNC);
    usleep(10 * 1000);
    send_hello();
}

void handle_req_ot_conf(const ko_message_arg *arg)
{
    ko_sdk_info *record = record_of(arg);
    if (!arg->param || !record) {
        KO_LOGE(KO_IPC_MODULE, "invalid msg req_ot_conf callback param\n");
        return;
    }
    std::string token = record_token(record);
    json_object *obj = parse(arg);
    if (token.empty()) {
        json_object *params = nullptr;
        if (obj && json_object_object_get_ex(obj, "params", &params)) {
            if (const char *ntoken = string_member(params, "ntoken"))
                token = ntoken;
        }
    }
    json_object_put(obj);
    json_object *resp = json_object_new_object();
    json_object *params = json_object_new_object();
    if (!resp || !params) {
        KO_LOGE(KO_IPC_MODULE, "json object is null\n");
        json_object_put(resp);
        json_object_put(params);
        return;
    }
    add_string(params, "country", ko_sdk::text_of(record->param.country));
    add_string(params, "token", token);
    json_object_object_add(resp, "method", json_object_new_string("_internal.res_ot_config"));
    json_object_object_add(resp, "id", json_object_new_int(ko_sdk::random_id()));
    json_object_object_add(resp, "params", params);
    reply_and_hello(ko_sdk::json_text(resp));
    json_object_put(resp);
}

} // namespace ko_ot
