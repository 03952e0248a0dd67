// The SDK core's start and stop: the information record `g_sdk_info` and the services brought up in
// their fixed order. A start that fails part-way stops again, in reverse order, what it had started,
// so that a later start can succeed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/rpc/ko_rpc.h"
#include "common/conf_save/ko_config.h"
#include "common/event/ko_event.h"
#include "common/ipc/ko_message.h"
#include "common/ipc/ko_timer.h"
#include "common/kv/ko_device_token.h"
#include "common/kv/ko_kv.h"
#include "common/report_stat/ko_report_statics.h"
#include "common/report_stat/ko_watchdog.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/sdk/ko_sdk_internal.h"
#include "common/sdk/ko_sdk_test.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"

ko_sdk_info *g_sdk_info = nullptr;

namespace ko_sdk {
// Bus handlers of the SDK core itself (ko_ipc_sdk_snapshot.cpp).
int register_core_handlers();
void unregister_core_handlers();
} // namespace ko_sdk

namespace {

constexpr int kTimerCount = 16;

int camera_state_now()
{
    ko_sdk_info *record = g_sdk_info;
    if (!record)
        return 0;
    ko_sdk::RecordLock guard(record);
    return record->camera_state;
}

int start_config(ko_sdk_info *r) { return ko_config_init(r->param.data_dir); }
int start_message(ko_sdk_info *) { return ko_message_init(nullptr); }
int start_rpc(ko_sdk_info *) { return ko_rpc_init(); }
int start_timer(ko_sdk_info *) { return ko_timer_init(kTimerCount); }
int start_core_handlers(ko_sdk_info *) { return ko_sdk::register_core_handlers(); }
int start_ot(ko_sdk_info *r) { return ko_linux_ot_rpc_sub(r); }
int start_statistics(ko_sdk_info *) { return ko_report_statics_init(); }
int start_watchdog(ko_sdk_info *)
{
    ko_thread_watchdog_set_state_source(camera_state_now);
    return ko_thread_watchdog_init();
}
int start_kv(ko_sdk_info *r)
{
    ko_kv_init_param kv{};
    std::snprintf(kv.path, sizeof kv.path, "%.*s", 127, r->param.data_dir);
    std::snprintf(kv.mac, sizeof kv.mac, "%.*s", 31, r->param.mac);
    return ko_kv_init(&kv);
}
int start_event(ko_sdk_info *) { return ko_event_manage_init(); }
int start_token(ko_sdk_info *r)
{
    int token_type = 0;
    const int len = token_read(r->param.data_dir, reinterpret_cast<char *>(r->token), sizeof r->token, &token_type);
    if (len < 0)
        return len;
    ko_sdk::RecordLock guard(r);
    r->token_len = len;
    r->token_type = token_type;
    return 0;
}

int stop_core_handlers()
{
    ko_sdk::unregister_core_handlers();
    return 0;
}
int stop_ot()
{
    ko_sdk::ot_rpc_unsub();
    return 0;
}
int stop_nothing() { return 0; }

struct Step {
    const char *name;
    int (*start)(ko_sdk_info *);
    const char *start_error;
    int (*stop)();
    const char *stop_error;
};

enum StepId { kConfig, kMessage, kRpc, kTimer, kCoreHandlers, kOt, kStatistics, kWatchdog, kKv, kEvent, kToken, kStepCount };

const Step kSteps[kStepCount] = {
    {"config", start_config, "config init error\n", ko_config_deinit, "ko_config_deinit failed\n"},
    {"message", start_message, "ko msg center init error\n", ko_message_deinit, "ko_message_deinit failed\n"},
    {"rpc", start_rpc, "ko rpc init error\n", ko_rpc_deinit, "ko_rpc_deinit failed\n"},
    {"timer", start_timer, "ko timer init error\n", ko_timer_deinit, "ko_timer_deinit failed\n"},
    {"sdk_handlers", start_core_handlers, "register sdk message failed\n", stop_core_handlers, ""},
    {"ot_methods", start_ot, nullptr, stop_ot, ""},
    {"statistics", start_statistics, "ko report statics init error\n", ko_report_statics_deinit,
     "ko_report_statics_deinit failed\n"},
    {"watchdog", start_watchdog, "ko_thread_watchdog_init error\n", ko_thread_watchdog_deinit,
     "ko_thread_watchdog_deinit failed\n"},
    {"kv", start_kv, "init tolk kv module failed\n", ko_kv_deinit, "ko_kv_deinit failed\n"},
    {"event", start_event, "ko_event_manage_init error\n", ko_event_manage_deinit, "ko_event_manage_deinit failed\n"},
    {"token", start_token, "read token error\n", stop_nothing, ""},
};

// The order of an orderly stop; the bus and the timers stay up until the handlers that use them are off.
const StepId kStopOrder[] = {kWatchdog, kStatistics, kConfig, kOt, kCoreHandlers, kRpc, kTimer, kMessage, kEvent, kKv};

// Steps that stand, in start order.
int g_started[kStepCount];
int g_started_count = 0;

void free_record()
{
    ko_sdk_info *record = g_sdk_info;
    g_sdk_info = nullptr;
    pthread_mutex_destroy(&record->mutex);
    vexa_free(record);
}

// Stops, newest first, every step that stands; for a start that failed part-way.
void undo_started()
{
    while (g_started_count > 0) {
        const Step &step = kSteps[g_started[--g_started_count]];
        if (step.stop() != 0 && step.stop_error[0] != '\0')
            KO_LOGE(KO_IPC_MODULE, "%s", step.stop_error);
    }
}

// "2,4,16" from the pairing-method bits.
void build_sc_type_text(uint32_t sc_type, char *out, size_t size)
{
    static const struct {
        uint32_t bit;
        const char *text;
    } kBits[] = {{KO_SC_TYPE_2, "2"}, {KO_SC_TYPE_4, "4"}, {KO_SC_TYPE_16, "16"}};
    out[0] = '\0';
    for (const auto &b : kBits) {
        if (!(sc_type & b.bit))
            continue;
        const size_t used = std::strlen(out);
        std::snprintf(out + used, size - used, "%s%s", used ? "," : "", b.text);
    }
}

// Steps 5 and 6 of the start: the parameters that must be given.
bool params_valid(const ko_sdk_info *record)
{
    if (record->sc_type_text[0] == '\0') {
        KO_LOGE(KO_IPC_MODULE, "tolk:dev sc type not valid\n");
        return false;
    }
    const ko_ipc_sdk_param &p = record->param;
    if (p.wpa_required && p.wpa_intf[0] == '\0') {
        KO_LOGE(KO_IPC_MODULE, "wpa_intf is null,please config wpa_initf param first!\n");
        return false;
    }
    if (p.mac[0] == '\0') {
        KO_LOGE(KO_IPC_MODULE, "mac is null,please config mac param first!\n");
        return false;
    }
    return true;
}

} // namespace

