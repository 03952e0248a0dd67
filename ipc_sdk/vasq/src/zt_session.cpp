// One accepted transport session: its record, its command thread and the end of the session.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_errors.h"
#include "vasq_mem.h"
#include "zt_errors.h"
#include "zt_internal.h"

namespace zt {

ko_thread *start_thread(const char *format, int handle, ko_thread_entry entry, void *arg)
{
    ko_thread_attr attr{};
    snprintf(attr.name, sizeof attr.name, format, handle);
    return ko_thread_run(&attr, entry, arg);
}

vasq_session *session_new(vasq_server *server, int handle, int link_type)
{
    auto *s = static_cast<vasq_session *>(vasq_malloc(sizeof(vasq_session)));
    if (!s)
        return nullptr;
    s->video_ring = ring_buf_new(server->send_video_size);
    s->audio_ring = ring_buf_new(server->send_audio_size);
    if (!s->video_ring || !s->audio_ring) {
        ring_buf_free(s->video_ring);
        ring_buf_free(s->audio_ring);
        vasq_free(s);
        return nullptr;
    }
    s->state = VASQ_STATE_INIT;
    s->server = server;
    s->handle = handle;
    s->link_type = link_type;
    s->vendor = server->vendor;
    s->send_video_size = server->send_video_size;
    s->send_audio_size = server->send_audio_size;
    s->recv_video_size = server->recv_video_size;
    s->recv_audio_size = server->recv_audio_size;
    s->connect_time_ms = vexa_time_realtime_ms();
    s->accept_tick_ms = vexa_time_tick_ms();
    s->first_frame = -1;
    s->auth_time_ms = ~0ull;
    snprintf(s->did, sizeof s->did, "%s", server->did);
    snprintf(s->model, sizeof s->model, "%s", server->model);
    snprintf(s->sdk_type, sizeof s->sdk_type, "%s", server->dev_name);
    pthread_mutex_init(&s->error_lock, nullptr);
    pthread_mutex_init(&s->handle_lock, nullptr);
    pthread_mutex_init(&s->send_lock, nullptr);
    pthread_mutex_init(&s->cond_lock, nullptr);
    pthread_mutex_init(&s->closing_lock, nullptr);
    pthread_cond_init(&s->send_cond, nullptr);
    return s;
}

} // namespace zt

void zt_session_free(vasq_session *s)
{
    if (!s)
        return;
    pthread_cond_destroy(&s->send_cond);
    pthread_mutex_destroy(&s->closing_lock);
    pthread_mutex_destroy(&s->cond_lock);
    pthread_mutex_destroy(&s->send_lock);
    pthread_mutex_destroy(&s->handle_lock);
    pthread_mutex_destroy(&s->error_lock);
    ring_buf_free(s->video_ring);
    ring_buf_free(s->audio_ring);
    vasq_free(s);
}

