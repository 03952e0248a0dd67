// Command 256: the phone's signature, the key agreement, eviction and admission of the session.
#include <limits.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_crypto.h"
#include "vasq_errors.h"
#include "vasq_internal.h"
#include "vasq_json.h"
#include "zt_adapter.h"

namespace {

constexpr const char *kModule = "VASQ";

struct Victim {
    vasq_session *s;
    int reason;
};

// Under the server's lock: the session leaves the list and its end belongs to the caller.
void take(vasq_server *server, vasq_session *v, int reason, std::vector<Victim> &out)
{
    v->connected = 0;
    v->evicted = 1;
    server->session_count--;
    vasq_list_del(&v->node);
    out.push_back({v, reason});
}

template <typename Fn>
void each_listed(vasq_server *server, Fn fn)
{
    for (vasq_list_node *n = server->sessions.next, *next; n != &server->sessions; n = next) {
        next = n->next;
        fn(VASQ_CONTAINER(n, vasq_session, node));
    }
}

bool uuid_given(const char *uuid)
{
    return uuid[0] != 0 && strcmp(uuid, "null") != 0;
}

// A phone that links again waits for its old session to end. Nothing a copier sends can tell the
// phone from its copy (the cipher has no counter), but only a phone that is gone stops answering its
// transport, which then ends the session within its alive time: a phone still answering is never
// put out by a newcomer with its uuid.
constexpr uint64_t kSameUuidWaitMs = 2 * ZT_ALIVE_S * 1000ull;
constexpr useconds_t kSameUuidPollUs = 100 * 1000;

enum class Admission { placed, needs_way, waits, full };

// Steps 6 and 7 under the server's lock: a session waits while one with its uuid is listed;
// without room the oldest pre-linked one gives way, and the place is reserved. With `victims` null
// nobody is taken out: a session that others would have to give way to or wait for is told so and
// placed nowhere.
Admission admit(vasq_server *server, vasq_session *s, std::vector<Victim> *victims)
{
    bool same_uuid = false;
    if (uuid_given(s->uuid)) {
        each_listed(server, [&](vasq_session *o) {
            if (o == s || strcmp(o->uuid, s->uuid) != 0)
                return;
            if (!victims)
                KO_LOGI(kModule, "the uuid(%s,%s) has existed, session %p,pos %p\n", s->uuid, o->uuid,
                        static_cast<void *>(o), static_cast<void *>(&o->node));
            same_uuid = true;
        });
    }
    if (same_uuid)
        return victims ? Admission::waits : Admission::needs_way;
    if (server->session_count >= server->max_sessions) {
        vasq_session *oldest = nullptr;
        int prelinked = 0;
        each_listed(server, [&](vasq_session *o) {
            KO_LOGI(kModule, "idx %d,connect_time %lld.\n", o->handle, static_cast<long long>(o->connect_time_ms));
            if (o->session_type != 1)
                return;
            prelinked++;
            if (!oldest || o->connect_time_ms < oldest->connect_time_ms)
                oldest = o;
        });
        KO_LOGI(kModule, "prelink_cnt %d.\n", prelinked);
        if (!oldest)
            return Admission::full;
        if (!victims)
            return Admission::needs_way;
        take(server, oldest, VASQ_REASON_OLDEST_PRELINK, *victims);
    }
    server->session_count++;
    return Admission::placed;
}

int reply(vasq_session *s, const char *text)
{
    return vasq_cmd_send(s, 257, text, static_cast<int>(strlen(text)));
}

int reply_failed(vasq_session *s, int code)
{
    char text[64];
    snprintf(text, sizeof text, "{\"result\":\"failed\",\"code\":%d}", code);
    return reply(s, text);
}

int reply_success(vasq_session *s, int link_status)
{
    char text[160];
    snprintf(text, sizeof text, "{\"result\":\"success\", \"channel\": \"%llu\",\"link_status\":%d,\"encrypt_type\":%d}",
             static_cast<unsigned long long>(s->auth_time_ms), link_status, s->encrypt_type);
    return reply(s, text);
}

void give_place_back(vasq_server *server)
{
    pthread_mutex_lock(&server->lock);
    server->session_count--;
    pthread_mutex_unlock(&server->lock);
}

Admission admit_locked(vasq_server *server, vasq_session *s, std::vector<Victim> *victims)
{
    pthread_mutex_lock(&server->lock);
    const Admission a = admit(server, s, victims);
    pthread_mutex_unlock(&server->lock);
    return a;
}

int refuse_for_room(vasq_session *s)
{
    vasq_on_error(s, VASQ_ERROR_DEVICE_SESSION_MAX, s->user_data);
    return VASQ_ERROR_DEVICE_SESSION_MAX;
}

// Step 9 for a session whose place is reserved.
int go_live(vasq_session *s)
{
    vasq_server *server = s->server;
    vasq_set_state(s, VASQ_STATE_NORMAL);
    if (vasq_on_connect(s, &s->user_data) != 0) {
        KO_LOGW(kModule, "session(%d) refused by the connect hook\n", s->handle);
        give_place_back(server);
        return VASQ_ERR_CLOSE_BY_LOCAL;
    }
    pthread_mutex_lock(&server->lock);
    s->connected = 1;
    vasq_list_add_tail(&server->sessions, &s->node);
    server->last_connect_s = vasq_tick_s();
    pthread_mutex_unlock(&server->lock);
    if (s->vendor != VASQ_VENDOR_ZTP)
        vasq_report_connection(s, 0);
    return 0;
}

} // namespace

