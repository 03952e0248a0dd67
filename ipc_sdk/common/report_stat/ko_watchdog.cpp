#include "common/report_stat/ko_watchdog.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "common/ko_porting_hooks.h"
#include "common/report_stat/ko_report_stat.h"
#include "common/report_stat/ko_report_statics.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_thread.h"
#include "common/utils/ko_time.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *kModule = "KO WATCHDOG";
constexpr uint64_t kKeepAliveMs = 10000;
constexpr int kPauseMs = 2000;
constexpr unsigned kDeathPauseS = 20;

struct Watchdog {
    ko_thread *thread = nullptr;
    std::atomic<bool> running{false};
    int wake[2] = {-1, -1}; // ends the thread's pauses at stop
};

Watchdog *g_watchdog = nullptr;
std::atomic<ko_camera_state_source> g_state_source{nullptr};

// Waits `ms` unless the watchdog is stopped meanwhile; false when it was.
bool rest(Watchdog &w, int ms)
{
    pollfd fd{w.wake[0], POLLIN, 0};
    while (poll(&fd, 1, ms) < 0 && errno == EINTR) {
    }
    return w.running.load();
}

int connect_supervisor(Watchdog &w)
{
    const std::string path = zel_path("/tmp/.ko_daemon.socket");
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        KO_LOGE(kModule, "daemon socket path too long: %s\n", path.c_str());
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0 && !rest(w, 3000))
            return -1;
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            KO_LOGE(kModule, "Request socket failed\n");
            continue;
        }
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            KO_LOGE(kModule, "connect daemon socket failed\n");
            close(fd);
            continue;
        }
        const timeval two_s{2, 0};
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &two_s, sizeof two_s) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &two_s, sizeof two_s) != 0)
            KO_LOGE(kModule, "setsockopt failed\n");
        return fd;
    }
    return -1;
}

// Sends a text with its terminating NUL; false when the supervisor did not take it whole.
bool send_text(int fd, const std::string &text)
{
    const size_t len = text.size() + 1;
    for (size_t sent = 0; sent < len;) {
        const ssize_t n = send(fd, text.c_str() + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            KO_LOGE(kModule, "send to daemon socket failed: %s\n", strerror(errno));
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string keepalive_text(const char *extra)
{
    json_object *root = json_object_new_object();
    json_object *para = json_object_new_object();
    json_object_object_add(root, "id", json_object_new_int(123));
    json_object_object_add(root, "method", json_object_new_string("daemon.keepalive"));
    json_object_object_add(para, "pid", json_object_new_int(getpid()));
    json_object_object_add(para, "extra", json_object_new_string(extra));
    json_object_object_add(root, "para", para);
    std::string text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
    json_object_put(root);
    return text;
}

void ask_crash_info(int fd)
{
    char request[96];
    std::snprintf(request, sizeof request, "{\"id\":123,\"method\":\"daemon.getinfo\",\"para\":{\"pid\":%d}}", getpid());
    if (!send_text(fd, request))
        return;
    char reply[256];
    const ssize_t n = recv(fd, reply, sizeof reply - 1, 0);
    if (n <= 0) {
        KO_LOGE(kModule, "recv from daemon socket failed: %s\n", strerror(errno));
        return;
    }
    reply[n] = '\0';
    KO_LOGW(kModule, "recv:%s\n", reply);
    json_object *root = json_tokener_parse(reply);
    json_object *info = nullptr;
    if (json_object_object_get_ex(root, "info", &info))
        report_stat_json("crash.info", info);
    else
        KO_LOGE(kModule, "daemon info without \"info\": %s\n", reply);
    json_object_put(root);
}

[[noreturn]] void declare_dead(int fd, const thread_alive_info &dead)
{
    KO_LOGE(kModule, "thread=%s,tid=%lu, thread died\n", dead.name, static_cast<unsigned long>(dead.tid));
    if (fd >= 0)
        send_text(fd, keepalive_text(dead.name));
    json_object *report = json_object_new_object();
    json_object_object_add(report, "thread_name", json_object_new_string(dead.name));
    report_stat_json("watchdog.info", report);
    json_object_put(report);
    report_single_triger(0);
    ko_ipc_on_error(0);
    for (unsigned left = kDeathPauseS; left > 0;)
        left = sleep(left); // a signal does not cut the pause short
    // Other threads are still running: leave without running exit handlers under their feet.
    std::fflush(nullptr);
    _exit(1);
}

void *watchdog_loop(void *arg)
{
    Watchdog &w = *static_cast<Watchdog *>(arg);
    const int fd = connect_supervisor(w);
    uint64_t last_keepalive = vexa_time_tick_ms();
    bool state8_seen = false;
    while (rest(w, kPauseMs)) {
        thread_alive_info dead{};
        if (thread_alive_check(&dead) == 1)
            declare_dead(fd, dead);
        const uint64_t now = vexa_time_tick_ms();
        if (fd >= 0 && now - last_keepalive > kKeepAliveMs) {
            send_text(fd, keepalive_text(""));
            last_keepalive = now;
        }
        const ko_camera_state_source state = g_state_source.load();
        if (!state8_seen && state && state() == 8) {
            state8_seen = true;
            report_single_triger(8);
            if (fd >= 0)
                ask_crash_info(fd);
        }
    }
    if (fd >= 0)
        close(fd);
    return nullptr;
}

} // namespace

void ko_thread_watchdog_set_state_source(ko_camera_state_source source)
{
    g_state_source.store(source);
}

int ko_thread_watchdog_init(void)
{
    if (g_watchdog) {
        KO_LOGE(kModule, "already inited!\n");
        return -1;
    }
    auto *w = new (std::nothrow) Watchdog;
    if (!w) {
        KO_LOGE(kModule, "g_watch_dog_handle  malloc fail!\n");
        return -1;
    }
    if (pipe2(w->wake, O_CLOEXEC) != 0) {
        KO_LOGE(kModule, "g_watch_dog_handle  malloc fail!\n");
        delete w;
        return -1;
    }
    w->running.store(true);
    ko_thread_attr attr{};
    attr.stack_size = 2 * 1024 * 1024;
    std::snprintf(attr.name, sizeof attr.name, "watchdog");
    w->thread = ko_thread_run(&attr, watchdog_loop, w);
    if (!w->thread) {
        KO_LOGE(kModule, " pthread_create wrong!\n");
        close(w->wake[0]);
        close(w->wake[1]);
        delete w;
        return -1;
    }
    g_watchdog = w;
    return 0;
}

int ko_thread_watchdog_deinit(void)
{
    Watchdog *w = g_watchdog;
    if (!w) {
        KO_LOGE(kModule, "thread_watchdog not start!\n");
        return -1;
    }
    w->running.store(false);
    const char wake = 1;
    if (write(w->wake[1], &wake, 1) != 1)
        KO_LOGW(kModule, "wake watchdog failed: %s\n", strerror(errno));
    ko_thread_destory(w->thread);
    close(w->wake[0]);
    close(w->wake[1]);
    delete w;
    g_watchdog = nullptr;
    return 0;
}
