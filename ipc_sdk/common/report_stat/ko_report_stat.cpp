// Sending statistics reports: per-key rate limits (monotonic seconds), the "_async.stat" notification
// text, and its push to the RPC link on the message bus.
#include "common/report_stat/ko_report_stat.h"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/ipc/ko_message.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_rand.h"

namespace {

constexpr const char *kModule = "KO STATICS";
constexpr size_t kKeyMax = 31;
constexpr size_t kTextMax = KO_REPORT_STAT_TEXT_MAX + 1; // exclusive
constexpr unsigned kDefaultLimitS = 60;

struct RateLimit {
    std::string_view key;
    unsigned seconds;
};

constexpr RateLimit kLimits[] = {
    {"wifi_pair.info", 0}, {"qrcode.qrcode", 0}, {"ota.info", 1}, {"p2p.error", 1}, {"p2p.info", 5}, {"p2p.exit", 5},
};

std::mutex g_sent_lock;
std::unordered_map<std::string, uint64_t> g_sent; // key -> last send, monotonic seconds

std::mutex g_identity_lock;
std::string g_model;
std::string g_fw_ver;

unsigned limit_of(std::string_view key)
{
    for (const auto &row : kLimits)
        if (row.key == key)
            return row.seconds;
    return kDefaultLimitS;
}

bool pass_rate_limit(const std::string &key)
{
    const unsigned limit = limit_of(key);
    if (limit == 0)
        return true;
    const uint64_t now = vexa_time_tick_s();
    std::lock_guard<std::mutex> guard(g_sent_lock);
    auto it = g_sent.find(key);
    if (it != g_sent.end() && now - it->second < limit)
        return false;
    g_sent[key] = now;
    return true;
}

} // namespace

void report_stat_identity_set(const char *model, const char *fw_ver)
{
    std::lock_guard<std::mutex> guard(g_identity_lock);
    if (model && g_model.empty())
        g_model = model;
    if (fw_ver && g_fw_ver.empty())
        g_fw_ver = fw_ver;
}

void report_stat_reset(void)
{
    {
        std::lock_guard<std::mutex> guard(g_identity_lock);
        g_model.clear();
        g_fw_ver.clear();
    }
    std::lock_guard<std::mutex> guard(g_sent_lock);
    g_sent.clear();
}

int report_stat_object(const char *key, const char *text)
{
    if (!text) {
        KO_LOGE(kModule, "statistics: obj was error.\n");
        return -1;
    }
    if (!key || key[0] == '\0' || std::strlen(key) > kKeyMax) {
        KO_LOGE(kModule, "statistics: key was error.\n");
        return -1;
    }
    const size_t len = std::strlen(text);
    if (len < 1 || len >= kTextMax) {
        KO_LOGE(kModule, "string len err,len=%u,max=%u,key=%s\n", static_cast<unsigned>(len),
                static_cast<unsigned>(kTextMax), key);
        return -1;
    }
    if (!pass_rate_limit(key)) {
        KO_LOGW(kModule, "statistics: report %s failed by interval time.\n", key);
        return -1;
    }

    json_object *root = json_object_new_object();
    json_object *params = json_object_new_object();
    if (!root || !params) {
        KO_LOGE(kModule, "new root_obj fail\n");
        json_object_put(root);
        json_object_put(params);
        return -1;
    }
    json_object_object_add(root, "id", json_object_new_int(static_cast<int32_t>(rand_range(0, 2147483647u))));
    json_object_object_add(root, "method", json_object_new_string("_async.stat"));
    json_object_object_add(params, key, json_tokener_parse(text));
    {
        std::lock_guard<std::mutex> guard(g_identity_lock);
        if (!g_model.empty())
            json_object_object_add(params, "model", json_object_new_string(g_model.c_str()));
        if (!g_fw_ver.empty())
            json_object_object_add(params, "fw_ver", json_object_new_string(g_fw_ver.c_str()));
    }
    json_object_object_add(params, "version", json_object_new_int(1));
    json_object_object_add(params, "tolkver", json_object_new_string("5.1.7.1"));
    json_object_object_add(root, "params", params);

    size_t msg_len = 0;
    const char *msg_text = json_object_to_json_string_length(root, JSON_C_TO_STRING_PLAIN, &msg_len);
    KO_LOGI(kModule, "statistics rpc msg: %s\n", msg_text);
    const int rc = ko_message_send(KO_UID_STAT, KO_UID_RPC, "rpc.rpc", msg_text, static_cast<uint32_t>(msg_len),
                                   KO_MSG_MODE_ASYNC);
    json_object_put(root);
    if (rc != 0) {
        KO_LOGE(kModule, "message push failed!\n");
        return -1;
    }
    return 0;
}

int report_stat_json(const char *key, json_object *obj)
{
    const char *text = json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN);
    if (!text) {
        KO_LOGE(kModule, "get string fail\n");
        return -1;
    }
    const int rc = report_stat_object(key, text);
    if (rc == 0)
        KO_LOGD(kModule, "report_stat_object len=%d: %s\n", static_cast<int>(std::strlen(text)), text);
    return rc;
}
