// The streaming server: its start and end, the end of a session, and the daemon's messages.
#include <limits.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_errors.h"
#include "vasq_json.h"
#include "vasq_mem.h"
#include "vasq_vendor.h"
#include "zelmar/zel_rand.h"
#include "zt_adapter.h"

namespace {

constexpr const char *kModule = "VASQ";
std::atomic<vasq_server *> g_server{nullptr};

bool text_ok(const char *s, const char *what, const char *fn)
{
    if (s && s[0] && strlen(s) < 64)
        return true;
    KO_LOGE(kModule, "%s %s invalued!\n", fn, what);
    return false;
}

void server_free(vasq_server *server)
{
    vasq_free(server->p2p_id);
    vasq_free(server->crc_key);
    vasq_free(server->init_string);
    if (server->token)
        sodium_memzero(server->token, static_cast<size_t>(server->token_len));
    vasq_free(server->token);
    sodium_memzero(server->secret_key, sizeof server->secret_key);
    pthread_mutex_destroy(&server->lock);
    vasq_free(server);
}

vasq_server *server_new(const vasq_device_info *info, const vasq_server_config *config)
{
    auto *server = static_cast<vasq_server *>(vasq_malloc(sizeof(vasq_server)));
    if (!server)
        return nullptr;
    server->token = static_cast<uint8_t *>(vasq_malloc(static_cast<size_t>(config->token_len)));
    if (!server->token) {
        vasq_free(server);
        return nullptr;
    }
    pthread_mutex_init(&server->lock, nullptr);
    vasq_list_init(&server->sessions);
    server->max_sessions = config->max_sessions;
    memcpy(server->token, config->token, static_cast<size_t>(config->token_len));
    server->token_len = config->token_len;
    snprintf(server->did, sizeof server->did, "%s", info->did);
    snprintf(server->model, sizeof server->model, "%s", info->model);
    snprintf(server->dev_name, sizeof server->dev_name, "%s", info->name && info->name[0] ? info->name : "unknown");
    server->vendor_check_interval_s = 79200 + rand_range(0, 7200);
    server->stale_login_interval_s = 3600 + rand_range(0, 3600);
    KO_LOGI(kModule, "vasq check vendor interval: %d\n", static_cast<int>(server->vendor_check_interval_s));
    server->send_video_size = config->send_video_size ? config->send_video_size : VASQ_DEFAULT_SEND_VIDEO;
    server->send_audio_size = config->send_audio_size ? config->send_audio_size : VASQ_DEFAULT_SEND_AUDIO;
    server->recv_video_size = config->recv_video_size ? config->recv_video_size : VASQ_DEFAULT_RECV_VIDEO;
    server->recv_audio_size = config->recv_audio_size > 0 ? config->recv_audio_size : VASQ_DEFAULT_RECV_AUDIO;
    KO_LOGI(kModule, "max size of send(v:%d a:%d) recv(v:%d a:%d)\n", server->send_video_size,
            server->send_audio_size, server->recv_video_size, server->recv_audio_size);
    server->encrypt_type = config->encrypt_type;
    server->ignore_uuid = config->ignore_uuid;
    server->init_mode = config->init_mode;
    server->create_tick_ms = vexa_time_tick_ms();
    server->check_stamp_s = vasq_tick_s();
    server->retry_step_s = 60;
    server->last_change_s = INT64_MIN / 2;
    server->last_connect_s = INT64_MIN / 2;
    server->direct_check_s = INT64_MIN / 2;
    crypto_box_keypair(server->public_key, server->secret_key);
    vasq_new_request_key(server);
    return server;
}

} // namespace

vasq_server *vasq_server_get(void)
{
    return g_server.load(std::memory_order_acquire);
}

void vasq_new_request_key(vasq_server *server)
{
    pthread_mutex_lock(&server->lock);
    randombytes_buf(server->req_key, sizeof server->req_key);
    pthread_mutex_unlock(&server->lock);
}

