// The OTA service: its bus keys, the update request, the start and abort that the app-client
// library calls, and the worker thread of each update.
#include "app/ota/ko_ota.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "app/ota/ko_ota_internal.h"
#include "app/ota/ko_ota_test.h"
#include "common/ipc/ko_message.h"
#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"

namespace ko_ota {

namespace {

constexpr size_t kUrlMax = 1023;
constexpr size_t kMd5Max = 63;
constexpr size_t kWorkerStack = 1 << 20;

struct Service {
    std::mutex lock; // the context's creation and end
    std::shared_ptr<Context> ctx;
    std::atomic<bool> started{false};
    std::atomic<bool> downgrade{false};
};

Service &service()
{
    static Service s;
    return s;
}

std::shared_ptr<Context> current()
{
    Service &s = service();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.ctx;
}

void push_reply(const std::string &text)
{
    if (ko_message_send(KO_UID_OTA, KO_UID_RPC, "rpc.rpc", text.c_str(), static_cast<uint32_t>(text.size()),
                        KO_MSG_MODE_ASYNC) != 0)
        KO_LOGE(kModule, "ota: message push failed!\n");
}

void reply_error(int id, const char *message)
{
    KO_LOGE(kModule, "ota: %s\n", message);
    push_reply("{\"id\":" + std::to_string(id) + ",\"error\":{\"code\":-33020,\"message\":\"" + message + "\"}}");
}

void reply_ok(int id)
{
    push_reply("{\"id\":" + std::to_string(id) + ",\"result\":[\"OK\"]}");
}

json_object *member(json_object *obj, const char *key)
{
    json_object *value = nullptr;
    return obj && json_object_object_get_ex(obj, key, &value) ? value : nullptr;
}

// The request text of a bus message, parsed; its id in `*id` (false without one).
ko_json_ptr parse_request(const ko_message_arg *arg, int *id)
{
    const char *text = arg->param ? static_cast<const char *>(arg->param) : "";
    ko_json_ptr root(json_tokener_parse(std::string(text, strnlen(text, arg->len)).c_str()));
    json_object *id_value = member(root.get(), "id");
    if (!id_value || !json_object_is_type(id_value, json_type_int)) {
        KO_LOGE(kModule, "Can't get the rpc id.\n");
        return nullptr;
    }
    *id = json_object_get_int(id_value);
    return root;
}

// The method member: nullptr and a reply when it is absent or not `want`.
json_object *params_of(json_object *root, int id, const char *want)
{
    json_object *method = member(root, "method");
    if (!method || !json_object_is_type(method, json_type_string)) {
        reply_error(id, "method is null");
        return nullptr;
    }
    if (strcasecmp(json_object_get_string(method), want) != 0) {
        reply_error(id, "Unknown method");
        return nullptr;
    }
    json_object *params = member(root, "params");
    if (!params || !json_object_is_type(params, json_type_object)) {
        reply_error(id, "Unknown params");
        return nullptr;
    }
    return params;
}

void *worker(void *arg)
{
    std::unique_ptr<std::shared_ptr<Context>> owned(static_cast<std::shared_ptr<Context> *>(arg));
    Context &ctx = **owned;
    while (ctx.running.load()) {
        std::unique_lock<std::mutex> lock(ctx.mutex);
        const int state = ctx.state;
        lock.unlock();
        if (state == kIdle) {
            ko_ota_onstat(static_cast<unsigned>(ctx.force_mode + 1));
            // Asked again at most once a second, sooner when the start or the abort comes.
            lock.lock();
            ctx.changed.wait_for(lock, std::chrono::seconds(1),
                                 [&] { return ctx.state != kIdle || !ctx.running.load(); });
        } else if (state == kDownloading) {
            run_update(ctx);
        } else {
            if (state == kInstalled)
                KO_LOGI(kModule, "ota: from installed to idle.\n");
            else if (state == kBusy)
                KO_LOGI(kModule, "ota: from busy to idle.\n");
            else
                KO_LOGI(kModule, "ota: from failed to idle.\n");
            ctx.running.store(false);
        }
    }
    Service &s = service();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.ctx.get() == &ctx)
        s.ctx.reset();
    return nullptr;
}

bool start_worker(const std::shared_ptr<Context> &ctx)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kWorkerStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto *arg = new std::shared_ptr<Context>(ctx);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, worker, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete arg;
        return false;
    }
    pthread_setname_np(thread, "ko_ota");
    return true;
}

