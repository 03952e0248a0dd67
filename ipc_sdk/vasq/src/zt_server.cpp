// The transport's start and stop for the server role, and the status of one transport session.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_errors.h"
#include "vasq_mem.h"
#include "zt_errors.h"
#include "zt_internal.h"

namespace {

using zt::kModule;

// Start and stop run on the caller's thread (serialised by it), the only one to touch the flag.
void once_init(vasq_server *server)
{
    if (server->zt_ready)
        return;
    server->zt_ready = 1;
    vasq_list_init(&server->accepted);
    pthread_mutex_init(&server->accepted_lock, nullptr);
    pthread_cond_init(&server->accepted_left, nullptr);
    pthread_mutex_init(&server->wake_lock, nullptr);
    pthread_cond_init(&server->wake, nullptr);
}

// True while a session other than the caller's own is still accepted.
bool others_accepted(vasq_server *server)
{
    for (vasq_list_node *n = server->accepted.next; n != &server->accepted; n = n->next) {
        const vasq_session *s = VASQ_CONTAINER(n, vasq_session, accepted);
        if (!s->cmd_thread || !pthread_equal(s->cmd_thread->tid, pthread_self()))
            return true;
    }
    return false;
}

// Ends every accepted session and waits until each has left; the mutex is released while waiting,
// since a leaving session takes it.
void end_accepted(vasq_server *server)
{
    pthread_mutex_lock(&server->accepted_lock);
    for (vasq_list_node *n = server->accepted.next; n != &server->accepted; n = n->next)
        zt_session_destroy(VASQ_CONTAINER(n, vasq_session, accepted));
    while (others_accepted(server))
        pthread_cond_wait(&server->accepted_left, &server->accepted_lock);
    pthread_mutex_unlock(&server->accepted_lock);
}

} // namespace

bool zt::running(const vasq_server *server)
{
    return __atomic_load_n(&server->zt_running, __ATOMIC_ACQUIRE) != 0;
}

void zt::server_wait(vasq_server *server, int ms)
{
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000;
    }
    pthread_mutex_lock(&server->wake_lock);
    if (running(server))
        pthread_cond_timedwait(&server->wake, &server->wake_lock, &until);
    pthread_mutex_unlock(&server->wake_lock);
}

int zt_init_parameter(const char *version, const char *init_string, int max_sessions, char *out, size_t size)
{
    int n;
    if (strncmp(version, "4.2.0.0", 7) >= 0)
        n = snprintf(out, size, "{\"InitString\":\"%s\",\"MaxNumSess\":%d,\"SessAliveSec\":%d}", init_string,
                     max_sessions + 1, static_cast<int>(ZT_ALIVE_S));
    else
        n = snprintf(out, size, "%s", init_string);
    return n >= 0 && static_cast<size_t>(n) < size ? n : -1;
}

int get_status(int handle, int *link_type)
{
    ztp_session_info info{};
    const int r = ZTP_Check(handle, &info);
    if (r < 0)
        return r;
    char remote[INET_ADDRSTRLEN], local[INET_ADDRSTRLEN], wan[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &info.remote_addr.sin_addr, remote, sizeof remote);
    inet_ntop(AF_INET, &info.local_addr.sin_addr, local, sizeof local);
    inet_ntop(AF_INET, &info.wan_addr.sin_addr, wan, sizeof wan);
    KO_LOGI(kModule, "New session(%d) %s:%d connectting.\n", handle, remote, ntohs(info.remote_addr.sin_port));
    KO_LOGI(kModule, "ZTP my local ip: %s: %d\n", local, ntohs(info.local_addr.sin_port));
    KO_LOGI(kModule, "ZTP my Wan ip: %s: %d\n", wan, ntohs(info.wan_addr.sin_port));
    KO_LOGI(kModule, "ZTP mode: %d(%s),bCorD  : %d\n", info.mode, zt_mode_name(info.mode), info.role);
    if (link_type)
        *link_type = zt_link_type(info.mode);
    return 0;
}

int zt_server_init(vasq_server *server, const char *p2p_id, const char *crc_key, const char *init_string)
{
    if (!server || !p2p_id || !crc_key || !init_string) {
        KO_LOGE(kModule, "zt_server_init: an argument is absent\n");
        return -1;
    }
    once_init(server);
    if (server->listen_thread) {
        KO_LOGW(kModule, "zt_server_init: the transport runs already\n");
        return 0;
    }
    if (vasq_keep_copy(&server->p2p_id, p2p_id) != 0 || vasq_keep_copy(&server->crc_key, crc_key) != 0 ||
        vasq_keep_copy(&server->init_string, init_string) != 0) {
        KO_LOGE(kModule, "zt_server_init: no memory for the vendor parameters\n");
        return VASQ_ERR_NOT_ENOUGH_MEMORY;
    }
    const uint64_t t0 = vexa_time_tick_ms();
    KO_LOGI(kModule, "%s\n", ZTP_GetAPIInformation());
    const unsigned v = static_cast<unsigned>(ZTP_GetAPIVersion());
    char version[24];
    snprintf(version, sizeof version, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff);
    KO_LOGI(kModule, "%s\n", version);
    char param[ZTP_INIT_TEXT_MAX + 96];
    if (zt_init_parameter(version, server->init_string, server->max_sessions, param, sizeof param) < 0) {
        KO_LOGE(kModule, "init string too long\n");
        return VASQ_ERR_INVALID_ARG;
    }
    const int r = ZTP_Initialize(param);
    if (r != 0 && r != ERROR_ZTP_ALREADY_INITIALIZED) {
        KO_LOGE(kModule, "ZTP_Initialize: %d(%s)\n", r, zt_error_name(r));
        server->last_zt_error = r;
        return VASQ_ERR_NOT_INITIALIZED;
    }
    KO_LOGI(kModule, "ZTP_Initialize cost %llu ms\n", static_cast<unsigned long long>(vexa_time_tick_ms() - t0));
    __atomic_store_n(&server->zt_running, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&server->listen_done, 0, __ATOMIC_RELEASE);
    server->listen_thread = zt::start_thread("vasq_listen", 0, zt::listen_thread, server);
    if (server->listen_thread)
        server->login_thread = zt::start_thread("vasq_login", 0, zt::login_thread, server);
    if (!server->listen_thread || !server->login_thread) {
        KO_LOGE(kModule, "can't create the %s thread\n", server->listen_thread ? "login" : "listen");
        zt_server_finish(server);
        return VASQ_ERR_CREATE_THREAD;
    }
    return 0;
}

int zt_server_finish(vasq_server *server)
{
    if (!server)
        return ERROR_ZTP_NOT_INITIALIZED;
    once_init(server);
    pthread_mutex_lock(&server->wake_lock);
    __atomic_store_n(&server->zt_running, 0, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&server->wake);
    pthread_mutex_unlock(&server->wake_lock);
    if (server->listen_thread) {
        // A break that lands before the listen starts is not seen by it: repeat until it has left.
        while (!__atomic_load_n(&server->listen_done, __ATOMIC_ACQUIRE)) {
            const int r = ZTP_Listen_Break();
            if (r < 0)
                KO_LOGW(kModule, "ZTP_Listen_Break: %d(%s)\n", r, zt_error_name(r));
            usleep(20 * 1000);
        }
    }
    ko_thread_destory(server->listen_thread);
    server->listen_thread = nullptr;
    ko_thread_destory(server->login_thread);
    server->login_thread = nullptr;
    end_accepted(server);
    KO_LOGI(kModule, "zt deinit!\n");
    return ZTP_DeInitialize();
}
