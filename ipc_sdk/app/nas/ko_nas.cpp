// The NAS service's start and stop, its message-bus keys at uid 14 and its statistics.
#include "app/nas/ko_nas.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/nas/ko_nas_ev.h"
#include "app/nas/ko_nas_internal.h"
#include "app/nas/ko_nas_test.h"
#include "common/ipc/ko_message.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"

// Weak, so that the service alone does not pull the whole SDK start into a program; where the SDK
// runs, its record gives the device's MAC.
extern "C" ko_sdk_info *ko_ipc_get_sdk_info(void) __attribute__((weak));

namespace ko_nas {

Nas &nas()
{
    static Nas instance;
    return instance;
}

namespace {

const char *const kMethods[] = {"nas_scan",       "nas_list_dir",  "nas_set_config", "nas_get_config",
                                "nas_sync_start", "nas_sync_stop", "nas_exit",       "nas_clear_dir",
                                "nas_reset",      "nas_make_dir"};
const char *const kOwnKeys[] = {"nas.state_init", "nas.retry", "nas.sync_timer", "nas.sync_end"};

void on_method(const ko_message_arg *arg)
{
    if (!arg->param || arg->len == 0)
        return;
    dispatch(static_cast<const char *>(arg->param), strnlen(static_cast<const char *>(arg->param), arg->len));
}

void on_ack(const ko_message_arg *arg)
{
    KO_LOGI(kModule, "rpc.ack: %.*s\n", static_cast<int>(arg->len), static_cast<const char *>(arg->param));
}

void on_statistics(const ko_message_arg *)
{
    Nas &n = nas();
    json_object *obj = json_object_new_object();
    {
        std::lock_guard<std::mutex> hold(n.lock);
        json_object_object_add(obj, "ev_run_stat", json_object_new_int(n.initialised ? 1 : 0));
        json_object_object_add(obj, "save_cfg_err_times", json_object_new_int64(n.save_err));
        json_object_object_add(obj, "load_cfg_err_times", json_object_new_int64(n.load_err));
        json_object_object_add(obj, "nas_err_times", json_object_new_int64(n.err_times.load()));
        json_object_object_add(obj, "last_err_code", json_object_new_int64(n.last_err.load()));
        json_object_object_add(obj, "speed_average", json_object_new_int64(static_cast<int64_t>(n.speed)));
        json_object_object_add(obj, "last_trans_time", json_object_new_int64(static_cast<int64_t>(n.last_trans_s)));
    }
    report_stat_json("tolk_nas.info", obj);
    json_object_put(obj);
}

uint32_t value_of(const ko_message_arg *arg)
{
    const std::string text(static_cast<const char *>(arg->param), strnlen(static_cast<const char *>(arg->param), arg->len));
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

void on_own(const ko_message_arg *arg)
{
    Nas &n = nas();
    std::lock_guard<std::mutex> hold(n.lock);
    if (!n.initialised)
        return;
    if (std::strcmp(arg->msgkey, "nas.state_init") == 0) {
        nas_state_init(n, n.rec.state);
    } else if (std::strcmp(arg->msgkey, "nas.retry") == 0) {
        n.retry_armed = false;
        nas_state_init(n, n.rec.state);
    } else if (std::strcmp(arg->msgkey, "nas.sync_timer") == 0) {
        if (value_of(arg) != n.sync_timer_gen)
            return; // stopped or set again since
        if (n.sync_thread)
            return; // the running sync goes on; the next expiry tries again
        KO_LOGI(kModule, "start sync...\n");
        const int rc = sync_start(n);
        if (rc != 0) {
            set_error(n, rc);
            nas_state_transition(n, 1);
        }
        KO_LOGI(kModule, "Next sync time is %u\n", static_cast<unsigned>(n.rec.interval));
    } else if (std::strcmp(arg->msgkey, "nas.sync_end") == 0) {
        sync_end(n, value_of(arg));
    }
}

int listen(const char *key, ko_message_handler handler)
{
    const int rc = ko_message_listen(KO_UID_NAS, key, handler, nullptr);
    if (rc != 0)
        KO_LOGE(kModule, "nas msg [%s] register err %d\n", key, rc);
    return rc;
}

int announce(const char *method)
{
    const int rc = ko_message_send(KO_UID_NAS, KO_UID_RPC, "rpc.register", method,
                                   static_cast<uint32_t>(std::strlen(method)), KO_MSG_MODE_SYNC);
    if (rc < 0)
        KO_LOGE(kModule, "nas rpc [%s] register err ret %d\n", method, rc);
    return rc < 0 ? rc : 0;
}

void unregister_all()
{
    for (const char *key : kMethods)
        ko_message_unregister(KO_UID_NAS, key);
    for (const char *key : kOwnKeys)
        ko_message_unregister(KO_UID_NAS, key);
    ko_message_unregister(KO_UID_NAS, "upload_statistics");
    ko_message_unregister(KO_UID_NAS, "rpc.ack");
}

int register_all()
{
    if (listen("upload_statistics", on_statistics) != 0 || listen("rpc.ack", on_ack) != 0)
        return -1;
    for (const char *key : kOwnKeys)
        if (listen(key, on_own) != 0)
            return -1;
    for (const char *method : kMethods)
        if (listen(method, on_method) != 0 || announce(method) != 0)
            return -1;
    return announce("_async.stat");
}

std::string mac_hex()
{
    std::string out;
    const ko_sdk_info *info = ko_ipc_get_sdk_info ? ko_ipc_get_sdk_info() : nullptr;
    if (info)
        for (const char *p = info->param.mac; *p; ++p)
            if (std::isxdigit(static_cast<unsigned char>(*p)))
                out += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return out;
}

} // namespace

int post_self(const char *key, uint32_t value)
{
    const std::string text = std::to_string(value);
    const int rc = ko_message_send(KO_UID_NAS, KO_UID_NAS, key, text.c_str(), static_cast<uint32_t>(text.size()),
                                   KO_MSG_MODE_ASYNC);
    if (rc != 0)
        KO_LOGE(kModule, "nas msg [%s] not queued (%d)\n", key, rc);
    return rc;
}

} // namespace ko_nas

using namespace ko_nas;

int ko_nas_init(void)
{
    Nas &n = nas();
    {
        std::lock_guard<std::mutex> hold(n.lock);
        if (n.initialised) {
            KO_LOGE(kModule, "nas init failed %d\n", -1);
            return -1;
        }
    }
    // The loop serves others too: it runs even when the service cannot start.
    if (ko_nas_ev_start() != 0)
        KO_LOGW(kModule, "nas_ev was running already\n");
    if (register_all() != 0) {
        KO_LOGE(kModule, "nas rpc init failed %d\n", -1);
        unregister_all();
        return -1;
    }
    std::lock_guard<std::mutex> hold(n.lock);
    n.rec = ko_nas_record{};
    n.save_err = n.load_err = 0;
    n.err_times = 0;
    n.last_err = 0;
    n.speed = n.last_trans_s = 0;
    n.retry_armed = false;
    n.mac_hex = mac_hex();
    load_config(n);
    n.initialised = true;
    // A saved share is mounted on a bus worker, not on the caller's (start-up) thread.
    if (post_self("nas.state_init", 0) != 0)
        KO_LOGE(kModule, "nas init failed %d\n", -1);
    return 0;
}

int ko_nas_deinit(void)
{
    Nas &n = nas();
    KO_LOGI(kModule, "nas deinit start.\n");
    unregister_all();
    {
        std::lock_guard<std::mutex> hold(n.lock);
        if (!n.initialised) {
            KO_LOGE(kModule, "nas is not started\n");
            return -1;
        }
        n.initialised = false;
        stop_sync(n);
    }
    ko_nas_ev_stop(stop_watchers, nullptr);
    std::lock_guard<std::mutex> hold(n.lock);
    release_share(n);
    reset_config(n);
    KO_LOGI(kModule, "nas deinit ok.\n");
    return 0;
}

void ko_nas_test_set_time_scale(double factor)
{
    std::lock_guard<std::mutex> hold(nas().lock);
    nas().time_scale = factor > 0 ? factor : 1.0;
}

int ko_nas_test_state(void)
{
    std::lock_guard<std::mutex> hold(nas().lock);
    return nas().rec.state;
}

int ko_nas_test_error(void)
{
    std::lock_guard<std::mutex> hold(nas().lock);
    return nas().rec.error;
}

int ko_nas_test_timers(void)
{
    return armed_timers();
}

int ko_nas_test_syncing(void)
{
    std::lock_guard<std::mutex> hold(nas().lock);
    return nas().sync_thread ? 1 : 0;
}

unsigned ko_nas_test_syncs_started(void)
{
    std::lock_guard<std::mutex> hold(nas().lock);
    return nas().sync_gen;
}

unsigned long long ko_nas_test_last_sync(void)
{
    std::lock_guard<std::mutex> hold(nas().lock);
    return nas().rec.last_sync;
}
