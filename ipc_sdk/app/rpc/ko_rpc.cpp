// Start and stop of the RPC link, its bus handlers at uid 7 and its statistics report.
#include <fcntl.h>
#include <json-c/json.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <cstring>
#include <string>

#include "app/rpc/ko_rpc_internal.h"
#include "common/ipc/ko_message.h"
#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_log.h"

namespace ko_rpc {

const char *const kCounterNames[18] = {
    "iner_fd_msg", "rpc_fd_msg", "parse_err", "net_recv_err", "rpc_down", "down_ack", "down_cmd", "rpc_up", "up_ack",
    "up_cmd", "rpc_send", "rpc_send_err", "rpc_reg_count", "rpc_inner_max", "step1", "step2", "step3", "step4"};

Module &module()
{
    static Module instance;
    return instance;
}

namespace {

void register_method(Module &m, const char *name)
{
    std::lock_guard<std::mutex> lock(m.mutex);
    m.counters.add(Counters::rpc_reg_count);
    m.counters.set(Counters::rpc_inner_max, kInnerSlots);
    // A shortened name would never match its method, or would match another one.
    const size_t len = std::strlen(name);
    if (len == 0 || len > kInnerNameMax) {
        KO_LOGE(kModule, "inner method name must have 1 to %zu characters: %s\n", kInnerNameMax, name);
        return;
    }
    std::string *free_slot = nullptr;
    for (auto &slot : m.inner) {
        if (slot == name)
            return;
        if (slot.empty() && !free_slot)
            free_slot = &slot;
    }
    if (!free_slot) {
        KO_LOGE(kModule, "please increase inner method size. register method:%s\n", name);
        return;
    }
    free_slot->assign(name, len);
    KO_LOGI(kModule, "add inner method [%s] ok\n", free_slot->c_str());
}

void unregister_method(Module &m, const char *name)
{
    std::lock_guard<std::mutex> lock(m.mutex);
    bool found = false;
    for (auto &slot : m.inner) {
        if (!slot.empty() && slot == name) {
            slot.clear();
            found = true;
            break;
        }
    }
    if (!found)
        KO_LOGW(kModule, "not register method:%s\n", name);
    m.counters.add(Counters::rpc_reg_count, -1);
}

void on_message(const ko_message_arg *arg)
{
    Module &m = module();
    if (!m.running.load())
        return;
    if (!arg->msgkey || !arg->param || arg->len == 0 || arg->len > kMaxMessageLen) {
        KO_LOGE(kModule, "invalid param vp_msgkey=%s vp_param=%p vp_len=%lu\n", arg->msgkey ? arg->msgkey : "(null)",
                arg->param, static_cast<unsigned long>(arg->len));
        return;
    }
    const char *text = static_cast<const char *>(arg->param);
    // The bus NUL-terminates its copy, but a synchronous sender's text need not be.
    const std::string param(text, strnlen(text, arg->len));
    if (std::strcmp(arg->msgkey, "rpc.rpc") == 0) {
        const std::string user_name = std::to_string(arg->from_uid);
        std::lock_guard<std::mutex> lock(m.mutex);
        const int used = parse_msg(m, param.data(), param.size(), kUp, user_name.c_str());
        if (used < 0)
            m.counters.add(Counters::parse_err);
        KO_LOGD(kModule, "vp_from=%d user_name:%s proc_len=%d msg_len=%d \nmsg:%s \n", arg->from_uid,
                user_name.c_str(), used, static_cast<int>(param.size()), param.c_str());
    } else if (std::strcmp(arg->msgkey, "rpc.register") == 0) {
        register_method(m, param.c_str());
    } else if (std::strcmp(arg->msgkey, "rpc.unregister") == 0) {
        unregister_method(m, param.c_str());
    } else {
        KO_LOGE(kModule, "not correct msg key. vp_msgkey=%s vp_param=%p vp_len=%lu\n", arg->msgkey, arg->param,
                static_cast<unsigned long>(arg->len));
    }
}

void on_user(const ko_message_arg *arg)
{
    if (arg->msgkey && std::strcmp(arg->msgkey, "rpc.user") == 0 && arg->param && arg->len > 0)
        ko_rpc_receive(static_cast<const char *>(arg->param), static_cast<int>(arg->len));
}

void on_report(const ko_message_arg *arg)
{
    if (!arg->msgkey || !arg->param) {
        KO_LOGE(kModule, "invalid param!\n");
        return;
    }
    KO_LOGI(kModule, "msgkey=%s,param=%s\n", arg->msgkey, static_cast<const char *>(arg->param));
    Module &m = module();
    json_object *root = json_object_new_object();
    if (!root) {
        KO_LOGE(kModule, "root_json is null\n");
        return;
    }
    for (size_t i = 0; i < m.counters.values.size(); ++i)
        json_object_object_add(root, kCounterNames[i],
                               json_object_new_int64(m.counters.values[i].exchange(0, std::memory_order_relaxed)));
    report_stat_json("rpc.info", root);
    json_object_put(root);
}

void stop_thread(Module &m)
{
    m.stop.store(true);
    wake_link_thread(m);
    ko_thread_destory(m.thread);
    m.thread = nullptr;
    close(m.wake[0]);
    close(m.wake[1]);
    m.wake[0] = m.wake[1] = -1;
}

int register_key(const char *key, ko_message_handler handler)
{
    return ko_message_listen(KO_UID_RPC, key, handler, nullptr);
}

} // namespace

} // namespace ko_rpc

