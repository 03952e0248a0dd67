// The P2P vendor: the daemon is asked which vendor and credentials to use, at start (init mode 0),
// on a timed check, and after a failed authorisation; its replies and requests start, change or
// restart the transport.
#include <json-c/json.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/utils/ko_util.h"
#include "vasq_errors.h"
#include "vasq_internal.h"
#include "vasq_json.h"
#include "vasq_mem.h"
#include "vasq_vendor.h"
#include "zt_adapter.h"

namespace {

constexpr const char *kModule = "VASQ";
constexpr int64_t kVendorGuardS = 60;
constexpr int64_t kFirstRetryStepS = 60;
// Direct checks follow failed authorisations, which anyone can repeat: one at a time, this far apart.
constexpr int64_t kDirectCheckSpacingS = 30;
constexpr const char *kSupportVendors = "ZTP";

struct Put {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, Put>;

// Hex of the server's public key, the token and the request key.
struct Identity {
    char public_key[65];
    char token[2 * 64 + 1];
    char req_key[33];
};

bool identity(vasq_server *server, Identity *id)
{
    if (server->token_len <= 0 || server->token_len > 64)
        return false;
    ko_byte2hex_string(id->public_key, sizeof id->public_key, server->public_key, 32);
    ko_byte2hex_string(id->token, sizeof id->token, server->token, static_cast<size_t>(server->token_len));
    ko_byte2hex_string(id->req_key, sizeof id->req_key, server->req_key, 16);
    return true;
}

// Sends "_sync.vasq_get_vendor"; 0, 11 or 18.
int send_get_vendor(vasq_server *server, int kind, bool with_request_key)
{
    Identity id;
    if (!identity(server, &id))
        return VASQ_ERR_INVALID_ARG;
    char params[512];
    if (with_request_key)
        snprintf(params, sizeof params,
                 "{\"public_key\":\"%s\", \"token\":\"%s\",\"support_vendors\":\"%s\",\"p2pkey_version\":1, "
                 "\"req_key\":\"%s\",\"vasq_version\":\"%s\"}",
                 id.public_key, id.token, kSupportVendors, id.req_key, VASQ_VERSION_TEXT);
    else
        snprintf(params, sizeof params,
                 "{\"public_key\":\"%s\", \"token\":\"%s\",\"support_vendors\":\"%s\",\"vasq_version\":\"%s\"}",
                 id.public_key, id.token, kSupportVendors, VASQ_VERSION_TEXT);
    auto *ctx = static_cast<vasq_rpc_context *>(vasq_malloc(sizeof(vasq_rpc_context)));
    if (!ctx)
        return VASQ_ERR_NOT_ENOUGH_MEMORY;
    ctx->kind = kind;
    if (vasq_rpc_send(ctx, "_sync.vasq_get_vendor", params) != 0) {
        vasq_free(ctx);
        return VASQ_ERR_RPC_SEND;
    }
    KO_LOGI(kModule, "vasq check vendor send _sync.vasq_get_vendor rpc info!!!\n");
    pthread_mutex_lock(&server->lock);
    server->check_request_s = vasq_tick_s();
    pthread_mutex_unlock(&server->lock);
    return 0;
}

bool listed_or_counted(vasq_server *server)
{
    pthread_mutex_lock(&server->lock);
    const bool busy = server->session_count > 0 || !vasq_list_empty(&server->sessions);
    pthread_mutex_unlock(&server->lock);
    return busy;
}

// Takes the turn of a direct check: false, logged, while one is pending or the last is too recent.
bool claim_direct_check(vasq_server *server)
{
    const int64_t now = vasq_tick_s();
    pthread_mutex_lock(&server->lock);
    const bool pending = server->direct_check_pending != 0;
    const int64_t since = now - server->direct_check_s;
    const bool go = !pending && since >= kDirectCheckSpacingS;
    if (go) {
        server->direct_check_pending = 1;
        server->direct_check_s = now;
    }
    pthread_mutex_unlock(&server->lock);
    if (pending)
        KO_LOGW(kModule, "direct check vendor skipped: the last one is not answered yet\n");
    else if (!go)
        KO_LOGW(kModule, "direct check vendor skipped: the last one went %lld s ago\n", static_cast<long long>(since));
    return go;
}

int unsupported(int vendor)
{
    switch (vendor) {
    case 1: KO_LOGW(kModule, "Can't support ORBI vendor.\n"); break;
    case 3: KO_LOGW(kModule, "Can't support SOLA vendor.\n"); break;
    default: KO_LOGW(kModule, "Not support vendor :%d\n", vendor); break;
    }
    return VASQ_ERR_NOT_SUPPORT_VENDOR;
}

struct Params {
    char p2p_id[64], crc_key[64], init_string[1024];
};

int read_params(const char *text, int length, Params *p)
{
    if (vasq_json_get_vendor_params(text, length, "p2p_id", p->p2p_id, sizeof p->p2p_id) != 0) {
        KO_LOGW(kModule, "can't get p2p_id by %s", "vendor_params");
        return VASQ_ERR_RPC_JSON_PARSE;
    }
    if (vasq_json_get_vendor_params(text, length, "crc_key", p->crc_key, sizeof p->crc_key) != 0 ||
        vasq_json_get_vendor_params(text, length, "init_string", p->init_string, sizeof p->init_string) != 0)
        return VASQ_ERR_RPC_JSON_PARSE;
    return 0;
}

int store_params(vasq_server *server, const Params &p)
{
    return vasq_keep_copy(&server->p2p_id, p.p2p_id) == 0 && vasq_keep_copy(&server->crc_key, p.crc_key) == 0 &&
                   vasq_keep_copy(&server->init_string, p.init_string) == 0
               ? 0
               : VASQ_ERR_NOT_ENOUGH_MEMORY;
}

int start_transport(vasq_server *server, const Params &p)
{
    // Set before the transport's threads start: they read the vendor.
    const int vendor = server->vendor;
    server->vendor = VASQ_VENDOR_ZTP;
    const int r = zt_server_init(server, p.p2p_id, p.crc_key, p.init_string);
    if (r != 0) {
        server->vendor = vendor;
        return r < 0 ? VASQ_ERR_NOT_INITIALIZED : r;
    }
    server->running = 1;
    server->last_change_s = vasq_tick_s();
    return 0;
}

json_object *member(json_object *o, const char *name, json_type type)
{
    json_object *v = nullptr;
    return o && json_object_object_get_ex(o, name, &v) && json_object_is_type(v, type) ? v : nullptr;
}

int wakeup_params(const char *text, int length, int *vendor, Params *p)
{
    Json root(json_tokener_parse(std::string(text, static_cast<size_t>(length)).c_str()));
    json_object *params = member(root.get(), "params", json_type_object);
    json_object *v = member(params, "recommendedVendor", json_type_int);
    if (!v)
        return VASQ_ERR_RPC_JSON_PARSE;
    *vendor = json_object_get_int(v);
    if (*vendor != VASQ_VENDOR_ZTP)
        return unsupported(*vendor);
    json_object *vp = member(member(params, "vendor_sy", json_type_object), "vendor_params", json_type_object);
    json_object *id = member(vp, "p2p_id", json_type_string);
    json_object *crc = member(vp, "crc_key", json_type_string);
    json_object *init = member(vp, "init_string", json_type_string);
    if (!id || !crc || !init || json_object_get_string_len(id) >= static_cast<int>(sizeof p->p2p_id) ||
        json_object_get_string_len(crc) >= static_cast<int>(sizeof p->crc_key) ||
        json_object_get_string_len(init) >= static_cast<int>(sizeof p->init_string)) {
        KO_LOGW(kModule, "parse ZTP params error\n");
        return VASQ_ERR_RPC_JSON_PARSE;
    }
    snprintf(p->p2p_id, sizeof p->p2p_id, "%s", json_object_get_string(id));
    snprintf(p->crc_key, sizeof p->crc_key, "%s", json_object_get_string(crc));
    snprintf(p->init_string, sizeof p->init_string, "%s", json_object_get_string(init));
    return 0;
}

int wakeup_start(vasq_server *server, const char *text, int length)
{
    pthread_mutex_lock(&server->lock);
    const bool full = server->session_count >= server->max_sessions;
    pthread_mutex_unlock(&server->lock);
    if (full)
        return VASQ_ERROR_DEVICE_SESSION_MAX;
    int r = vasq_store_p2p_key(server, text, length, 1);
    if (r != 0 || server->running)
        return r;
    vasq_new_request_key(server);
    int vendor = -1;
    Params p;
    r = wakeup_params(text, length, &vendor, &p);
    if (r != 0)
        return r;
    r = store_params(server, p);
    return r != 0 ? r : start_transport(server, p);
}

} // namespace

int vasq_store_p2p_key(vasq_server *server, const char *text, int length, int required)
{
    char key[sizeof server->p2p_key];
    if (vasq_json_get_p2pkey(text, length, key, sizeof key) != 0) {
        KO_LOGI(kModule, "none p2p key\n");
        return required ? VASQ_ERR_RPC_JSON_PARSE : 0;
    }
    KO_LOGI(kModule, "update p2p key\n");
    pthread_mutex_lock(&server->lock);
    memcpy(server->p2p_key, key, sizeof key);
    pthread_mutex_unlock(&server->lock);
    return 0;
}

int64_t vasq_tick_s(void)
{
    return static_cast<int64_t>(vexa_time_tick_ms() / 1000);
}

int vasq_vendor_check(vasq_server *server, int direct, int with_request_key)
{
    if (!direct) {
        const int64_t now = vasq_tick_s();
        pthread_mutex_lock(&server->lock);
        const int64_t stamp = server->check_stamp_s;
        const int count = server->session_count;
        const bool empty = vasq_list_empty(&server->sessions);
        const int64_t last_connect = server->last_connect_s;
        pthread_mutex_unlock(&server->lock);
        if (now < stamp || now - stamp < server->vendor_check_interval_s)
            return -1;
        KO_LOGI(kModule, "check times: %ld, %ld , %d\n", static_cast<long>(now), static_cast<long>(stamp),
                static_cast<int>(server->vendor_check_interval_s));
        if (count > 0 || !empty || now - last_connect <= kVendorGuardS - 1) {
            KO_LOGI(kModule, "vasq session: %d, list: %d, last connect time:%ld, check vendor later!\n", count,
                    empty ? 0 : 1, static_cast<long>(last_connect));
            return -1;
        }
        return send_get_vendor(server, VASQ_CTX_CHECK, with_request_key != 0);
    }
    if (!claim_direct_check(server))
        return -1;
    KO_LOGI(kModule, "direct send check vendor msg...\n");
    const int r = send_get_vendor(server, VASQ_CTX_DIRECT_CHECK, with_request_key != 0);
    if (r != 0)
        vasq_direct_check_done(server);
    return r;
}

void vasq_direct_check_done(vasq_server *server)
{
    pthread_mutex_lock(&server->lock);
    server->direct_check_pending = 0;
    pthread_mutex_unlock(&server->lock);
}

int vasq_server_get_vendor(vasq_server *server)
{
    const uint64_t t0 = vexa_time_tick_ms();
    const int r = send_get_vendor(server, VASQ_CTX_START, true);
    KO_LOGI(kModule, "send get_vendor cost:%lld ms\n", static_cast<long long>(vexa_time_tick_ms() - t0));
    if (r == VASQ_ERR_RPC_SEND || r == VASQ_ERR_NOT_ENOUGH_MEMORY)
        vasq_on_error(nullptr, r, server->user_data);
    return r;
}

void vasq_set_retry_time(vasq_server *server)
{
    pthread_mutex_lock(&server->lock);
    server->retry_count++;
    server->retry_step_s *= server->retry_count;
    const int64_t interval = server->vendor_check_interval_s;
    // The next timed check comes a step later; past the interval it is due at once.
    server->check_stamp_s = vasq_tick_s() - interval + (server->retry_step_s < interval ? server->retry_step_s : 0);
    pthread_mutex_unlock(&server->lock);
}

void vasq_vendor_changed(vasq_server *server)
{
    pthread_mutex_lock(&server->lock);
    server->check_stamp_s = vasq_tick_s();
    server->retry_count = 0;
    server->retry_step_s = kFirstRetryStepS;
    pthread_mutex_unlock(&server->lock);
}

int vasq_server_change_vendor(vasq_server *server, int vendor, int force)
{
    if (!server)
        return VASQ_ERR_INVALID_ARG;
    pthread_mutex_lock(&server->lock);
    const bool pending = server->vendor_change_pending != 0;
    server->vendor_change_pending = 0;
    pthread_mutex_unlock(&server->lock);
    if (vendor == server->vendor && !force && !pending && server->running)
        return 0;
    if (vendor != VASQ_VENDOR_ZTP)
        return unsupported(vendor);
    vasq_close_listed(server, VASQ_ERR_CLOSE_BY_LOCAL);
    zt_server_finish(server);
    server->running = 0;
    if (!server->p2p_id || !server->crc_key || !server->init_string)
        return VASQ_ERR_RPC_JSON_PARSE;
    Params p;
    snprintf(p.p2p_id, sizeof p.p2p_id, "%s", server->p2p_id);
    snprintf(p.crc_key, sizeof p.crc_key, "%s", server->crc_key);
    snprintf(p.init_string, sizeof p.init_string, "%s", server->init_string);
    return start_transport(server, p);
}

int vasq_set_vendor(vasq_server *server, const char *text, int length)
{
    const int vendor = vasq_json_get_vendor(text, length);
    const int force = vasq_json_get_force(text, length);
    KO_LOGI(kModule, "vendor = %d, force = %d\n", vendor, force);
    if (vendor == server->vendor && !force) {
        KO_LOGI(kModule, "old vendor:%d, new vendor:%d is same!\n", server->vendor, vendor);
        return 0;
    }
    if (!force && vasq_tick_s() - server->last_change_s < kVendorGuardS) {
        KO_LOGW(kModule, "%s last connect time:%lu\n", __func__, static_cast<unsigned long>(server->last_change_s));
        return VASQ_ERR_CHECK_VENDOR;
    }
    if (vendor != VASQ_VENDOR_ZTP)
        return unsupported(vendor);
    pthread_mutex_lock(&server->lock);
    server->forced = force;
    pthread_mutex_unlock(&server->lock);
    Params p;
    int r = read_params(text, length, &p);
    if (r == 0)
        r = store_params(server, p);
    if (r != 0)
        return r;
    if (force || !listed_or_counted(server))
        return vasq_server_change_vendor(server, vendor, 1);
    pthread_mutex_lock(&server->lock);
    server->vendor_change_pending = 1;
    pthread_mutex_unlock(&server->lock);
    return 0;
}

int vasq_vendor_start(vasq_server *server, const char *text, int length)
{
    const int vendor = vasq_json_get_vendor(text, length);
    if (vendor != VASQ_VENDOR_ZTP)
        return unsupported(vendor);
    Params p;
    int r = read_params(text, length, &p);
    if (r == 0)
        r = store_params(server, p);
    return r != 0 ? r : start_transport(server, p);
}

int vasq_wakeup(vasq_server *server, int id, const char *text, int length)
{
    const int r = wakeup_start(server, text, length);
    Identity ident;
    identity(server, &ident);
    Json reply(json_object_new_object());
    json_object *result = json_object_new_object();
    json_object_object_add(reply.get(), "id", json_object_new_int(id));
    json_object_object_add(reply.get(), "code",
                           json_object_new_int(r == 0 ? 0 : r == VASQ_ERROR_DEVICE_SESSION_MAX ? -4012003 : -4012004));
    json_object_object_add(result, "vendor", json_object_new_int(server->vendor));
    json_object_object_add(result, "public_key", json_object_new_string(ident.public_key));
    json_object_object_add(result, "token", json_object_new_string(ident.token));
    json_object_object_add(result, "support_vendors", json_object_new_string(kSupportVendors));
    json_object_object_add(result, "req_key", json_object_new_string(ident.req_key));
    json_object_object_add(result, "vasq_version", json_object_new_string(VASQ_VERSION_TEXT));
    json_object_object_add(reply.get(), "result", result);
    const char *out = json_object_to_json_string_ext(reply.get(), JSON_C_TO_STRING_PLAIN);
    if (vasq_ack_send(out, static_cast<int>(strlen(out))) != 0)
        return VASQ_ERR_RPC_SEND;
    return r;
}