extern "C" int ko_ipc_sdk_init(const ko_ipc_sdk_param *param)
{
    if (g_sdk_info && g_sdk_info->valid) {
        KO_LOGI(KO_IPC_MODULE, "tolk:ipc sdk init already\n");
        return 0;
    }
    if (!param) {
        KO_LOGE(KO_IPC_MODULE, "tolk:dev is null\n");
        return KO_SDK_ERR_PARAM;
    }
    if (g_sdk_info) {
        KO_LOGE(KO_IPC_MODULE, "tolk:ipc sdk init is running\n");
        return KO_SDK_ERR_PARAM;
    }
    auto *record = static_cast<ko_sdk_info *>(vexa_malloc(sizeof(ko_sdk_info)));
    if (!record) {
        KO_LOGE(KO_IPC_MODULE, "system call err:%s, errno:%s\n", "malloc", strerror(ENOMEM));
        return KO_SDK_ERR_NOMEM;
    }
    // The daemon handlers use the mutex as soon as they are registered, before the start completes.
    pthread_mutex_init(&record->mutex, nullptr);
    g_sdk_info = record;

    build_sc_type_text(param->sc_type, record->sc_type_text, sizeof record->sc_type_text);
    std::printf("sc type 0x%x is %s\n", param->sc_type, record->sc_type_text);
    record->param = *param;
    if (record->sc_type_text[0] != '\0')
        KO_LOGI(KO_IPC_MODULE, "@sdk version %s %s %s %s:%s @\n", "Release", "5.1.7.1", "zelmar", "20230719_190009",
                "7191c228");
    if (!params_valid(record)) {
        free_record();
        return KO_SDK_ERR_PARAM;
    }

    g_started_count = 0;
    for (int id = 0; id < kStepCount; ++id) {
        const Step &step = kSteps[id];
        if (step.start(record) < 0) {
            if (step.start_error)
                KO_LOGE(KO_IPC_MODULE, "%s", step.start_error);
            undo_started();
            free_record();
            return KO_SDK_ERR_PARAM;
        }
        g_started[g_started_count++] = id;
        if (id == kCoreHandlers) {
            KO_LOGI(KO_IPC_MODULE, "send media info register method: %s\n", "_sync.set_extra_data");
            if (const int ret = ko_message_send(KO_UID_SDK, KO_UID_RPC, "rpc.register", "_sync.set_extra_data", 20,
                                                KO_MSG_MODE_ASYNC))
                KO_LOGI(KO_IPC_MODULE, "push rpc.register failed %d\n", ret);
        }
    }
    record->valid = 1;
    return 0;
}

extern "C" int ko_ipc_sdk_deinit(void)
{
    ko_sdk_info *record = g_sdk_info;
    if (!record || !record->valid) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    for (StepId id : kStopOrder) {
        const Step &step = kSteps[id];
        if (step.stop() != 0) {
            if (step.stop_error[0] != '\0')
                KO_LOGE(KO_IPC_MODULE, "%s", step.stop_error);
            return -1;
        }
    }
    g_started_count = 0;
    {
        ko_sdk::RecordLock guard(record);
        for (unsigned chn = 0; chn < KO_STREAM_CHN_MAX; ++chn) {
            ko_stream_chn_info &info = record->stream_info[chn];
            if (info.bitrate != 0 && info.seconds != 0) {
                ringbuffer_free(chn);
                info = ko_stream_chn_info{};
            }
        }
        record->valid = 0;
    }
    free_record();
    return 0;
}

extern "C" ko_sdk_info *ko_ipc_get_sdk_info(void)
{
    return g_sdk_info;
}

extern "C" int ko_ipc_sdk_started_steps(const char **names, int max)
{
    int n = 0;
    for (; n < g_started_count && n < max; ++n)
        names[n] = kSteps[g_started[n]].name;
    return n;
}
