// The message bus's front: start and stop, the (uid, key) registry, the 256-slot queue, synchronous
// and queued pushes, and the bus's own "msg.info" statistics report.
#include "common/ipc/ko_message.h"

#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <json-c/json.h>

#include "common/ipc/ko_message_internal.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"

namespace ko_msg {

// The bus's state is never destroyed: exit handlers run while workers still wait on its
// condition variables (destroying those would block the exit) or look up its registry.
Bus &g_bus = *new Bus;
Counters &g_counters = *new Counters;

namespace {

// Registry: uid -> key -> registration; std::map keeps uids in order for pushes to every uid.
std::mutex g_reg_lock;
auto &g_registry = *new std::map<uint32_t, std::unordered_map<std::string, ko_message_reg>>;

// Queue: a rolling index over 256 slots; a slot is empty or holds one record.
std::mutex g_queue_lock;
std::array<std::optional<Record>, KO_MSG_QUEUE_SLOTS> g_queue;
unsigned g_in = 0;
unsigned g_out = 0;

std::string key_of(const char *key, size_t max)
{
    return std::string(key, strnlen(key, max));
}

bool is_running()
{
    std::lock_guard<std::mutex> guard(g_bus.lock);
    return g_bus.running;
}

// Copies `len` parameter bytes into a zero-terminated block of len + 1 bytes.
char *copy_param(const void *param, uint32_t len)
{
    auto *copy = static_cast<char *>(vexa_malloc(static_cast<size_t>(len) + 1));
    if (copy)
        std::memcpy(copy, param, len);
    return copy;
}

// Queues one record (message_push); on a refusal the record's copy is freed.
int queue_push(Record &&rec)
{
    ++g_counters.push;
    if (!rec.handler || !rec.param) {
        KO_LOGE(kModule, "message center: param is null!\n");
        record_free(&rec);
        ++g_counters.push_err;
        return -1;
    }
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(g_queue_lock);
        if (g_in >= KO_MSG_QUEUE_SLOTS)
            g_in = 0;
        if (!g_queue[g_in]) {
            g_queue[g_in] = std::move(rec);
            ++g_in;
            queued = true;
        }
    }
    if (queued) {
        // The bus lock is taken after the queue lock is released: workers nest them the other way.
        std::lock_guard<std::mutex> bus_guard(g_bus.lock);
        g_bus.work_cv.notify_one();
        return 0;
    }
    KO_LOGE(kModule, "message center: message enough, key=%s,fromid=%u,toid=%u!\n", rec.msgkey, rec.from_uid,
            rec.to_uid);
    record_free(&rec);
    ++g_counters.push_err;
    ++g_counters.enough;
    return KO_MSG_ERR_FULL;
}

Record make_record(const ko_message *msg, uint32_t to_uid, ko_message_handler handler, void *user, uint64_t timeout)
{
    Record rec;
    rec.from_uid = msg->from_uid;
    rec.to_uid = to_uid;
    std::memcpy(rec.msgkey, msg->msgkey, sizeof(rec.msgkey));
    rec.msgkey[sizeof(rec.msgkey) - 1] = '\0';
    rec.len = msg->len;
    rec.user = user;
    rec.timeout_ms = timeout;
    rec.handler = handler;
    return rec;
}

// The registrations a push addresses, copied under the registry lock.
std::vector<ko_message_reg> lookup(uint32_t to_uid, const std::string &key)
{
    std::vector<ko_message_reg> found;
    std::lock_guard<std::mutex> guard(g_reg_lock);
    for (const auto &[uid, keys] : g_registry) {
        if (to_uid != KO_UID_ALL && uid != to_uid)
            continue;
        auto it = keys.find(key);
        if (it != keys.end())
            found.push_back(it->second);
    }
    return found;
}

int push_queued(const ko_message *msg)
{
    ++g_counters.asyn_msg;
    if (msg->target == KO_MSG_TARGET_CALLBACK) {
        Record rec = make_record(msg, msg->to_uid, msg->callback, msg->user, msg->timeout_ms);
        rec.param = copy_param(msg->param, msg->len);
        if (!rec.param) {
            KO_LOGE(kModule, "message center: malloc wrong!\n");
            ++g_counters.asyn_msg_err;
            return -1;
        }
        return queue_push(std::move(rec));
    }
    const std::string key = key_of(msg->msgkey, sizeof(msg->msgkey));
    for (const auto &reg : lookup(msg->to_uid, key)) {
        Record rec = make_record(msg, reg.uid, reg.handler, reg.user, reg.timeout_ms);
        rec.param = copy_param(msg->param, msg->len);
        if (!rec.param) {
            KO_LOGE(kModule, "message center: malloc wrong!\n");
            ++g_counters.asyn_msg_err;
            return -1;
        }
        const int rc = queue_push(std::move(rec));
        if (rc != 0)
            return rc;
    }
    return 0;
}

int push_sync(const ko_message *msg)
{
    ++g_counters.syn_msg;
    ko_message_arg arg{};
    arg.from_uid = msg->from_uid;
    arg.msgkey = msg->msgkey;
    arg.param = msg->param;
    arg.len = msg->len;
    if (msg->target == KO_MSG_TARGET_CALLBACK) {
        if (!msg->callback) {
            KO_LOGE(kModule, "message center: param is null!\n");
            ++g_counters.syn_msg_err;
            return -1;
        }
        arg.user = msg->user;
        msg->callback(&arg);
        return 0;
    }
    // The handlers run on a snapshot, without the registry lock: a handler may unregister itself.
    for (const auto &reg : lookup(msg->to_uid, key_of(msg->msgkey, sizeof(msg->msgkey)))) {
        arg.user = reg.user;
        reg.handler(&arg);
    }
    return 0;
}

void msg_cb_msg_report_stat(const ko_message_arg *arg)
{
    if (!arg || !arg->msgkey || !arg->param) {
        KO_LOGE(kModule, "invalid param!\n");
        return;
    }
    KO_LOGI(kModule, "msgkey=%s,param=%.*s\n", arg->msgkey, static_cast<int>(arg->len),
            static_cast<const char *>(arg->param));
    json_object *root = json_object_new_object();
    if (!root) {
        KO_LOGE(kModule, "root_json is null\n");
        return;
    }
    const std::pair<const char *, std::atomic<uint32_t> *> fields[] = {
        {"asyn_msg", &g_counters.asyn_msg},       {"asyn_msg_err", &g_counters.asyn_msg_err},
        {"syn_msg", &g_counters.syn_msg},         {"syn_msg_err", &g_counters.syn_msg_err},
        {"push", &g_counters.push},               {"push_err", &g_counters.push_err},
        {"pull", &g_counters.pull},               {"pull_err", &g_counters.pull_err},
        {"cb_time_max", &g_counters.cb_time_max}, {"cb_time_toid", &g_counters.cb_time_toid},
        {"cb_timeout", &g_counters.cb_timeout},   {"cb_timeout_toid", &g_counters.cb_timeout_toid},
        {"enough", &g_counters.enough},           {"thread_max", &g_counters.thread_max},
    };
    for (const auto &[name, counter] : fields)
        json_object_object_add(root, name, json_object_new_int64(counter->load()));
    const char *text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
    if (!text) {
        KO_LOGE(kModule, "get string fail\n");
        json_object_put(root);
        return;
    }
    const int rc = report_stat_object("msg.info", text);
    KO_LOGD(kModule, "report_stat_object len=%d: %s\n", static_cast<int>(std::strlen(text)), text);
    json_object_put(root);
    if (rc == 0)
        for (const auto &field : fields)
            field.second->store(0);
}

void clear_registry_and_queue()
{
    {
        std::lock_guard<std::mutex> guard(g_reg_lock);
        g_registry.clear();
    }
    std::lock_guard<std::mutex> guard(g_queue_lock);
    for (auto &slot : g_queue) {
        if (slot)
            record_free(&*slot);
        slot.reset();
    }
    g_in = 0;
    g_out = 0;
}

} // namespace