namespace {

using zt::kModule;

// The media and RDT threads once the phone is authorised; false when one does not start.
bool start_media_threads(vasq_session *s)
{
    const int h = s->handle;
    if (!s->send_thread && !(s->send_thread = zt::start_thread("avsend_%d", h, zt::send_thread, s)))
        return false;
    if (s->recv_audio_size >= 1 && !s->audio_thread &&
        !(s->audio_thread = zt::start_thread("audio_%d", h, zt::audio_recv_thread, s)))
        return false;
    if (s->recv_video_size >= 1 && !s->video_thread &&
        !(s->video_thread = zt::start_thread("video_%d", h, zt::video_recv_thread, s)))
        return false;
    if (!s->rdt_thread && !(s->rdt_thread = zt::start_thread("rdt_%d", h, zt::rdt_recv_thread, s)))
        return false;
    if (s->link_type == 2) {
        if (!s->stat_thread && !(s->stat_thread = zt::start_thread("statistics_%d", h, zt::statistics_thread, s)))
            return false;
    } else if (!s->connection_reported) {
        s->connection_reported = 1;
        vasq_report_connection(s, 0);
    }
    return true;
}

// One command: 0 keeps the session, else the reason it ends.
int command(vasq_session *s, char *buf, int n)
{
    if (n < 4) {
        KO_LOGW(kModule, "session(%d) command of %d bytes has no code\n", s->handle, n);
        return VASQ_ERR_INVALID_ARG;
    }
    buf[n] = 0;
    uint32_t be;
    memcpy(&be, buf, 4);
    const int code = static_cast<int>(ntohl(be));
    const int r = vasq_cmd_process(s, code, buf + 4, n - 4);
    if (r != 0) {
        KO_LOGW(kModule, "session(%d) command 0x%x: %d\n", s->handle, code, r);
        return r;
    }
    // A phone's authorisation, or the first command of one whose place waited for it, admits it.
    if (!s->send_thread && vasq_state(s) == VASQ_STATE_NORMAL && !start_media_threads(s))
        return VASQ_ERR_CREATE_THREAD;
    return 0;
}

void join(ko_thread **t)
{
    ko_thread_destory(*t);
    *t = nullptr;
}

// Every thread of the session has left when this runs; the handle is closed once, after them, so
// that no thread of this session can touch a number the listen hands to the next phone.
void end_session(vasq_session *s)
{
    vasq_server *server = s->server;
    vasq_set_state(s, VASQ_STATE_DISCONNECT);
    zt::wake_sender(s);
    join(&s->send_thread);
    join(&s->audio_thread);
    join(&s->video_thread);
    join(&s->rdt_thread);
    join(&s->stat_thread);

    pthread_mutex_lock(&s->handle_lock);
    if (s->handle >= 0) {
        const int r = s->force_close ? ZTP_ForceClose(s->handle) : ZTP_Close(s->handle);
        if (r < 0)
            KO_LOGW(kModule, "close session(%d): %d(%s)\n", s->handle, r, zt_error_name(r));
        s->handle = -1;
    }
    pthread_mutex_unlock(&s->handle_lock);

    pthread_mutex_lock(&s->error_lock);
    const int code = s->error_code;
    pthread_mutex_unlock(&s->error_lock);
    if (code > 2) {
        vasq_report_error(server, s, code);
        vasq_on_error(s, code, s->user_data);
    }

    pthread_mutex_lock(&server->lock);
    vasq_list_del(&s->node);
    const bool change = vasq_list_empty(&server->sessions) && server->vendor_change_pending;
    const int forced = server->forced;
    const bool connected = s->connected != 0;
    // An evicted session's end belongs to its evictor, whose disconnect hook closes it after us.
    const bool evicted = s->evicted != 0;
    if (connected) {
        s->connected = 0;
        server->session_count--;
    }
    pthread_mutex_unlock(&server->lock);
    if (change)
        vasq_server_change_vendor(server, server->vendor, forced);

    // Leaving the accepted list is the last touch of the server: its stop waits for it. What follows
    // uses the session's own copies only.
    pthread_mutex_lock(&server->accepted_lock);
    vasq_list_del(&s->accepted);
    pthread_cond_broadcast(&server->accepted_left);
    pthread_mutex_unlock(&server->accepted_lock);

    if (connected) {
        vasq_report_disconnection(s, code);
        vasq_on_disconnect(s, code, s->user_data);
    } else if (!evicted) {
        KO_LOGI(kModule, "session(%p) not connected: closed\n", static_cast<void *>(s));
        vasq_server_session_close(s);
    }
}

} // namespace

void *zt::command_thread(void *arg)
{
    auto *s = static_cast<vasq_session *>(arg);
    char buf[VASQ_CMD_MAX + 1];
    while (vasq_state(s) != VASQ_STATE_DISCONNECT) {
        const int n = zt_read(s, ZT_CH_CMD, buf, VASQ_CMD_MAX);
        if (vasq_state(s) == VASQ_STATE_DISCONNECT)
            break;
        if (n <= 0) {
            session_error_code(s, -n);
            break;
        }
        const int r = command(s, buf, n);
        if (r != 0) {
            session_error_code(s, r);
            break;
        }
    }
    end_session(s);
    return nullptr;
}

ko_thread *zt_session_cmd_thread(vasq_session *s)
{
    pthread_mutex_lock(&s->server->accepted_lock);
    ko_thread *t = s->cmd_thread;
    pthread_mutex_unlock(&s->server->accepted_lock);
    return t;
}

void zt_session_destroy(vasq_session *s)
{
    if (!s)
        return;
    session_error_code(s, VASQ_ERR_CLOSE_BY_LOCAL);
    pthread_mutex_lock(&s->handle_lock);
    s->force_close = 1;
    pthread_mutex_unlock(&s->handle_lock);
    vasq_set_state(s, VASQ_STATE_DISCONNECT);
    zt::wake_sender(s);
}