int vasq_server_init(const vasq_device_info *info, const vasq_server_config *config)
{
    const uint64_t t0 = vexa_time_tick_ms();
    if (!config) {
        KO_LOGE(kModule, "config must be set...\n");
        return -1;
    }
    KO_LOGI(kModule, "vasq version %d.%d.%d.%d\n", 3, 2, 7, 0);
    KO_LOGI(kModule, "init_mode %d\n", config->init_mode);
    if (!info) {
        KO_LOGE(kModule, "%s dev_info invalued!\n", __func__);
        return -1;
    }
    if (!text_ok(info->did, "did", __func__) || !text_ok(info->model, "model", __func__))
        return -1;
    if (config->token_len <= 0 || config->token_len > 64 || !config->token) {
        KO_LOGE(kModule, "dev token invalued!\n");
        return -1;
    }
    if (config->max_sessions <= 0) {
        KO_LOGE(kModule, "max sessions %d invalued!\n", config->max_sessions);
        return -1;
    }
    if (sodium_init() < 0 || vasq_server_get()) {
        KO_LOGE(kModule, "vasq server runs already or the cipher library does not start\n");
        return -1;
    }
    vasq_server *server = server_new(info, config);
    if (!server) {
        vasq_on_error(nullptr, VASQ_ERR_NOT_ENOUGH_MEMORY, nullptr);
        return -1;
    }
    g_server.store(server, std::memory_order_release);
    if (config->init_mode == 0) {
        const int r = vasq_server_get_vendor(server);
        if (r != 0) {
            KO_LOGE(kModule, "vasq server get vendor fail,ret %d\n", r);
            if (r != VASQ_ERR_RPC_SEND)
                vasq_on_error(nullptr, VASQ_ERR_RPC_SEND, nullptr);
            g_server.store(nullptr, std::memory_order_release);
            server_free(server);
            return -1;
        }
    }
    KO_LOGI(kModule, "vasq server init ok!cost: %lld ms\n", static_cast<long long>(vexa_time_tick_ms() - t0));
    return 0;
}

void vasq_server_finish(void)
{
    vasq_server *server = vasq_server_get();
    if (!server)
        return;
    KO_LOGI(kModule, "vasq_server_finish start....\n");
    vasq_close_listed(server, VASQ_ERR_CLOSE_BY_LOCAL);
    server->running = 0;
    KO_LOGI(kModule, "..........................close all session.\n");
    zt_server_finish(server);
    g_server.store(nullptr, std::memory_order_release);
    server_free(server);
    KO_LOGI(kModule, "vasq_server_finish end....\n");
}

void vasq_server_session_close(vasq_session *s)
{
    if (!s)
        return;
    pthread_mutex_lock(&s->closing_lock);
    const bool first = !s->closing;
    s->closing = 1;
    pthread_mutex_unlock(&s->closing_lock);
    if (!first)
        return;
    vasq_set_state(s, VASQ_STATE_DISCONNECT);
    ko_thread *cmd = nullptr;
    if (s->vendor == VASQ_VENDOR_ZTP) {
        zt_session_destroy(s);
        cmd = zt_session_cmd_thread(s);
    }
    if (cmd && pthread_equal(cmd->tid, pthread_self())) {
        pthread_detach(cmd->tid);
        cmd->attr.detached = 1;
    }
    ko_thread_destory(cmd);
    zt_session_free(s);
    KO_LOGI(kModule, "free vasq session\n");
}

int vasq_rpc_process(void *context, const char *text, int length)
{
    vasq_server *server = vasq_server_get();
    auto *ctx = static_cast<vasq_rpc_context *>(context);
    const bool check = ctx && (ctx->kind == VASQ_CTX_CHECK || ctx->kind == VASQ_CTX_DIRECT_CHECK);
    if (server && ctx && ctx->kind == VASQ_CTX_DIRECT_CHECK)
        vasq_direct_check_done(server);
    int r = 0;
    if (!server) {
        r = VASQ_ERR_NOT_INITIALIZED;
    } else if (!text || length <= 0) {
        if (check)
            vasq_set_retry_time(server);
        else
            r = VASQ_ERR_RPC_JSON_PARSE;
    } else if (!ctx) {
        char method[64];
        int id = 0;
        if (vasq_json_get_string(text, length, "method", method, sizeof method) != 0)
            r = VASQ_ERR_RPC_JSON_PARSE;
        else if (strcmp(method, "vasq.set_vendor") == 0)
            r = vasq_set_vendor(server, text, length);
        else if (strcmp(method, "_sync.vasq_wakeup") == 0 && server->init_mode == 1)
            r = vasq_wakeup(server, vasq_json_get_int(text, length, "id", &id) == 0 ? id : 0, text, length);
        else
            KO_LOGW(kModule, "method %s not taken\n", method);
    } else if (check) {
        vasq_store_p2p_key(server, text, length, 0);
        r = vasq_set_vendor(server, text, length);
        if (r != 0)
            vasq_set_retry_time(server);
        else
            vasq_vendor_changed(server);
    } else {
        r = vasq_store_p2p_key(server, text, length, 1);
        if (r == 0) {
            r = vasq_vendor_start(server, text, length);
            if (r == 0) {
                KO_LOGI(kModule, "vasq server vendor init ok!\n");
                vasq_vendor_changed(server);
                vasq_on_server_ready();
            }
        }
    }
    if (r != 0 && server) {
        vasq_on_error(nullptr, r, nullptr);
        vasq_report_error(server, nullptr, r);
    }
    vasq_free(ctx);
    return r;
}
