// The ten RPC methods of the NAS service and their replies.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/nas/ko_nas_internal.h"
#include "app/nas/nas_share_common.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"

namespace ko_nas {

namespace {

using Json = ko_json_ptr;
struct ShareFree {
    void operator()(nas_share_ops_t *s) const { nas_share_free(s); }
};
using ShareRecord = std::unique_ptr<nas_share_ops_t, ShareFree>;

json_object *member(json_object *obj, const char *key)
{
    json_object *value = nullptr;
    return obj && json_object_object_get_ex(obj, key, &value) ? value : nullptr;
}

const char *text_member(json_object *obj, const char *key)
{
    json_object *value = member(obj, key);
    return value && json_object_is_type(value, json_type_string) ? json_object_get_string(value) : nullptr;
}

bool int_member(json_object *obj, const char *key, int32_t *out)
{
    json_object *value = member(obj, key);
    if (!value || !json_object_is_type(value, json_type_int))
        return false;
    const int64_t v = json_object_get_int64(value);
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

int share_type(json_object *share)
{
    int32_t type = NAS_SHARE_TYPE_SMB;
    int_member(share, "type", &type);
    return type;
}

std::string share_name(const char *dir)
{
    const std::string norm = nas_share_norm_path(dir);
    return norm.substr(0, norm.find('/'));
}

// The given share reaches the configured one's server, account and share.
bool same_share(const Nas &n, json_object *given)
{
    if (!n.share || !n.share_cfg || share_type(given) != n.rec.type)
        return false;
    for (const char *key : {"name", "addr", "group", "user", "pass"}) {
        const char *a = text_member(n.share_cfg, key);
        const char *b = text_member(given, key);
        if (std::strcmp(a ? a : "", b ? b : "") != 0)
            return false;
    }
    const char *dir_a = text_member(n.share_cfg, "dir");
    const char *dir_b = text_member(given, "dir");
    return share_name(dir_a) == share_name(dir_b);
}

std::string path_in_share(const char *dir)
{
    const std::string norm = nas_share_norm_path(dir);
    const size_t slash = norm.find('/');
    return slash == std::string::npos ? "\\" : norm.substr(slash + 1);
}

// A temporary record for a share other than the configured one: connecting it makes its "dir".
int open_temporary(json_object *given, ShareRecord *out)
{
    ShareRecord record(nas_share_new(share_type(given)));
    if (!record)
        return EINVAL;
    const int rc = record->open(record.get(), given);
    if (rc != 0)
        return rc;
    *out = std::move(record);
    return 0;
}

void list_dir(Nas &n, int id, json_object *params)
{
    json_object *given = member(params, "share");
    if (!given || !json_object_is_type(given, json_type_object))
        return send_reply_error(n, id, EINVAL, "Param error");
    const char *dir = text_member(given, "dir");
    nas_share_ops_t *s = nullptr;
    ShareRecord temporary;
    if (same_share(n, given)) {
        s = n.share;
    } else if (const int rc = open_temporary(given, &temporary); rc != 0) {
        return send_reply_error(n, id, rc, nas_share_error_text(rc));
    } else {
        s = temporary.get();
    }
    if (!s->isconnected(s) && s == n.share) {
        if (const int rc = s->connect(s); rc != 0)
            return send_reply_error(n, id, rc, nas_share_error_text(rc));
    }
    int err = 0;
    const std::string path = dir && *dir ? path_in_share(dir) : "";
    nas_share_dir_t *d = s->opendir(s, path.c_str(), &err);
    if (!d)
        return send_reply_error(n, id, err ? err : NAS_ERR_SERVER, nas_share_error_text(err ? err : NAS_ERR_SERVER));
    json_object *names = json_object_new_array();
    nas_share_entry_t entry;
    while (s->readdir(s, d, &entry) == 1)
        if (entry.kind == NAS_ENTRY_DIR || entry.kind == NAS_ENTRY_SHARE)
            json_object_array_add(names, json_object_new_string(entry.name));
    s->closedir(s, d);
    send_reply_ok(id, names);
}

void make_dir(Nas &n, int id, json_object *params)
{
    json_object *given = member(params, "share");
    if (!given || !json_object_is_type(given, json_type_object))
        return send_reply_error(n, id, EINVAL, "Param error");
    int rc = 0;
    if (same_share(n, given)) {
        // The configured connection stays as it is; only the missing folders are made.
        std::string path;
        const std::string rest = path_in_share(text_member(given, "dir"));
        size_t pos = 0;
        while (rc == 0 && rest != "\\" && pos < rest.size()) {
            const size_t slash = rest.find('/', pos);
            path = rest.substr(0, slash);
            pos = slash == std::string::npos ? rest.size() : slash + 1;
            rc = n.share->mkdir(n.share, path.c_str());
            if (rc == EEXIST)
                rc = 0;
        }
    } else {
        ShareRecord temporary;
        rc = open_temporary(given, &temporary);
    }
    if (rc != 0)
        return send_reply_error(n, id, rc, nas_share_error_text(rc));
    send_reply_ok(id, nullptr);
}

void set_config(Nas &n, int id, json_object *params)
{
    if (!params || !json_object_is_type(params, json_type_object))
        return send_reply_error(n, id, EINVAL, "Config fail");
    const ko_nas_record old = n.rec;
    int32_t value;
    if (int_member(params, "sync_interval", &value) && value >= 0)
        n.rec.interval = value;
    if (int_member(params, "video_retention_time", &value) && value >= 0)
        n.rec.retention = value;
    json_object *given = member(params, "share");
    if (given && json_object_is_type(given, json_type_object)) {
        stop_sync(n);
        if (n.rec.state == 3)
            nas_state_transition(n, 1); // the stopped sync's end is not waited for

        Json cfg(json_object_object_clone(given)); // shares the values; "dir" is replaced below
        const char *dir = text_member(cfg.get(), "dir");
        json_object_object_add(cfg.get(), "dir", json_object_new_string(video_dir(n, dir ? dir : "").c_str()));
        const int type = share_type(given);
        ShareRecord record(nas_share_new(type));
        const int rc = record ? record->open(record.get(), cfg.get()) : EINVAL;
        if (rc != 0 && record) {
            n.rec.interval = old.interval;
            n.rec.retention = old.retention;
            set_error(n, rc);
            return send_reply_error(n, id, rc, "Config fail");
        }
        nas_state_transition(n, 0);
        release_share(n);
        if (n.share_cfg)
            json_object_put(n.share_cfg);
        n.share_cfg = cfg.release();
        n.rec.type = type;
        n.rec.last_sync = 0;
        if (!record) {
            // A type without a back-end: kept, so that the phone sees what it chose, but failed.
            n.rec.state = 4;
            set_error(n, EINVAL);
            save_config(n);
            return send_reply_error(n, id, EINVAL, "Config fail");
        }
        n.share = record.release();
        set_error(n, 0);
        nas_state_transition(n, 1);
        save_config(n);
    }
    if (int_member(params, "state", &value)) {
        if (value < 0 || value > 3) {
            save_config(n);
            return send_reply_error(n, id, EINVAL, "Config fail");
        }
        nas_state_transition(n, value);
    }
    save_config(n);
    nas_state_init(n, n.rec.state);
    send_reply_ok(id, nullptr);
}

void get_config(Nas &n, int id)
{
    json_object *out = json_object_new_object();
    if (n.share_cfg) {
        json_object *share = json_object_object_clone(n.share_cfg);
        json_object_object_del(share, "pass");
        const char *dir = text_member(share, "dir");
        json_object_object_add(share, "dir", json_object_new_string(strip_video_dir(n, dir ? dir : "").c_str()));
        json_object_object_add(out, "share", share);
    } else {
        json_object_object_add(out, "share", nullptr);
    }
    json_object_object_add(out, "state", json_object_new_int(n.rec.state));
    json_object_object_add(out, "error_code", json_object_new_int(n.rec.error));
    json_object_object_add(out, "sync_interval", json_object_new_int(n.rec.interval));
    json_object_object_add(out, "video_retention_time", json_object_new_int(n.rec.retention));
    json_object_object_add(out, "last_sync_time", json_object_new_int64(static_cast<int64_t>(n.rec.last_sync)));
    send_reply_ok(id, out);
}

void sync_start_method(Nas &n, int id)
{
    if (!n.share)
        return send_reply_error(n, id, NAS_ERR_SERVER, "NAS Share not ready");
    const int rc = sync_start(n);
    if (rc != 0) {
        set_error(n, rc);
        return send_reply_error(n, id, rc, "NAS Error");
    }
    send_reply_ok(id, nullptr);
}

void clear_dir(Nas &n, int id)
{
    if (!n.share)
        return send_reply_error(n, id, EINVAL, "NAS is not ready yet");
    stop_sync(n);
    if (n.rec.state == 3)
        nas_state_transition(n, 1);
    nas_share_ops_t *s = n.share;
    int rc = s->isconnected(s) ? 0 : s->connect(s);
    const std::string root = share_root(n.share_cfg);
    int err = 0;
    nas_share_dir_t *d = rc == 0 ? s->opendir(s, root.c_str(), &err) : nullptr;
    if (!d)
        return send_reply_error(n, id, rc ? rc : err, nas_share_error_text(rc ? rc : err));
    std::vector<nas_share_entry_t> entries;
    nas_share_entry_t entry;
    while (s->readdir(s, d, &entry) == 1)
        entries.push_back(entry);
    s->closedir(s, d);
    for (const nas_share_entry_t &e : entries) {
        const std::string path = root + "/" + e.name;
        KO_LOGI(kModule, "%s: delete folder on nas %s\n", __func__, path.c_str());
        const int one = e.kind == NAS_ENTRY_DIR ? s->rmdir_recursive(s, path.c_str()) : s->unlink(s, path.c_str());
        if (one != 0)
            rc = one;
    }
    if (rc != 0)
        return send_reply_error(n, id, rc, nas_share_error_text(rc));
    send_reply_ok(id, nullptr);
}

void reset(Nas &n, int id)
{
    nas_state_transition(n, 0);
    release_share(n);
    reset_config(n);
    save_config(n);
    send_reply_ok(id, nullptr);
}

} // namespace

int send_upstream(const std::string &text)
{
    const int rc = ko_message_send(KO_UID_NAS, KO_UID_RPC, "rpc.rpc", text.c_str(), static_cast<uint32_t>(text.size()),
                                   KO_MSG_MODE_ASYNC);
    if (rc != 0)
        KO_LOGE(kModule, "nas reply not sent (%d)\n", rc);
    return rc;
}

void send_reply_ok(int id, json_object *result)
{
    json_object *reply = json_object_new_object();
    json_object_object_add(reply, "id", json_object_new_int(id));
    if (!result) {
        result = json_object_new_array();
        json_object_array_add(result, json_object_new_string("OK"));
    }
    json_object_object_add(reply, "result", result);
    send_upstream(json_object_to_json_string_ext(reply, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
    json_object_put(reply);
}

void send_reply_error(Nas &n, int id, int code, const char *message)
{
    ++n.err_times;
    n.last_err = static_cast<uint32_t>(code);
    json_object *reply = json_object_new_object();
    json_object_object_add(reply, "id", json_object_new_int(id));
    json_object *error = json_object_new_object();
    json_object_object_add(error, "code", json_object_new_int(code));
    json_object_object_add(error, "message", json_object_new_string(message));
    json_object_object_add(reply, "error", error);
    send_upstream(json_object_to_json_string_ext(reply, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE));
    json_object_put(reply);
}

void dispatch(const char *text, size_t len)
{
    json_tokener *tok = json_tokener_new();
    Json request(tok ? json_tokener_parse_ex(tok, text, static_cast<int>(len)) : nullptr);
    if (tok)
        json_tokener_free(tok);
    if (!request || !json_object_is_type(request.get(), json_type_object)) {
        KO_LOGE(kModule, "json tokener parse err(%.*s)...\n", static_cast<int>(len < 128 ? len : 128), text);
        return;
    }
    const char *method = text_member(request.get(), "method");
    if (!method) {
        KO_LOGE(kModule, "there is no method...\n");
        return;
    }
    int32_t id = 0;
    int_member(request.get(), "id", &id);
    json_object *params = member(request.get(), "params");
    Nas &n = nas();
    if (std::strcmp(method, "nas_scan") == 0)
        return scan_request(id); // runs on the loop; takes no lock
    std::lock_guard<std::mutex> hold(n.lock);
    if (!n.initialised)
        return;
    if (std::strcmp(method, "nas_list_dir") == 0)
        list_dir(n, id, params);
    else if (std::strcmp(method, "nas_set_config") == 0)
        set_config(n, id, params);
    else if (std::strcmp(method, "nas_get_config") == 0)
        get_config(n, id);
    else if (std::strcmp(method, "nas_sync_start") == 0)
        sync_start_method(n, id);
    else if (std::strcmp(method, "nas_sync_stop") == 0) {
        if (n.sync_thread)
            __atomic_store_n(&n.stop_flag, kStopRequested, __ATOMIC_RELEASE);
        send_reply_ok(id, nullptr);
    } else if (std::strcmp(method, "nas_exit") == 0)
        send_reply_ok(id, nullptr);
    else if (std::strcmp(method, "nas_clear_dir") == 0)
        clear_dir(n, id);
    else if (std::strcmp(method, "nas_reset") == 0)
        reset(n, id);
    else if (std::strcmp(method, "nas_make_dir") == 0)
        make_dir(n, id, params);
    else
        KO_LOGW(kModule, "unknown method %s\n", method);
}

} // namespace ko_nas
