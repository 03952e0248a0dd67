// "nas_scan": a 10-second NetBIOS discovery on "nas_ev", answered 0.75 s after it starts with the
// hosts found so far, or at once while one runs (which starts its window again).
#include <ev.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/nas/ko_nas_ev.h"
#include "app/nas/ko_nas_internal.h"
#include "app/nas/nas_netbios.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_log.h"

namespace ko_nas {

namespace {

constexpr double kWindowS = 10.0;
constexpr double kFirstReplyS = 0.75;
constexpr double kRoundS = 1.0;
// What fits into one bus message with the reply's frame around it.
constexpr size_t kReplyMax = KO_MSG_PARAM_MAX - 64;

ev_timer g_window;
ev_timer g_first_reply;
int g_pending_id = -1;
bool g_ready = false;

void reply_hosts(int id)
{
    nas_nb_host hosts[NAS_NB_MAX_HOSTS];
    const size_t count = nas_netbios_hosts(hosts, NAS_NB_MAX_HOSTS);
    json_object *list = json_object_new_array();
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        json_object *host = json_object_new_object();
        json_object_object_add(host, "name", json_object_new_string(hosts[i].name));
        json_object_object_add(host, "group", json_object_new_string(hosts[i].group));
        json_object_object_add(host, "addr", json_object_new_string(hosts[i].addr));
        const size_t len = std::strlen(json_object_to_json_string_ext(host, JSON_C_TO_STRING_PLAIN)) + 1;
        if (used + len > kReplyMax) {
            KO_LOGW(kModule, "nas_scan: %zu hosts left out of the reply\n", count - i);
            json_object_put(host);
            break;
        }
        used += len;
        json_object_array_add(list, host);
    }
    send_reply_ok(id, list);
}

void stop_discovery(struct ev_loop *loop)
{
    if (g_pending_id >= 0) {
        reply_hosts(g_pending_id);
        g_pending_id = -1;
    }
    ev_timer_stop(loop, &g_first_reply);
    ev_timer_stop(loop, &g_window);
    if (nas_netbios_discover_running())
        KO_LOGI(kModule, "nas stop discovery!\n");
    nas_netbios_discover_stop(loop);
}

void window_cb(struct ev_loop *loop, ev_timer *, int)
{
    stop_discovery(loop);
}

void first_reply_cb(struct ev_loop *, ev_timer *, int)
{
    if (g_pending_id >= 0)
        reply_hosts(g_pending_id);
    g_pending_id = -1;
}

void ensure()
{
    if (g_ready)
        return;
    ev_timer_init(&g_window, window_cb, kWindowS, 0.0);
    ev_timer_init(&g_first_reply, first_reply_cb, kFirstReplyS, 0.0);
    g_ready = true;
}

void on_loop(struct ev_loop *loop, void *arg)
{
    const int id = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    ensure();
    ev_timer_stop(loop, &g_window);
    ev_timer_set(&g_window, kWindowS, 0.0);
    ev_timer_start(loop, &g_window);
    if (nas_netbios_discover_running()) {
        reply_hosts(id);
        return;
    }
    KO_LOGI(kModule, "nas start discovery!\n");
    if (nas_netbios_discover_start(loop, kRoundS) != 0) {
        ev_timer_stop(loop, &g_window);
        send_reply_error(nas(), id, NAS_ERR_SERVER, "NAS Error");
        return;
    }
    g_pending_id = id;
    ev_timer_stop(loop, &g_first_reply);
    ev_timer_start(loop, &g_first_reply);
}

} // namespace

void scan_request(int id)
{
    if (ko_nas_ev_post(on_loop, reinterpret_cast<void *>(static_cast<intptr_t>(id))) != 0)
        send_reply_error(nas(), id, NAS_ERR_SERVER, "NAS Error");
}

void scan_stop(struct ev_loop *loop)
{
    ensure();
    g_pending_id = -1;
    stop_discovery(loop);
}

} // namespace ko_nas