int vasq_authorized(vasq_server *server, vasq_session *s, const char *public_key_hex, const char *sign_hex)
{
    uint8_t phone_public[32], sign[32];
    if (vasq_hex32(public_key_hex, phone_public) != 0 || vasq_hex32(sign_hex, sign) != 0) {
        KO_LOGW(kModule, "public key or sign is not 64 hex characters\n");
    } else {
        char key[VASQ_SIGN_KEY_MAX + 1];
        pthread_mutex_lock(&server->lock);
        const int n = vasq_sign_key(server->did, server->token, server->token_len, server->p2p_key, server->req_key,
                                    server->public_key, key, sizeof key);
        pthread_mutex_unlock(&server->lock);
        const bool signed_ok = n > 0 && vasq_sign_matches(key, static_cast<size_t>(n), public_key_hex,
                                                          strlen(public_key_hex), sign);
        sodium_memzero(key, sizeof key);
        if (signed_ok) {
            if (vasq_shared_key(phone_public, server->secret_key, s->shared_key) == 0)
                return 0;
            KO_LOGW(kModule, "the phone's public key is of low order\n");
        }
    }
    KO_LOGW(kModule, "vasq_authorized failed.!!!\n");
    if (server->init_mode == 0) {
        KO_LOGI(kModule, "send check vendor info.\n");
        vasq_vendor_check(server, 1, 1);
    }
    return -1;
}

