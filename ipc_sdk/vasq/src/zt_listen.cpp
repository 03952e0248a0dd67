// The listen thread: every phone the transport accepts becomes a session with its command thread.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "common/utils/ko_log.h"
#include "vasq_errors.h"
#include "zt_errors.h"
#include "zt_internal.h"

namespace {

using zt::kModule;

constexpr unsigned kListenTimeoutS = 60;
constexpr uint8_t kLoginUdpTcp = 2;
constexpr int kRetryMs = 300;
// The P2P service's retry period: a listen that ended for good is taken up again after it.
constexpr int kRelistenMs = 5000;

bool retried(int r)
{
    return r == ERROR_ZTP_TIME_OUT || r == ERROR_ZTP_INVALID_ID || r == ERROR_ZTP_USER_LISTEN_BREAK ||
           r == ERROR_ZTP_MAX_SESSION || r == ERROR_ZTP_FAILED_TO_CONNECT_TCP_RELAY;
}

bool sessions_accepted(vasq_server *server)
{
    pthread_mutex_lock(&server->accepted_lock);
    const bool any = !vasq_list_empty(&server->accepted);
    pthread_mutex_unlock(&server->accepted_lock);
    return any;
}

// Turns an accepted handle into a session. A phone gone before its status is read costs only its
// own handle: the listen goes on.
void accept_session(vasq_server *server, int handle)
{
    int link = 0;
    const int st = get_status(handle, &link);
    if (st < 0) {
        KO_LOGW(kModule, "get_status(%d): %d(%s), handle closed\n", handle, st, zt_error_name(st));
        ZTP_Close(handle);
        return;
    }
    vasq_session *s = zt::session_new(server, handle, link);
    if (!s) {
        KO_LOGE(kModule, "vasq_malloc error: %s\n", strerror(errno ? errno : ENOMEM));
        vasq_on_error(nullptr, VASQ_ERR_NOT_ENOUGH_MEMORY, server->user_data);
        ZTP_Close(handle);
        return;
    }
    KO_LOGI(kModule, "session vendor is %d\n", s->vendor);
    // Listed before its thread runs, so that a stop in between still ends it.
    pthread_mutex_lock(&server->accepted_lock);
    vasq_list_add_tail(&server->accepted, &s->accepted);
    s->cmd_thread = zt::start_thread("command_%u", handle, zt::command_thread, s);
    const bool started = s->cmd_thread != nullptr;
    if (!started)
        vasq_list_del(&s->accepted);
    pthread_mutex_unlock(&server->accepted_lock);
    if (started) {
        zt::server_wait(server, kRetryMs);
        return;
    }
    KO_LOGE(kModule, "Can't create command recv thread: %d\n", errno);
    vasq_on_error(nullptr, VASQ_ERR_CREATE_THREAD, server->user_data);
    pthread_mutex_lock(&s->handle_lock);
    ZTP_Close(handle);
    pthread_mutex_unlock(&s->handle_lock);
    zt_session_free(s);
}

} // namespace

void *zt::listen_thread(void *arg)
{
    auto *server = static_cast<vasq_server *>(arg);
    while (running(server)) {
        const int r = ZTP_SetCRCKey(server->crc_key);
        if (r < 0)
            KO_LOGW(kModule, "ZTP_SetCRCKey: %d(%s)\n", r, zt_error_name(r));
        const int handle = ZTP_Listen(server->p2p_id, kListenTimeoutS, 0, kLoginUdpTcp);
        if (handle >= 0) {
            accept_session(server, handle);
            continue;
        }
        __atomic_store_n(&server->last_zt_error, handle, __ATOMIC_RELEASE);
        KO_LOGW(kModule, "ZTP_Listen: %d(%s)\n", handle, zt_error_name(handle));
        if (!running(server))
            break;
        if (retried(handle)) {
            server_wait(server, kRetryMs);
            continue;
        }
        // A restart of the server would close the sessions that go on; while the transport stays
        // initialised a new listen needs none.
        if (handle == ERROR_ZTP_NOT_INITIALIZED || !sessions_accepted(server)) {
            vasq_on_error(nullptr, VASQ_ERR_ABORTED, server->user_data);
            break;
        }
        KO_LOGW(kModule, "listen again in %d ms, the accepted sessions go on\n", kRelistenMs);
        server_wait(server, kRelistenMs);
    }
    __atomic_store_n(&server->listen_done, 1, __ATOMIC_RELEASE);
    return nullptr;
}
