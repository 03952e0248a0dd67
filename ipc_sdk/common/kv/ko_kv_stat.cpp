// The kv store's statistics report: its nine counters as "tolk_kv.info" when the reporter asks on
// the message bus (uid 13, "upload_statistics").
#include <json-c/json.h>

#include "common/ipc/ko_message.h"
#include "common/kv/ko_kv_internal.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_log.h"

namespace {

void _ko_kv_stat_report(const ko_message_arg *arg)
{
    if (!arg || !arg->msgkey || !arg->param) {
        KO_LOGE(KO_KV_MODULE, "invalid param!\n");
        return;
    }
    KO_LOGI(KO_KV_MODULE, "msgkey=%s,param=%s\n", arg->msgkey, static_cast<const char *>(arg->param));
    json_object *root = json_object_new_object();
    if (!root) {
        KO_LOGE(KO_KV_MODULE, "root_json is null.\n");
        return;
    }
    const ko_kv_counters &c = g_ko_kv.cnt;
    const std::pair<const char *, int32_t> items[] = {
        {"open_err_cnt", c.open_err_cnt},   {"get_err_cnt", c.get_err_cnt},     {"set_err_cnt", c.set_err_cnt},
        {"del_err_cnt", c.del_err_cnt},     {"crc32_err_cnt", c.crc32_err_cnt}, {"enc_err_cnt", c.enc_err_cnt},
        {"dec_err_cnt", c.dec_err_cnt},     {"last_err_code", c.last_err_code},
        {"last_unqlite_code", c.last_unqlite_code}};
    for (const auto &[name, value] : items)
        json_object_object_add(root, name, json_object_new_int(value));
    const char *text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
    if (!text) {
        KO_LOGE(KO_KV_MODULE, "get string fail\n");
    } else {
        KO_LOGI(KO_KV_MODULE, "report info:%s\n", text);
        if (report_stat_object("tolk_kv.info", text) != 0)
            KO_LOGW(KO_KV_MODULE, "report of tolk_kv.info refused\n");
    }
    json_object_put(root);
}

} // namespace

int ko_kv_stat_register(void)
{
    return ko_message_listen(KO_UID_KV, "upload_statistics", _ko_kv_stat_report, nullptr);
}