bool queue_pull(Record *out)
{
    ++g_counters.pull;
    std::lock_guard<std::mutex> guard(g_queue_lock);
    if (g_out >= KO_MSG_QUEUE_SLOTS)
        g_out = 0;
    if (!g_queue[g_out])
        return false;
    *out = std::move(*g_queue[g_out]);
    g_queue[g_out].reset();
    ++g_out;
    return true;
}

void record_free(Record *rec)
{
    vexa_free(rec->param);
    rec->param = nullptr;
}

} // namespace ko_msg

using namespace ko_msg;

int ko_message_init(const void *config)
{
    (void)config;
    {
        std::lock_guard<std::mutex> guard(g_bus.lock);
        if (g_bus.running) {
            KO_LOGE(kModule, "message center: is also live!\n");
            return -1;
        }
        g_bus.running = true;
        g_bus.live = 0;
        g_bus.busy = 0;
        g_bus.exit_requests = 0;
    }
    ko_thread_attr attr{};
    attr.stack_size = 128 * 1024;
    std::strcpy(attr.name, "msg_main");
    ko_thread *main = ko_thread_run(&attr, main_thread, nullptr);
    if (!main) {
        KO_LOGE(kModule, "message center: pthread_create wrong!\n");
        std::lock_guard<std::mutex> guard(g_bus.lock);
        g_bus.running = false;
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(g_bus.lock);
        g_bus.main_thread = main;
    }
    KO_LOGI(kModule, "message center: init ok!\n");

    ko_message_reg reg{};
    reg.uid = KO_UID_MESSAGE;
    std::strcpy(reg.msgkey, "upload_statistics");
    reg.handler = msg_cb_msg_report_stat;
    if (ko_message_register(&reg) != 0) {
        KO_LOGE("KO REC", " message register failed!\n");
        return -1;
    }
    return 0;
}

