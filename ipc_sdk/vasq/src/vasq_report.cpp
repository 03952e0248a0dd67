// The session reports: JSON texts built with json-c and handed to the P2P service's statistics hook.
#include <json-c/json.h>
#include <string.h>

#include <memory>
#include <mutex>
#include <string>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "vasq_internal.h"

namespace {

constexpr const char *kModule = "VASQ";
constexpr size_t kReportMax = 1023; // a report's text, as the daemon takes it
constexpr uint64_t kSuspiciousMs = 60000;

struct Put {
    void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, Put>;

std::mutex g_lock;
char g_uuid[64];
char g_net_type[15] = "unknown";

const char *link_name(int type)
{
    static const char *const kNames[] = {"unknown", "p2p", "relay", "vlan", "tcp", "relay_r_p2p"};
    return type >= 0 && type <= 5 ? kNames[type] : "unexpected";
}

const char *nat_name(int type)
{
    static const char *const kNames[] = {"unknown", "ip_restricted", "port_restricted", "symmetric"};
    return type >= 0 && type <= 3 ? kNames[type] : "unexpected";
}

void add(json_object *o, const char *name, json_object *v)
{
    json_object_object_add(o, name, v);
}
json_object *num(int64_t v)
{
    return json_object_new_int64(v);
}
json_object *str(const char *v)
{
    return json_object_new_string(v);
}

json_object *head(const char *did, const char *model, const char *sdk_type)
{
    json_object *o = json_object_new_object();
    add(o, "did", str(did));
    add(o, "model", str(model));
    add(o, "sdkType", str(sdk_type));
    add(o, "version", str("3.2.7"));
    return o;
}

json_object *session_head(vasq_session *s)
{
    return head(s->did, s->model, s->sdk_type);
}

json_object *common(int vendor, const char *link, uint64_t channel, uint64_t created)
{
    json_object *o = json_object_new_object();
    add(o, "vendorItem", num(vendor));
    add(o, "linkType", str(link));
    add(o, "channelId", num(static_cast<int64_t>(channel)));
    add(o, "createTime", num(static_cast<int64_t>(created)));
    {
        std::lock_guard<std::mutex> g(g_lock);
        add(o, "netType", str(g_net_type));
    }
    add(o, "supportRP2P", num(1));
    return o;
}

json_object *session_common(vasq_session *s)
{
    return common(s->vendor, link_name(s->link_type), s->channel_id, s->connect_time_ms);
}

std::string text(json_object *o)
{
    return json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

int send(vasq_session *s, json_object *o, const char *failure)
{
    const std::string t = text(o);
    if (vasq_statistics(s, t.c_str(), static_cast<int>(t.size())) != 0) {
        KO_LOGW(kModule, "%s", failure);
        return -1;
    }
    return 0;
}

// {"name":[item]}
json_object *one(json_object *report, const char *name, json_object *item)
{
    json_object *list = json_object_new_array();
    json_object_array_add(list, item);
    add(report, name, list);
    return report;
}

int last_zt_error(vasq_session *s)
{
    return s && s->server ? __atomic_load_n(&s->server->last_zt_error, __ATOMIC_ACQUIRE) : 0;
}

// The bytes of `param` whose escaped form fits `budget` characters, cut before a character's start.
size_t fitting(const char *param, size_t n, size_t budget)
{
    size_t used = 0, i = 0;
    for (; i < n; i++) {
        const auto c = static_cast<unsigned char>(param[i]);
        const size_t cost = c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t' ? 2
                            : c < 0x20 ? 6
                                       : 1;
        if (used + cost > budget)
            break;
        used += cost;
    }
    while (i > 0 && i < n && (static_cast<unsigned char>(param[i]) & 0xC0) == 0x80)
        i--;
    return i;
}

} // namespace

void vasq_report_set_uuid(const char *uuid, int length)
{
    const size_t n = strnlen(uuid, static_cast<size_t>(length));
    if (n >= sizeof g_uuid) {
        KO_LOGW(kModule, "uuid info params   too large, length %d!\n", static_cast<int>(n));
        return;
    }
    std::lock_guard<std::mutex> g(g_lock);
    memcpy(g_uuid, uuid, n);
    g_uuid[n] = 0;
}

void vasq_report_set_net_type(const char *net, int length)
{
    const size_t n = strnlen(net, static_cast<size_t>(length));
    if (n >= sizeof g_net_type) {
        KO_LOGW(kModule, "net info params   too large!\n");
        return;
    }
    std::lock_guard<std::mutex> g(g_lock);
    memcpy(g_net_type, net, n);
    g_net_type[n] = 0;
}

int vasq_report_login_status(vasq_server *server, int status)
{
    const ztp_net_info &net = server->net_info;
    Json r(json_object_new_object());
    add(r.get(), "head", head(server->did, server->model, server->dev_name));
    add(r.get(), "vendorItem", num(server->vendor));
    add(r.get(), "loginInfo", num(status));
    json_object *info = json_object_new_object();
    add(info, "bInternet", str(net.internet_ok == 1 ? "OK" : "NO"));
    add(info, "bHostResolved", str(net.host_resolved == 1 ? "OK" : "NO"));
    add(info, "bServerAck", str(net.server_hello_ok == 1 ? "OK" : "NO"));
    add(info, "natType", str(nat_name(net.nat_type)));
    add(info, "eventType", num(server->event_type));
    add(r.get(), "networkInfo", info);
    add(r.get(), "p2pErrCode", num(__atomic_load_n(&server->last_zt_error, __ATOMIC_ACQUIRE)));
    return send(nullptr, r.get(), "report login   status msg send error\n");
}

int vasq_report_connection(vasq_session *s, int code)
{
    if (code == 0) {
        if (s->accept_tick_ms == 0) {
            KO_LOGW(kModule, "video connect time is invalued!\n");
            return -1;
        }
        s->connect_cost_ms = vexa_time_tick_ms() - s->accept_tick_ms;
    }
    const int suspicious = s->retry_count > 9 || s->connect_cost_ms > kSuspiciousMs;
    json_object *item = json_object_new_object();
    add(item, "retryCount", num(s->retry_count));
    add(item, "code", num(code));
    add(item, "cost", num(static_cast<int64_t>(s->connect_cost_ms)));
    add(item, "preload", num(s->preload));
    add(item, "common", session_common(s));
    add(item, "suspicious", num(suspicious));
    add(item, "p2pErrCode", num(last_zt_error(s)));
    Json r(json_object_new_object());
    add(r.get(), "head", session_head(s));
    return send(s, one(r.get(), "cameraConnections", item), "report connection msg send error\n");
}

int vasq_report_first_frame(vasq_session *s)
{
    const uint64_t start = __atomic_load_n(&s->video_start_ms, __ATOMIC_ACQUIRE);
    if (start == 0)
        return -1;
    s->first_frame_cost_ms = vexa_time_tick_ms() - start;
    json_object *item = json_object_new_object();
    add(item, "code", num(0));
    add(item, "cost", num(static_cast<int64_t>(s->first_frame_cost_ms)));
    add(item, "common", session_common(s));
    Json r(json_object_new_object());
    add(r.get(), "head", session_head(s));
    return send(s, one(r.get(), "firstFrames", item), "report firstframe msg send error\n");
}

int vasq_report_full_time(vasq_session *s)
{
    if (s->connect_cost_ms == 0 || s->first_frame_cost_ms == 0) {
        KO_LOGW(kModule, "connect_cost: %d, iframe_cost: %d!\n", static_cast<int>(s->connect_cost_ms),
                static_cast<int>(s->first_frame_cost_ms));
        return -1;
    }
    const uint64_t rpc = s->preload ? 0 : s->rpc_cost_ms;
    const uint64_t cost = rpc + s->connect_cost_ms + s->first_frame_cost_ms;
    json_object *item = json_object_new_object();
    add(item, "cost", num(static_cast<int64_t>(cost)));
    add(item, "cost_rpc", num(static_cast<int64_t>(rpc)));
    add(item, "preload", num(s->preload));
    add(item, "common", session_common(s));
    add(item, "suspicious", num(cost > kSuspiciousMs || rpc > 10000));
    Json r(json_object_new_object());
    add(r.get(), "head", session_head(s));
    return send(s, one(r.get(), "camerafulltime", item), "report fulltime msg send error\n");
}

int vasq_report_command(vasq_session *s, int code, const char *param, int length)
{
    const size_t n = param && length > 0 ? strnlen(param, static_cast<size_t>(length)) : 0;
    json_object *item = json_object_new_object();
    add(item, "cmd", num(code));
    Json r(json_object_new_object());
    add(r.get(), "head", session_head(s));
    add(r.get(), "common", session_common(s));
    json_object *list = json_object_new_array();
    json_object_array_add(list, item);
    add(r.get(), "cmdInfo", list);
    add(item, "param", str(""));
    const size_t base = text(r.get()).size();
    const size_t keep = base < kReportMax ? fitting(param ? param : "", n, kReportMax - base) : 0;
    add(item, "param", json_object_new_string_len(param ? param : "", static_cast<int>(keep)));
    return send(s, r.get(), "report command msg send error\n");
}

int vasq_report_disconnection(vasq_session *s, int code)
{
    vasq_server *server = s->server;
    pthread_mutex_lock(&server->lock);
    const int links = server->session_count;
    pthread_mutex_unlock(&server->lock);
    json_object *item = json_object_new_object();
    add(item, "common", session_common(s));
    add(item, "link_cnt", num(links));
    add(item, "cost", num(static_cast<int64_t>(vexa_time_tick_ms() - s->accept_tick_ms)));
    add(item, "code", num(code));
    add(item, "p2pErrCode", num(last_zt_error(s)));
    Json r(json_object_new_object());
    add(r.get(), "head", session_head(s));
    return send(s, one(r.get(), "cameraDisconnections", item), "report disconnection msg send error\n");
}

int vasq_report_error(vasq_server *server, vasq_session *s, int code)
{
    json_object *item = json_object_new_object();
    add(item, "errorCode", num(code));
    add(item, "common", s ? session_common(s) : common(server->vendor, "unknown", 0, 0));
    add(item, "p2pErrCode", num(s ? last_zt_error(s) : __atomic_load_n(&server->last_zt_error, __ATOMIC_ACQUIRE)));
    Json r(json_object_new_object());
    add(r.get(), "head", s ? session_head(s) : head(server->did, server->model, server->dev_name));
    return send(s, one(r.get(), "errors", item), "report error msg send error\n");
}

int vasq_report_frames(vasq_session *s, const vasq_frame_stats *f)
{
    KO_LOGI(kModule, "%s frame info, framecount:%d, dropFrame:%d, byteSize:%llu, duration:%llu\n", __func__,
            f->video_frames, f->video_dropped, static_cast<unsigned long long>(f->video_bytes),
            static_cast<unsigned long long>(f->duration_ms));
    json_object *item = json_object_new_object();
    add(item, "frameCount", num(f->video_frames));
    add(item, "dropFrame", num(f->video_dropped));
    add(item, "byteSize", num(static_cast<int64_t>(f->video_bytes)));
    add(item, "cost", num(static_cast<int64_t>(f->duration_ms)));
    add(item, "audioFrameCount", num(f->audio_frames));
    add(item, "audioDropFrame", num(f->audio_errors));
    add(item, "audioByteSize", num(static_cast<int64_t>(f->audio_bytes)));
    add(item, "autoSwitchTimes", num(f->auto_switches));
    add(item, "common", session_common(s));
    Json r(json_object_new_object());
    add(r.get(), "head", session_head(s));
    return send(s, one(r.get(), "frames", item), "report frame msg send error\n");
}