const char *text_param(json_object *params, const char *key)
{
    json_object *v = member(params, key);
    return v && json_object_is_type(v, json_type_string) ? json_object_get_string(v) : nullptr;
}

void on_request(const ko_message_arg *arg)
{
    int id = 0;
    const ko_json_ptr root = parse_request(arg, &id);
    if (!root)
        return;
    json_object *params = params_of(root.get(), id, "lumo.ota");
    if (!params)
        return;
    const char *url = text_param(params, "app_url");
    const char *md5 = text_param(params, "file_md5");
    json_object *signed_file = member(params, "signed_file");
    json_object *length = member(params, "original_length");
    if (!url)
        return reply_error(id, "Unknown params url");
    if (!md5)
        return reply_error(id, "Unknown params md5");
    if (!signed_file)
        return reply_error(id, "Unknown params signed_file");
    if (!length)
        return reply_error(id, "Unknown params original_length");
    // Cutting a longer URL or digest would fetch or compare something else.
    if (!*url || !*md5 || std::strlen(url) > kUrlMax || std::strlen(md5) > kMd5Max)
        return reply_error(id, "Url or md5 is null");

    auto ctx = std::make_shared<Context>();
    ctx->url = url;
    ctx->md5 = md5;
    ctx->original_length = json_object_get_int64(length);
    const char *signed_text = json_object_get_string(signed_file);
    ctx->signed_file = signed_text && std::strcmp(signed_text, "true") == 0;
    json_object *force = member(params, "app_force");
    if (force && json_object_is_type(force, json_type_int))
        ctx->force_mode = json_object_get_int(force) == 1 ? 2 : json_object_get_int(force) == 0 ? 1 : 0;

    Service &s = service();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.ctx)
            return reply_error(id, "ota is busy");
        s.ctx = ctx;
    }
    reply_ok(id);
    report_stat_object("ota.info", "{\"type\":0}");
    if (!start_worker(ctx)) {
        {
            std::lock_guard<std::mutex> guard(s.lock);
            s.ctx.reset();
        }
        KO_LOGE(kModule, "ota: pthread_create wrong\n");
        // The request was answered OK: its end is told as for any failed update.
        report_state(kFailed);
    }
}

void on_downgrade(const ko_message_arg *arg)
{
    int id = 0;
    const ko_json_ptr root = parse_request(arg, &id);
    if (!root)
        return;
    json_object *params = params_of(root.get(), id, "ota.downgrade");
    if (!params)
        return;
    json_object *n = member(params, "downgrade");
    if (!n || !json_object_is_type(n, json_type_int))
        return reply_error(id, "Unknown params downgrade");
    service().downgrade.store(json_object_get_int(n) != 0);
    reply_ok(id);
}

// The verifier reads the model and version from the SDK's own information; the reply is only noted.
void on_sdkinfo(const ko_message_arg *)
{
    KO_LOGD(kModule, "ota: sdkinfo_resp\n");
}

struct Key {
    const char *name;
    ko_message_handler handler;
    bool announced;
    const char *register_error;
    const char *push_error;
};
constexpr Key kKeys[] = {
    {"lumo.ota", on_request, true, "ota: message register failed!\n", "ota: message push failed!\n"},
    {"sdkinfo_resp", on_sdkinfo, false, "ota: msg [sdkinfo] register failed!\n", nullptr},
    {"ota.downgrade", on_downgrade, true, "ota: msg [ota.downgrade] register failed!\n",
     "ota: message[ota.downgrade] push failed!\n"},
};

} // namespace