using namespace ko_rpc;

int ko_rpc_init(void)
{
    Module &m = module();
    if (m.initialised) {
        KO_LOGE(kModule, "rpc has been inited\n");
        return -1;
    }
    for (auto &slot : m.inner)
        slot.clear();
    m.stop.store(false);
    for (auto &link : m.links) {
        link.fd = -1;
        link.framer.reset();
        link.out.clear();
        link.reconnect_at_ms = 0;
    }
    m.connect_failures = 0;
    m.refused = m.refused_unlogged = 0;
    m.refused_logged_ms = 0;
    if (pipe2(m.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        KO_LOGE(kModule, "system call err:%s, errno:%s\n", "pipe ", strerror(errno));
        return -1;
    }
    // Sends before the loop is up find no link and fail like any send to a closed link.
    m.initialised = true;
    ko_thread_attr attr{};
    attr.stack_size = 1024 * 1024;
    std::snprintf(attr.name, sizeof attr.name, "rpc_mg");
    m.thread = ko_thread_run(&attr, link_loop, &m);
    if (!m.thread) {
        KO_LOGE(kModule, "create link ot init pthread failure\n");
        m.initialised = false;
        close(m.wake[0]);
        close(m.wake[1]);
        return -1;
    }
    const struct {
        const char *key;
        ko_message_handler handler;
    } keys[] = {{"rpc.rpc", on_message}, {"rpc.register", on_message}, {"rpc.unregister", on_message},
                {"rpc.user", on_user}, {"upload_statistics", on_report}};
    for (size_t i = 0; i < std::size(keys); ++i) {
        const int ret = register_key(keys[i].key, keys[i].handler);
        if (ret == 0)
            continue;
        if (i + 1 == std::size(keys))
            KO_LOGE(kModule, " message register failed!\n");
        else
            KO_LOGE(kModule, "register local message failure ret=%d v_uid=%d v_key=%s cb_onmsg=%p\n", ret,
                    KO_UID_RPC, keys[i].key, reinterpret_cast<void *>(keys[i].handler));
        // Leave nothing running behind a failed start, so that a later start can succeed.
        while (i-- > 0)
            ko_message_unregister(KO_UID_RPC, keys[i].key);
        stop_thread(m);
        m.initialised = false;
        return -1;
    }
    m.running.store(true);
    return 0;
}

int ko_rpc_deinit(void)
{
    Module &m = module();
    if (!m.initialised) {
        KO_LOGE(kModule, "Please init rpc firstly\n");
        return -1;
    }
    KO_LOGI(kModule, "rpc : deinit start\n");
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        for (const char *key : {"rpc.rpc", "rpc.register", "rpc.unregister", "rpc.user", "upload_statistics"}) {
            const int ret = ko_message_unregister(KO_UID_RPC, key);
            if (ret != 0) {
                KO_LOGE(kModule, "unregister local message failure ret=%d v_uid=%d v_key=%s\n", ret, KO_UID_RPC, key);
                return -1;
            }
        }
        KO_LOGI(kModule, "unregister local message success\n");
    }
    stop_thread(m);
    KO_LOGI(kModule, "exit link thread success\n");
    std::lock_guard<std::mutex> lock(m.mutex);
    m.ids.clear();
    m.running.store(false);
    m.initialised = false;
    KO_LOGI(kModule, "rpc : deinit ok!\n");
    return 0;
}

int ko_rpc_send(const char *msg, int msg_len)
{
    if (!msg || msg_len <= 0) {
        KO_LOGE(kModule, "msg=%p msg_len=%d\n", static_cast<const void *>(msg), msg_len);
        return -1;
    }
    Module &m = module();
    if (!m.running.load())
        return 0;
    std::lock_guard<std::mutex> lock(m.mutex);
    const uint32_t refused_before = m.refused;
    if (parse_msg(m, msg, static_cast<size_t>(msg_len), kUp, "15") < 0)
        m.counters.add(Counters::parse_err);
    return m.refused == refused_before ? 0 : -1;
}

void ko_rpc_stat_get(ko_rpc_stat *out)
{
    if (!out)
        return;
    std::array<uint32_t, 18> values;
    static_assert(sizeof values == sizeof *out, "one field per counter");
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = module().counters.values[i].load(std::memory_order_relaxed);
    std::memcpy(out, values.data(), sizeof *out);
}
