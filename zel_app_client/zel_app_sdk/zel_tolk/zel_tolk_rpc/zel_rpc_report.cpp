// What the engine sends on its own: property reports, local changes, the legacy OK reply, reply
// elements with a string value and the statistics report.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace {

using namespace zel_rpc;

constexpr int kNotifyIdMax = 65534;

std::atomic<int> g_notify_id{0};
std::atomic<int> g_local_change_id{0};
std::atomic<int> g_report_info_id{0};

// The value of a report as JSON text, by kind; false when the kind is unknown or a raw value is not
// one JSON value (it would break or extend the message).
bool report_value(int kind, const char *value, std::string &out)
{
    switch (kind) {
    case ZEL_RPC_KIND_STRING:
        out = quoted(value);
        return true;
    case ZEL_RPC_KIND_INT:
        out = std::to_string(std::atoi(value));
        return true;
    case ZEL_RPC_KIND_BOOL:
        out = std::atoi(value) != 0 ? "true" : "false";
        return true;
    case ZEL_RPC_KIND_JSON:
        if (!parse_one(value) && std::strcmp(value, "null") != 0) {
            ZEL_LOGE(TAG, "report value is not JSON: %s\n", value);
            return false;
        }
        out = value;
        return true;
    default:
        ZEL_LOGE(TAG, "report kind %d unknown\n", kind);
        return false;
    }
}

} // namespace

int get_notify_id(void)
{
    int current = g_notify_id.load();
    int next;
    do {
        next = current >= kNotifyIdMax ? 1 : current + 1;
    } while (!g_notify_id.compare_exchange_weak(current, next));
    return next;
}

int spec_property_changed(int id, int siid, int piid, int kind, const char *value)
{
    if (!value) {
        ZEL_LOGE(TAG, " value is NULL \n");
        return -1;
    }
    int o_siid, o_piid;
    vexa_spec_reverse_map(siid, piid, &o_siid, &o_piid);
    std::string json_value;
    if (!report_value(kind, value, json_value))
        return -1;
    std::string text;
    if (!format(text, kTextMax,
                "{\"id\" : %d,\"method\" : \"properties_changed\",\"params\" : [{\"did\" : \"%s\",\"siid\" : %d,"
                "\"piid\" : %d,\"value\" : %s}]}",
                id, func_did, o_siid, o_piid, json_value.c_str())) {
        ZEL_LOGE(TAG, "report of %d.%d does not fit in %d bytes\n", siid, piid, kTextMax);
        return -1;
    }
    ZEL_LOGD(TAG, " ackbuf:%s \n", text.c_str());
    return send_text(text);
}

int zel_rpc_properties_change(const char *key, const char *value, int len)
{
    if (!key) {
        ZEL_LOGE(TAG, " key is NULL \n");
        return -1;
    }
    ZEL_LOGI(TAG, " spec property change --- %s \n", key);
    const size_t key_len = std::strlen(key);
    const zel_rpc_tables_t *t = zel_rpc_tables();
    for (size_t i = 0; i < t->property_count; ++i) {
        const spec_property_row_t &row = t->properties[i];
        if (!row.key || std::strncmp(row.key, key, key_len) != 0)
            continue;
        std::string text = value && len > 0 ? std::string(value, strnlen(value, static_cast<size_t>(len))) : "";
        row.handler(++g_local_change_id, row.siid, row.piid, SPEC_OP_LOCAL, text.data(), static_cast<int>(text.size()),
                    false);
        break;
    }
    return 0;
}

int zel_rpc_reply_ok(int id)
{
    return send_text("{\"id\":" + std::to_string(id) + ",\"result\":[\"OK\"]}");
}

void zel_rpc_json_to_value_string(char *buf, int size, const char *did, int siid, int piid, const char *value)
{
    if (!buf || !did || !value || size <= 0) {
        ZEL_LOGE(TAG, "input param is null \n");
        return;
    }
    std::snprintf(buf, static_cast<size_t>(size),
                  "{\"did\" : \"%s\",\"siid\" : %d,\"piid\" : %d,\"value\" : %s,\"code\" : 0}", did, siid, piid,
                  quoted(value).c_str());
}

void spec_reply_element(char *buf, int size, int siid, int piid, const char *value)
{
    if (!buf || !value || size <= 0)
        return;
    std::snprintf(buf, static_cast<size_t>(size),
                  "{\"did\" : \"%s\",\"siid\" : %d,\"piid\" : %d,\"value\" : %s,\"code\" : 0}", func_did, siid, piid,
                  value);
}

int zel_app_report_info(const char *info_json, int)
{
    if (!info_json) {
        ZEL_LOGE(TAG, "input param is null \n");
        return -1;
    }
    char model[64] = {};
    zel_api_db_get_value("ROM.vendor", model, sizeof model);
    char version[32] = {};
    zel_rpc_get_firmware_version(version, sizeof version);
    std::string text;
    if (!format(text, kTextMax + std::strlen(info_json),
                "{\"method\":\"_async.stat\",\"params\":{\"halvorn.info\":%s,\"model\":%s,\"fw_ver\":%s},\"id\":%d}",
                info_json, quoted(model).c_str(), quoted(version).c_str(), ++g_report_info_id))
        return -1;
    return send_text(text);
}