bool downgrade_allowed()
{
    return service().downgrade.load();
}

} // namespace ko_ota

using namespace ko_ota;

int ko_ota_init(int)
{
    Service &s = service();
    if (s.started.load())
        return 0;
    for (const Key &key : kKeys) {
        if (ko_message_listen(KO_UID_OTA, key.name, key.handler, nullptr) != 0) {
            KO_LOGE(kModule, "%s", key.register_error);
            return -1;
        }
        // Announced (and withdrawn) synchronously: the daemon's requests reach the service as soon as
        // it is up, and a withdrawal never lands after the next start's announcement.
        if (key.announced && ko_message_send(KO_UID_OTA, KO_UID_RPC, "rpc.register", key.name,
                                             static_cast<uint32_t>(std::strlen(key.name)), KO_MSG_MODE_SYNC) != 0) {
            KO_LOGE(kModule, "%s", key.push_error);
            return -1;
        }
    }
    s.started.store(true);
    KO_LOGI(kModule, "ota: init ok!\n");
    return 0;
}

int ko_ota_deinit(void)
{
    Service &s = service();
    if (!s.started.exchange(false)) {
        KO_LOGE(kModule, "please init ota first!\n");
        return -1;
    }
    for (const Key &key : kKeys) {
        if (key.announced)
            ko_message_send(KO_UID_OTA, KO_UID_RPC, "rpc.unregister", key.name,
                            static_cast<uint32_t>(std::strlen(key.name)), KO_MSG_MODE_SYNC);
        ko_message_unregister(KO_UID_OTA, key.name);
    }
    if (const std::shared_ptr<Context> ctx = current()) {
        std::lock_guard<std::mutex> guard(ctx->mutex);
        ctx->running.store(false);
        ctx->changed.notify_all();
    }
    KO_LOGI(kModule, "ota: deinit ok!\n");
    return 0;
}

int ko_ota_start(const ko_ota_start_param *param)
{
    if (!service().started.load()) {
        KO_LOGE(kModule, "please init ota first!\n");
        return -1;
    }
    if (!param || !param->cert || param->cert_len <= 0) {
        KO_LOGE(kModule, "ota: param is null\n");
        return -1;
    }
    const std::shared_ptr<Context> ctx = current();
    if (!ctx) {
        KO_LOGE(kModule, "ota: no update requested\n");
        return -1;
    }
    {
        std::lock_guard<std::mutex> guard(ctx->mutex);
        if (ctx->state != kIdle)
            return 0;
        try {
            ctx->root.assign(param->cert, static_cast<size_t>(param->cert_len));
        } catch (const std::bad_alloc &) {
            KO_LOGE(kModule, "ota: malloc failed.\n");
            return -2;
        }
        ctx->start_value = param->value;
        ctx->state = kDownloading;
        ctx->changed.notify_all();
    }
    report_state(kDownloading);
    report_progress(0);
    return 0;
}

int ko_ota_abort(void)
{
    if (!service().started.load()) {
        KO_LOGE(kModule, "please init ota first!\n");
        return -1;
    }
    const std::shared_ptr<Context> ctx = current();
    if (!ctx)
        return -1;
    {
        std::lock_guard<std::mutex> guard(ctx->mutex);
        if (ctx->state != kIdle)
            return -1;
        ctx->state = kAborted;
        ctx->changed.notify_all();
    }
    report_state(kAborted);
    return 0;
}

void ko_ota_progress_report(int percent)
{
    if (!service().started.load() || !current()) {
        KO_LOGE(kModule, "please init ota first!\n");
        return;
    }
    report_progress(static_cast<unsigned>(percent < 0 ? 0 : percent > 100 ? 100 : percent));
}

int ko_ota_test_busy(void)
{
    return current() ? 1 : 0;
}
