// The statistics reporter: its report table and tick, forced turns, the "tolk.stat" answer and the
// "sys.info" report of the system's own figures.
#include "common/report_stat/ko_report_statics.h"

#include <json-c/json.h>
#include <sys/sysinfo.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/ipc/ko_message.h"
#include "common/ipc/ko_timer.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"

namespace {

constexpr const char *kModule = "KO STATICS";
constexpr uint32_t kPeriodS = 3600;

struct ReportRow {
    uint32_t uid;
    uint32_t period;
    bool forced;
    uint32_t last_turn;
};

struct Reporter {
    std::mutex mutex; // the report table
    std::array<ReportRow, 11> rows;
    uint32_t tick = 0;
    int timer_id = -1;
};

Reporter g_reporter;

void reset_table(Reporter &r)
{
    static constexpr uint32_t kUids[] = {4, 9, 10, 8, 5, 11, 7, 2, 3, 13, 14};
    for (size_t i = 0; i < r.rows.size(); ++i)
        r.rows[i] = {kUids[i], kPeriodS, false, static_cast<uint32_t>(i + 1)};
    r.tick = 0;
}

int push(uint32_t to_uid, const char *key, const char *param, size_t len)
{
    return ko_message_send(KO_UID_STAT, to_uid, key, param, static_cast<uint32_t>(len), KO_MSG_MODE_ASYNC);
}

int push_text(uint32_t to_uid, const char *key, const char *text)
{
    return push(to_uid, key, text, std::strlen(text));
}

json_object *parse_param(const ko_message_arg *arg)
{
    return json_tokener_parse(std::string(static_cast<const char *>(arg->param), arg->len).c_str());
}

void stat_rpc_callback(const ko_message_arg *arg)
{
    if (!arg->param)
        return;
    KO_LOGI(kModule, "recv:%s\n", static_cast<const char *>(arg->param));
    json_object *root = parse_param(arg);
    json_object *model = nullptr, *fw_ver = nullptr;
    json_object_object_get_ex(root, "model", &model);
    json_object_object_get_ex(root, "fw_ver", &fw_ver);
    report_stat_identity_set(json_object_is_type(model, json_type_string) ? json_object_get_string(model) : nullptr,
                             json_object_is_type(fw_ver, json_type_string) ? json_object_get_string(fw_ver) : nullptr);
    json_object_put(root);
}

// A request handler's argument check: false (logged) without key or parameter.
bool request_ok(const ko_message_arg *arg)
{
    if (!arg->msgkey || !arg->param) {
        KO_LOGE(kModule, "invalid param!\n");
        return false;
    }
    KO_LOGI(kModule, "msgkey=%s,param=%s\n", arg->msgkey, static_cast<const char *>(arg->param));
    return true;
}

void msg_cb_rpc_tolk_stat(const ko_message_arg *arg)
{
    if (!request_ok(arg))
        return;
    json_object *root = parse_param(arg);
    if (!root) {
        KO_LOGE(kModule, "json parse fail\n");
        return;
    }
    json_object *id = nullptr;
    if (!json_object_object_get_ex(root, "id", &id)) {
        KO_LOGE(kModule, "id json fail\n");
        json_object_put(root);
        return;
    }
    report_single_triger(0);
    char reply[64];
    std::snprintf(reply, sizeof reply, "{\"id\":%d,\"result\":[\"OK\"]}", json_object_get_int(id));
    if (push_text(KO_UID_RPC, "rpc.rpc", reply) != 0)
        KO_LOGE(kModule, " message push failed!\n");
    json_object_put(root);
}

void msg_cb_cpu_report_stat(const ko_message_arg *arg)
{
    if (!request_ok(arg))
        return;
    struct sysinfo info {};
    if (sysinfo(&info) != 0) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "sysinfo", std::strerror(errno));
        return;
    }
    int heap_times = 0, heap_size = 0;
    vexa_heap_info_get(&heap_times, &heap_size);
    json_object *root = json_object_new_object();
    if (!root) {
        KO_LOGE(kModule, "root_json is null\n");
        return;
    }
    uint32_t tick;
    {
        std::lock_guard<std::mutex> lock(g_reporter.mutex);
        tick = g_reporter.tick;
    }
    auto add_int = [root](const char *key, int64_t v) { json_object_object_add(root, key, json_object_new_int64(v)); };
    auto add_load = [root](const char *key, unsigned long load) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", static_cast<double>(load) / 65536.0);
        json_object_object_add(root, key, json_object_new_string(text));
    };
    add_int("run_time", tick);
    add_int("uptime", info.uptime);
    add_load("loads_1", info.loads[0]);
    add_load("loads_5", info.loads[1]);
    add_load("loads_15", info.loads[2]);
    add_int("totalram", static_cast<int64_t>(info.totalram));
    add_int("freeram", static_cast<int64_t>(info.freeram));
    add_int("sharedram", static_cast<int64_t>(info.sharedram));
    add_int("bufferram", static_cast<int64_t>(info.bufferram));
    add_int("totalswap", static_cast<int64_t>(info.totalswap));
    add_int("freeswap", static_cast<int64_t>(info.freeswap));
    add_int("procs", info.procs);
    add_int("pad", info.pad);
    add_int("totalhigh", static_cast<int64_t>(info.totalhigh));
    add_int("freehigh", static_cast<int64_t>(info.freehigh));
    add_int("mem_unit", info.mem_unit);
    add_int("heap_times", heap_times);
    add_int("heap_size", heap_size);
    report_stat_json("sys.info", root);
    json_object_put(root);
}

