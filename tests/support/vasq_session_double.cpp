// The recording double of the session protocol, server API, reports and P2P service hooks.
#include "vasq_session_double.h"

#include <string.h>

#include <algorithm>
#include <chrono>

#include "vasq_mem.h"
#include "zel_test_support.h"
#include "zt_adapter.h"

namespace vasqtest {

Record &Record::get()
{
    static Record *r = new Record; // session threads may report while the process ends
    return *r;
}

void Record::clear()
{
    std::lock_guard<std::mutex> g(lock_);
    calls_.clear();
    received_.clear();
    cmd_results_.clear();
}

void Record::add(Call c)
{
    {
        std::lock_guard<std::mutex> g(lock_);
        calls_.push_back(std::move(c));
    }
    changed_.notify_all();
}

std::vector<Call> Record::calls(const std::string &what)
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Call> out;
    for (const Call &c : calls_)
        if (c.what == what)
            out.push_back(c);
    return out;
}

size_t Record::count(const std::string &what)
{
    return calls(what).size();
}

bool Record::wait(const std::string &what, size_t n, int timeout_ms)
{
    return zeltest::wait_until([&] { return count(what) >= n; }, std::chrono::milliseconds(timeout_ms));
}

Received Record::received(const void *session)
{
    std::lock_guard<std::mutex> g(lock_);
    return received_[session];
}

void Record::with_received(const void *session, const std::function<void(Received &)> &fn)
{
    std::lock_guard<std::mutex> g(lock_);
    fn(received_[session]);
}

std::vector<vasq_session *> Record::sessions()
{
    std::lock_guard<std::mutex> g(lock_);
    return live_;
}

void Record::remember(vasq_session *s)
{
    std::lock_guard<std::mutex> g(lock_);
    live_.push_back(s);
}

void Record::forget(const void *session)
{
    std::lock_guard<std::mutex> g(lock_);
    live_.erase(std::remove(live_.begin(), live_.end(), session), live_.end());
}

void Record::set_cmd_result(int code, int result)
{
    std::lock_guard<std::mutex> g(lock_);
    cmd_results_[code] = result;
}

int Record::cmd_result(int code)
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = cmd_results_.find(code);
    return it == cmd_results_.end() ? 0 : it->second;
}

vasq_server *server_new(int max_sessions, int send_video, int send_audio, int recv_video, int recv_audio)
{
    auto *s = static_cast<vasq_server *>(vasq_malloc(sizeof(vasq_server)));
    s->max_sessions = max_sessions;
    vasq_list_init(&s->sessions);
    pthread_mutex_init(&s->lock, nullptr);
    s->running = 1;
    strcpy(s->dev_name, "unknown");
    strcpy(s->did, "ZLMR-000123-ABCDE");
    strcpy(s->model, "zelmar.camera.c1");
    s->send_video_size = send_video ? send_video : VASQ_DEFAULT_SEND_VIDEO;
    s->send_audio_size = send_audio ? send_audio : VASQ_DEFAULT_SEND_AUDIO;
    s->recv_video_size = recv_video ? recv_video : VASQ_DEFAULT_RECV_VIDEO;
    s->recv_audio_size = recv_audio > 0 ? recv_audio : VASQ_DEFAULT_RECV_AUDIO;
    s->init_mode = 1;
    s->vendor = VASQ_VENDOR_ZTP;
    s->vendor_check_interval_s = 79200;
    s->stale_login_interval_s = 3600;
    return s;
}

void server_free(vasq_server *server)
{
    vasq_free(server->p2p_id);
    vasq_free(server->crc_key);
    vasq_free(server->init_string);
    pthread_mutex_destroy(&server->lock);
    vasq_free(server);
}

} // namespace vasqtest

using vasqtest::Call;
using vasqtest::Record;

extern "C" {

int vasq_cmd_process(vasq_session *s, int code, char *data, int length)
{
    Record::get().add({"cmd", s, code, std::string(data, static_cast<size_t>(length))});
    Record::get().with_received(s, [&](vasqtest::Received &r) { r.commands.emplace_back(code, std::string(data, static_cast<size_t>(length))); });
    const int result = Record::get().cmd_result(code);
    if (result != 0)
        return result;
    if (code == 256 && vasq_state(s) < VASQ_STATE_NORMAL) {
        vasq_set_state(s, VASQ_STATE_NORMAL);
        s->connected = 1;
        pthread_mutex_lock(&s->server->lock);
        vasq_list_add_tail(&s->server->sessions, &s->node);
        s->server->session_count++;
        pthread_mutex_unlock(&s->server->lock);
        Record::get().remember(s);
    }
    return 0;
}

int vasq_video_process(vasq_session *s, char *buffer, char *payload, int length)
{
    const auto *h = reinterpret_cast<const vasq_frame_info *>(buffer);
    Record::get().with_received(s, [&](vasqtest::Received &r) {
        r.video.append(payload, static_cast<size_t>(length));
        r.video_headers.push_back(*h);
    });
    return 0;
}

int vasq_audio_process(vasq_session *s, char *, char *payload, int length)
{
    Record::get().with_received(s, [&](vasqtest::Received &r) { r.audio.append(payload, static_cast<size_t>(length)); });
    return 0;
}

int vasq_rdt_process(vasq_session *s, char *, char *payload, int length)
{
    Record::get().with_received(s, [&](vasqtest::Received &r) { r.rdt.append(payload, static_cast<size_t>(length)); });
    return 0;
}

int vasq_vendor_check(vasq_server *, int direct, int with_request_key)
{
    Record::get().add({"vendor_check", nullptr, direct << 1 | with_request_key, ""});
    return 0;
}

// As the server API closes a session: the first call acts; the command thread is joined, or
// detached when it is the caller.
void vasq_server_session_close(vasq_session *s)
{
    pthread_mutex_lock(&s->closing_lock);
    const int first = !s->closing;
    s->closing = 1;
    pthread_mutex_unlock(&s->closing_lock);
    if (!first)
        return;
    Record::get().forget(s);
    Record::get().add({"close", s, 0, ""});
    zt_session_destroy(s);
    if (s->cmd_thread && pthread_equal(s->cmd_thread->tid, pthread_self())) {
        pthread_detach(s->cmd_thread->tid);
        s->cmd_thread->attr.detached = 1;
    }
    ko_thread_destory(s->cmd_thread);
    zt_session_free(s);
}

int vasq_server_change_vendor(vasq_server *, int vendor, int force)
{
    Record::get().add({"change_vendor", nullptr, vendor, force ? "force" : ""});
    return 0;
}

void vasq_on_error(vasq_session *s, int code, void *)
{
    Record::get().add({"error", s, code, ""});
}

// The P2P service gives the session back at once.
void vasq_on_disconnect(vasq_session *s, int code, void *)
{
    Record::get().add({"disconnect", s, code, ""});
    vasq_server_session_close(s);
}

int vasq_report_login_status(vasq_server *server, int status)
{
    Call c{"login", nullptr, status, std::to_string(server->event_type)};
    c.net = server->net_info;
    Record::get().add(c);
    return 0;
}

int vasq_report_connection(vasq_session *s, int code)
{
    Record::get().add({"connection", s, code, std::to_string(s->link_type)});
    return 0;
}

int vasq_report_error(vasq_server *, vasq_session *s, int code)
{
    Record::get().add({"report_error", s, code, ""});
    return 0;
}

int vasq_report_disconnection(vasq_session *s, int code)
{
    Record::get().add({"disconnection", s, code, ""});
    return 0;
}

} // extern "C"