int ko_message_deinit(void)
{
    if (!is_running()) {
        KO_LOGE(kModule, "message center: is dead!\n");
        return -1;
    }
    if (ko_message_unregister(KO_UID_MESSAGE, "upload_statistics") != 0) {
        KO_LOGE(kModule, "unregister message failed!\n");
        return -1;
    }
    ko_thread *main = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_bus.lock);
        g_bus.running = false;
        main = g_bus.main_thread;
        g_bus.main_thread = nullptr;
        g_bus.main_cv.notify_all();
        g_bus.work_cv.notify_all();
    }
    ko_thread_destory(main);
    clear_registry_and_queue();
    KO_LOGI(kModule, "message center: deinit ok!\n");
    return 0;
}

int ko_message_register(const ko_message_reg *reg)
{
    if (!is_running()) {
        KO_LOGE(kModule, "message center: is dead!\n");
        return -1;
    }
    if (!reg || !reg->handler) {
        KO_LOGE(kModule, "message center: param is null!\n");
        return -1;
    }
    if (reg->uid > KO_UID_MAX || reg->msgkey[0] == '\0') {
        KO_LOGE(kModule, "message center: invalid uid or key!\n");
        return -1;
    }
    ko_message_reg copy = *reg;
    copy.msgkey[sizeof(copy.msgkey) - 1] = '\0';
    std::lock_guard<std::mutex> guard(g_reg_lock);
    try {
        g_registry[copy.uid][copy.msgkey] = copy;
    } catch (const std::bad_alloc &) {
        KO_LOGE(kModule, "message center: malloc wrong!\n");
        return -1;
    }
    return 0;
}

int ko_message_unregister(uint32_t uid, const char *msgkey)
{
    if (!is_running()) {
        KO_LOGE(kModule, "message center: is dead!\n");
        return -1;
    }
    if (uid > KO_UID_MAX || !msgkey || msgkey[0] == '\0') {
        KO_LOGE(kModule, "message center: param is invalid!\n");
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_reg_lock);
    auto node = g_registry.find(uid);
    if (node == g_registry.end()) {
        KO_LOGE(kModule, "message center: uid is not found!\n");
        return KO_MSG_ERR_UID;
    }
    if (node->second.erase(key_of(msgkey, KO_MSG_KEY_LEN - 1)) == 0) {
        KO_LOGE(kModule, "message center: message key is not found!\n");
        return KO_MSG_ERR_KEY;
    }
    if (node->second.empty())
        g_registry.erase(node);
    return 0;
}

int ko_message_push(const ko_message *msg)
{
    if (!is_running()) {
        KO_LOGE(kModule, "message center: is dead!\n");
        return -1;
    }
    if (!msg || !msg->param) {
        KO_LOGE(kModule, "message center: param is null!\n");
        return -1;
    }
    if (msg->to_uid > KO_UID_MAX || msg->msgkey[0] == '\0' || msg->len < 1 || msg->len > KO_MSG_PARAM_MAX) {
        KO_LOGE(kModule, "message center: param is invalid!\n");
        return -1;
    }
    if (msg->mode == KO_MSG_MODE_ASYNC)
        return push_queued(msg);
    if (msg->mode == KO_MSG_MODE_SYNC)
        return push_sync(msg);
    return 0;
}

int ko_message_stat_get(ko_message_stat *stat, int *live_workers, int *busy_workers)
{
    {
        std::lock_guard<std::mutex> guard(g_bus.lock);
        if (!g_bus.running)
            return -1;
        if (live_workers)
            *live_workers = g_bus.live;
        if (busy_workers)
            *busy_workers = g_bus.busy;
    }
    if (stat) {
        *stat = ko_message_stat{g_counters.asyn_msg,     g_counters.asyn_msg_err, g_counters.syn_msg,
                                g_counters.syn_msg_err,  g_counters.push,         g_counters.push_err,
                                g_counters.pull,         g_counters.pull_err,     g_counters.cb_time_max,
                                g_counters.cb_time_toid, g_counters.cb_timeout,   g_counters.cb_timeout_toid,
                                g_counters.enough,       g_counters.thread_max};
    }
    return 0;
}

namespace {

bool copy_key(char (&dst)[KO_MSG_KEY_LEN], const char *key)
{
    if (!key || std::strlen(key) >= KO_MSG_KEY_LEN) {
        KO_LOGE(kModule, "message center: invalid uid or key!\n");
        return false;
    }
    std::strcpy(dst, key);
    return true;
}

} // namespace

int ko_message_send(uint32_t from_uid, uint32_t to_uid, const char *msgkey, const void *param, uint32_t len,
                    uint32_t mode)
{
    ko_message msg{};
    if (!copy_key(msg.msgkey, msgkey))
        return -1;
    msg.from_uid = from_uid;
    msg.to_uid = to_uid;
    msg.param = param;
    msg.len = len;
    msg.mode = mode;
    msg.target = KO_MSG_TARGET_REG;
    return ko_message_push(&msg);
}

int ko_message_listen(uint32_t uid, const char *msgkey, ko_message_handler handler, void *user)
{
    ko_message_reg reg{};
    if (!copy_key(reg.msgkey, msgkey))
        return -1;
    reg.uid = uid;
    reg.user = user;
    reg.handler = handler;
    return ko_message_register(&reg);
}