int register_key(const char *key, ko_message_handler handler)
{
    return ko_message_listen(KO_UID_STAT, key, handler, nullptr);
}

} // namespace

void statics_timer_cb(int, void *)
{
    uint32_t to_uid = 0;
    {
        std::lock_guard<std::mutex> lock(g_reporter.mutex);
        const uint32_t tick = ++g_reporter.tick;
        for (size_t i = 0; i < g_reporter.rows.size(); ++i) {
            ReportRow &row = g_reporter.rows[i];
            const uint32_t since = row.last_turn < tick ? tick - row.last_turn : 0;
            if (!row.forced && since < row.period)
                continue;
            row.last_turn = tick;
            row.forced = false;
            to_uid = row.uid;
            KO_LOGD(kModule, "upload_statistics triger,i=%u,uid=%u\n", static_cast<unsigned>(i), row.uid);
            break;
        }
    }
    if (to_uid != 0 && push(to_uid, "upload_statistics", "hello", 5) != 0)
        KO_LOGE(kModule, " message push failed!\n");
}

int report_single_triger(uint32_t uid)
{
    if (uid > 14) {
        KO_LOGE(kModule, "uid para err,uid=%d,MAX=%d\n", static_cast<int>(uid), 15);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_reporter.mutex);
    if (uid == 0) {
        for (const ReportRow &row : g_reporter.rows)
            if (row.forced)
                return -1;
        for (ReportRow &row : g_reporter.rows)
            row.forced = true;
        return 0;
    }
    for (ReportRow &row : g_reporter.rows)
        if (row.uid == uid)
            row.forced = true;
    return 0;
}

int ko_report_statics_init(void)
{
    {
        std::lock_guard<std::mutex> lock(g_reporter.mutex);
        reset_table(g_reporter);
    }
    if (register_key("rpc.ack", stat_rpc_callback) != 0) {
        KO_LOGE(kModule, "msg [%s] register err\n", "rpc.ack");
        return -1;
    }
    if (register_key("sdkinfo_resp", stat_rpc_callback) != 0) {
        KO_LOGE(kModule, "msg [sdkinfo] register err\n");
        return -1;
    }
    const int ret = push_text(KO_UID_RPC, "rpc.register", "_async.stat");
    if (ret != 0)
        KO_LOGE(kModule, "push rpc ack msg failure ret: %#x\n", static_cast<unsigned>(ret));
    if (register_key("upload_statistics", msg_cb_cpu_report_stat) != 0 ||
        register_key("tolk.stat", msg_cb_rpc_tolk_stat) != 0) {
        KO_LOGE(kModule, " message register failed!\n");
        return -1;
    }
    if (push_text(KO_UID_RPC, "rpc.register", "tolk.stat") != 0) {
        KO_LOGE(kModule, " message push failed!\n");
        return -1;
    }
    ko_timer timer{};
    timer.first_ms = 1000;
    timer.interval_ms = 1000;
    timer.callback = statics_timer_cb;
    g_reporter.timer_id = ko_timer_add(&timer);
    if (g_reporter.timer_id < 0) {
        KO_LOGE(kModule, " add timer failed!\n");
        return -1;
    }
    const int sdk_info = push_text(KO_UID_SDK, "sdkinfo_req", "get sdk info");
    KO_LOGI(kModule, "report statics init done ret %d\n", sdk_info);
    return sdk_info;
}

int ko_report_statics_deinit(void)
{
    for (const char *key : {"rpc.ack", "sdkinfo_resp", "upload_statistics", "tolk.stat"}) {
        if (ko_message_unregister(KO_UID_STAT, key) != 0) {
            KO_LOGE(kModule, "unregister message failed!\n");
            return -1;
        }
    }
    if (ko_timer_del(g_reporter.timer_id) != 0) {
        KO_LOGE(kModule, " del timer failed!\n");
        return -1;
    }
    g_reporter.timer_id = -1;
    report_stat_reset();
    KO_LOGI(kModule, "report_statics : deinit ok!\n");
    return 0;
}