int vasq_auth_process(vasq_session *s, const char *request, int length)
{
    vasq_server *server = s->server;
    KO_LOGI(kModule, "%s, cmd(0x%x)\n", vasq_get_cmd_info(256), 256);
    if (vasq_state(s) == VASQ_STATE_NORMAL || s->proving) {
        KO_LOGW(kModule, "session(%d) is authorised already: authenticate req dropped\n", s->handle);
        return 0;
    }
    vasq_set_state(s, VASQ_STATE_AUTHENTICATING);

    if (server->ignore_uuid || vasq_json_get_string(request, length, "uuid", s->uuid, sizeof s->uuid) != 0)
        snprintf(s->uuid, sizeof s->uuid, "null");
    s->encrypt_type = server->encrypt_type;
    if (vasq_json_get_int(request, length, "support_encrypt", &s->support_encrypt) != 0)
        s->support_encrypt = 0;
    if (s->support_encrypt == 0 && s->encrypt_type != 0) {
        KO_LOGW(kModule, "server(%d) and client(%d) encrypt type are not match\n", s->encrypt_type, s->support_encrypt);
        s->encrypt_type = 0;
    }
    KO_LOGI(kModule, "uuid: %s,client_support_encrypt %#x,encrypt_type %d\n", s->uuid, s->support_encrypt,
            s->encrypt_type);

    char public_key[VASQ_KEY_HEX + 2], sign[VASQ_KEY_HEX + 2];
    const bool ok = vasq_json_get_string(request, length, "public_key", public_key, sizeof public_key) == 0 &&
                    vasq_json_get_string(request, length, "sign", sign, sizeof sign) == 0 &&
                    vasq_authorized(server, s, public_key, sign) == 0;
    KO_LOGI(kModule, "session(%d) authorized: %s\n", s->handle, ok ? "success" : "failed");
    if (!ok) {
        reply_failed(s, VASQ_ERR_AUTHORIZED);
        return VASQ_ERR_AUTHORIZED;
    }
    s->auth_time_ms = vexa_time_realtime_ms();
    s->channel_id = s->auth_time_ms;
    s->session_type = 1;
    KO_LOGI(kModule, "set session type: prelink\n");
    if (s->encrypt_type != 0)
        vasq_aes_key(s->shared_key, s->aes_key);

    const Admission a = admit_locked(server, s, nullptr);
    if (a == Admission::full) {
        if (uuid_given(s->uuid))
            reply_success(s, 1);
        else
            reply_failed(s, VASQ_ERROR_DEVICE_SESSION_MAX);
        return refuse_for_room(s);
    }
    // The signature and the public key travel in the clear, so a copy of this request passes as well
    // as the phone's own. Only the phone can use the key agreed on: a session that others must give
    // way to waits until its first command shows that it holds that key.
    if (a == Admission::needs_way) {
        s->proving = 1;
        KO_LOGI(kModule, "session(%d) takes its place once its first command proves its key\n", s->handle);
        return reply_success(s, 0);
    }
    const int sent = reply_success(s, 0);
    if (sent != 0) {
        give_place_back(server);
        return sent;
    }
    return go_live(s);
}

int vasq_auth_proved(vasq_session *s, int code)
{
    s->proving = 0;
    if (!vasq_cmd_known(code)) {
        KO_LOGW(kModule, "session(%d) does not hold its key (first command 0x%x): nobody gives way to it\n",
                s->handle, code);
        return VASQ_ERR_AUTHORIZED;
    }
    std::vector<Victim> victims;
    const uint64_t until = vexa_time_tick_ms() + kSameUuidWaitMs;
    Admission a;
    while ((a = admit_locked(s->server, s, &victims)) == Admission::waits) {
        if (vasq_state(s) == VASQ_STATE_DISCONNECT)
            return VASQ_ERR_CLOSE_BY_LOCAL;
        if (vexa_time_tick_ms() >= until) {
            KO_LOGW(kModule, "session(%d): the session of uuid %s still hears from its phone: nobody gives way\n",
                    s->handle, s->uuid);
            return VASQ_ERR_AUTHORIZED;
        }
        usleep(kSameUuidPollUs);
    }
    for (const Victim &v : victims)
        vasq_evict(v.s, v.reason);
    if (a == Admission::full) {
        KO_LOGW(kModule, "session(%d) proved its key but the places were taken meanwhile\n", s->handle);
        return refuse_for_room(s);
    }
    return go_live(s);
}

void vasq_evict(vasq_session *s, int reason)
{
    session_error_code(s, reason);
    vasq_report_disconnection(s, reason);
    vasq_on_disconnect(s, reason, s->user_data);
}

void vasq_close_listed(vasq_server *server, int reason)
{
    std::vector<Victim> all;
    pthread_mutex_lock(&server->lock);
    each_listed(server, [&](vasq_session *o) { take(server, o, reason, all); });
    pthread_mutex_unlock(&server->lock);
    // All are told to stop before the first is waited for: their threads wind down together, not one
    // session's after another's.
    for (const Victim &v : all) {
        session_error_code(v.s, v.reason);
        if (v.s->vendor == VASQ_VENDOR_ZTP)
            zt_session_destroy(v.s);
    }
    for (const Victim &v : all)
        vasq_evict(v.s, v.reason);
}
