// The requests of the cloud HTTP protocol over the SDK's HTTP client.
#include "app/cloud/cloud_http.h"

#include <json-c/json.h>

#include <cinttypes>
#include <functional>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/cloud/cloud_http_test.h"
#include "app/cloud/cloud_pause.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "common/utils/vexa_base64.h"
#include "zelmar/zel_path.h"

namespace {

// The IV text of the signed preUpload and switch requests.
constexpr const char *kFixedIv = "Vb3kQw9LmZx_7tRpYc2HdA";
constexpr int kAttempts = 4;
constexpr size_t kUrlMax = 51199;
constexpr size_t kPlainMax = 2048;

struct http_deleter {
    void operator()(vexa_http *h) const { vexa_http_free(h); }
};
using http_ptr = std::unique_ptr<vexa_http, http_deleter>;

struct enc_deleter {
    void operator()(cloud_file_enc *e) const { cloud_file_enc_close(e); }
};
using enc_ptr = std::unique_ptr<cloud_file_enc, enc_deleter>;

bool recorder_running(const cloud_upload_ctx_t *ctx)
{
    return !ctx->rec || ctx->rec->running.load() != 0;
}

// A stop aborts the transfer in progress.
int stopping(void *user)
{
    return recorder_running(static_cast<const cloud_upload_ctx_t *>(user)) ? 0 : 1;
}

std::string cookie_of(cloud_upload_ctx_t *ctx)
{
    std::lock_guard<std::mutex> lock(ctx->mutex);
    return std::string("serviceToken=") + ctx->token;
}

std::string domain_of(cloud_upload_ctx_t *ctx)
{
    std::lock_guard<std::mutex> lock(ctx->mutex);
    return ctx->domain;
}

http_ptr new_request(cloud_upload_ctx_t *ctx, const std::string &url)
{
    http_ptr h(vexa_http_new(url.c_str(), 0, cookie_of(ctx).c_str(), 0));
    if (h) {
        h->abort_check = stopping;
        h->abort_user = ctx;
    }
    return h;
}

std::string iv_text(const cloud_upload_ctx_t *ctx)
{
    char out[32];
    vexa_base64_encode_url(ctx->iv, sizeof ctx->iv, out, sizeof out);
    return out;
}

// An encrypted query value, or "" when it cannot be made.
std::string enc_value(const cloud_upload_ctx_t *ctx, const std::string &plain)
{
    std::vector<char> out(((plain.size() / 16 + 1) * 16 + 2) / 3 * 4 + 1);
    if (_data_encrypt_and_base64_endcode(ctx, plain.data(), plain.size(), out.data(), out.size()) < 0)
        return {};
    return out.data();
}

// Checks and decrypts the reply of a request that returned 0, then maps its result.
int reply_outcome(cloud_upload_ctx_t *ctx, const vexa_http *h, std::string *plain)
{
    std::vector<char> out(kPlainMax + 1);
    const int n = http_response_decrypt(ctx, h->reply, out.data(), out.size());
    if (n < 0)
        return n;
    if (plain)
        *plain = out.data();
    return cloud_reply_result(out.data());
}

// One GET with its retries; `retry` says whether a failed attempt is tried again.
int signed_get(cloud_upload_ctx_t *ctx, const std::string &url, bool retry, std::string *plain)
{
    http_ptr h = new_request(ctx, url);
    if (!h)
        return -1;
    int rc = -1;
    for (int attempt = 0; attempt < (retry ? kAttempts : 1); ++attempt) {
        if (attempt > 0 && (!recorder_running(ctx) || !cloud_pause_ms(ctx->rec, 1000)))
            break;
        http_clean_resource(h.get());
        rc = vexa_http_start_request_get(h.get(), &ctx->get_conn);
        ctx->get_used_ms = vexa_time_tick_ms();
        if (rc == 0 && h->reply[0])
            break;
        if (rc == 0)
            rc = -1;
    }
    if (rc != 0)
        return rc;
    return reply_outcome(ctx, h.get(), plain);
}


ko_json_ptr parse_object(const std::string &text)
{
    ko_json_ptr obj(json_tokener_parse(text.c_str()));
    if (obj && !json_object_is_type(obj.get(), json_type_object))
        obj.reset();
    return obj;
}

// A GET whose checked reply is a JSON object: 0 with `*obj`, or the request's result.
int get_object(cloud_upload_ctx_t *ctx, const std::string &url, bool retry, ko_json_ptr *obj)
{
    std::string plain;
    const int rc = signed_get(ctx, url, retry, &plain);
    if (rc != 0)
        return rc;
    *obj = parse_object(plain);
    return *obj ? 0 : -1;
}

// A GET of `path` signed over the fixed IV, its reply object in *obj.
int get_signed_object(cloud_upload_ctx_t *ctx, const char *path, bool retry, ko_json_ptr *obj)
{
    char sign[48];
    if (cloud_encrypt_sign((std::string("GET&") + path + "&" + kFixedIv).c_str(), sign, sizeof sign) < 0)
        return -1;
    return get_object(ctx, domain_of(ctx) + path + "?iv=" + kFixedIv + "&signature=" + sign, retry, obj);
}

bool get_int(json_object *obj, const char *key, int *out)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(obj, key, &v) || !json_object_is_type(v, json_type_int))
        return false;
    *out = json_object_get_int(v);
    return true;
}

bool get_bool(json_object *obj, const char *key, uint8_t *out)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(obj, key, &v) || !json_object_is_type(v, json_type_boolean))
        return false;
    *out = json_object_get_boolean(v) ? 1 : 0;
    return true;
}

// The first URL of the storageUrl array (an array, or a string holding one): empty when there is
// none usable.
std::string first_storage_url(json_object *obj)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(obj, "storageUrl", &v))
        return {};
    ko_json_ptr parsed;
    if (json_object_is_type(v, json_type_string)) {
        parsed.reset(json_tokener_parse(json_object_get_string(v)));
        v = parsed.get();
    }
    if (!v || !json_object_is_type(v, json_type_array) || json_object_array_length(v) == 0)
        return {};
    json_object *first = json_object_array_get_idx(v, 0);
    if (!json_object_is_type(first, json_type_string))
        return {};
    return json_object_get_string(first);
}

std::string meta_json(const cloud_file_node_t *node)
{
    const char *video = get_codec_name(node->video_codec);
    const char *audio = get_codec_name(node->audio_codec);
    char buf[512];
    snprintf(buf, sizeof buf,
             "{\"codecName\":\"%s\",\"audioCodecName\":\"%s\",\"width\":%u,\"height\":%u,\"duration\":%lf,"
             "\"createTime\":%" PRIu64 "}",
             video ? video : "", audio ? audio : "", node->width, node->height,
             static_cast<double>(node->duration_ms) / 1000.0, node->first_frame_ms);
    return buf;
}

uint64_t face_id(const cloud_file_node_t *node)
{
    uint64_t id = 0;
    std::memcpy(&id, node->event.face, sizeof id);
    return id;
}

struct post_values {
    std::string query;
    bool ok = true;
};

// Appends "&name=" and the encrypted value.
void add_value(const cloud_upload_ctx_t *ctx, post_values &q, const char *name, const std::string &plain)
{
    const std::string v = enc_value(ctx, plain);
    if (v.empty())
        q.ok = false;
    q.query += name;
    q.query += v;
}

// The query values shared by the clip and the event posts, up to "eventInfo".
post_values common_values(cloud_upload_ctx_t *ctx, const cloud_file_node_t *node, const char *file_id)
{
    post_values q;
    char names[512];
    if (parse_event_flag(static_cast<uint32_t>(node->event.types), names, sizeof names) < 0)
        names[0] = 0;
    const cloud_record_state_t *rec = ctx->rec;
    uint8_t cut = 0, vip = 0;
    if (rec) {
        std::lock_guard<std::mutex> lock(ctx->rec->mutex);
        cut = rec->cloud_switch;
        vip = rec->vip;
    }
    q.query = "?iv=" + iv_text(ctx);
    add_value(ctx, q, "&offset=", std::to_string(ctx->offset));
    add_value(ctx, q, "&eventType=", names);
    add_value(ctx, q, "&cut=", std::to_string(cut ? 1 : 0));
    add_value(ctx, q, "&isVip=", std::to_string(vip));
    add_value(ctx, q, "&model=", ctx->model);
    add_value(ctx, q, "&fileId=", file_id);
    add_value(ctx, q, "&extraInfo=",
              std::string("{\"ver\":\"1.0.0\",\"alarmStart\":") + (ctx->offset == 0 ? "true" : "false") +
                  ",\"eventType\":\"" + names + "\"}");
    if (node->event.types & CLOUD_FACE_BITS)
        add_value(ctx, q, "&eventInfo=",
                  "{\"Face\":[{\"id\":\"" + std::to_string(static_cast<unsigned long long>(face_id(node))) + "\"}]}");
    return q;
}

int post_with_retries(cloud_upload_ctx_t *ctx, vexa_http *h, const std::function<int()> &send)
{
    int rc = -1;
    ctx->post_retries = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0 && (!recorder_running(ctx) || !cloud_pause_ms(ctx->rec, 1000)))
            break;
        if (attempt > 0)
            ++ctx->post_retries;
        http_clean_resource(h);
        rc = send();
        ctx->post_used_ms = vexa_time_tick_ms();
        if (rc == 0)
            break;
    }
    if (rc != 0)
        return rc;
    return reply_outcome(ctx, h, nullptr);
}

} // namespace

cloud_upload_ctx_t &cloud_upload_ctx()
{
    static cloud_upload_ctx_t ctx{};
    return ctx;
}

void cloud_http_test_set_context(const char *domain, const uint8_t key[16], const char *token, const uint8_t iv[16],
                                 const char *model, cloud_record_state_t *rec)
{
    cloud_upload_ctx_t &ctx = cloud_upload_ctx();
    std::lock_guard<std::mutex> lock(ctx.mutex);
    snprintf(ctx.domain, sizeof ctx.domain, "%s", domain);
    std::memcpy(ctx.session_key, key, 16);
    snprintf(ctx.token, sizeof ctx.token, "%s", token);
    std::memcpy(ctx.iv, iv, 16);
    snprintf(ctx.model, sizeof ctx.model, "%s", model);
    ctx.token_valid = 1;
    ctx.rec = rec;
}

int cloud_http_config_get_gop(cloud_upload_ctx_t *ctx)
{
    if (!ctx)
        return -1;
    const char *path = "/common/device/getGOPInfo";
    const std::string url = domain_of(ctx) + path + "?iv=" + iv_text(ctx) + "&model=" + enc_value(ctx, ctx->model);
    ko_json_ptr obj;
    const int rc = get_object(ctx, url, false, &obj);
    if (rc != 0)
        return rc;
    int gop = 0, alarm = 0, cloud = 0;
    if (!get_int(obj.get(), "gop", &gop) || !get_int(obj.get(), "alarmOffsetLimit", &alarm) ||
        !get_int(obj.get(), "cloudOffsetLimit", &cloud) || alarm < 1 || alarm > 3 || cloud < 1 || cloud > 600 ||
        gop < 3 || gop > 10) {
        KO_LOGE(CLOUD_MODULE, "get_gop_info err,gop:%d ,non_offset:%d ,offset:%d \n", gop, alarm, cloud);
        return -1;
    }
    if (ctx->rec) {
        std::lock_guard<std::mutex> lock(ctx->rec->mutex);
        ctx->rec->gop = gop;
        ctx->rec->alarm_offset_limit = alarm;
        ctx->rec->cloud_offset_limit = cloud;
    }
    return 0;
}

int cloud_http_config_get(cloud_upload_ctx_t *ctx)
{
    if (!ctx)
        return -1;
    const char *path = "/vexa/camera/device/v2/switch";
    ko_json_ptr obj;
    const int rc = get_signed_object(ctx, path, false, &obj);
    if (rc != 0)
        return rc;
    uint8_t on = 0;
    if (!get_bool(obj.get(), "cloudSwitch", &on)) {
        KO_LOGE(CLOUD_MODULE, "cloud switch reply without cloudSwitch\n");
        return -1;
    }
    if (ctx->rec) {
        std::lock_guard<std::mutex> lock(ctx->rec->mutex);
        ctx->rec->cloud_switch = on;
    }
    return 0;
}

int cloud_http_get_vipstatus(cloud_upload_ctx_t *ctx)
{
    if (!ctx)
        return -1;
    const char *path = "/common/device/vip/status";
    const std::string iv = iv_text(ctx);
    const std::string region = enc_value(ctx, "CN");
    char sign[48];
    if (region.empty() || cloud_encrypt_sign(("GET&" + std::string(path) + "&" + iv + "&" + region).c_str(), sign,
                                             sizeof sign) < 0)
        return -1;
    ko_json_ptr obj;
    const int rc = get_object(ctx, domain_of(ctx) + path + "?iv=" + iv + "&signature=" + sign + "&region=" + region,
                              false, &obj);
    if (rc != 0)
        return rc;
    uint8_t vip = 0, free_sur = 0;
    json_object *expiry = nullptr;
    if (!get_bool(obj.get(), "vip", &vip) || !get_bool(obj.get(), "freeHomSurStatus", &free_sur) ||
        !json_object_object_get_ex(obj.get(), "freeHomeSurExpireTime", &expiry) ||
        !json_object_is_type(expiry, json_type_int)) {
        KO_LOGE(CLOUD_MODULE, "vip status reply incomplete\n");
        return -1;
    }
    const int64_t expiry_ms = json_object_get_int64(expiry);
    if (ctx->rec) {
        std::lock_guard<std::mutex> lock(ctx->rec->mutex);
        ctx->rec->vip = vip;
        ctx->rec->free_surveillance = free_sur;
        ctx->rec->vip_expiry_ms = expiry_ms;
    }
    KO_LOGI(CLOUD_MODULE, "get vip status: %d,freeHomSurStatus:%d,freeHomeSurExpireTime:%s\n", vip, free_sur,
            std::to_string(expiry_ms).c_str());
    return 0;
}

int cloud_http_pre_upload_request(cloud_upload_ctx_t *ctx, cloud_upload_slot_t *slot)
{
    if (!ctx || !slot)
        return -1;
    const char *path = "/common/device/preUpload";
    ko_json_ptr obj;
    const int rc = get_signed_object(ctx, path, true, &obj);
    if (rc != 0)
        return rc;
    json_object *id = nullptr;
    if (!json_object_object_get_ex(obj.get(), "fileId", &id) || !json_object_is_type(id, json_type_string)) {
        KO_LOGE(CLOUD_MODULE, "preUpload reply without fileId\n");
        return -1;
    }
    const std::string file_id = json_object_get_string(id);
    const std::string url = first_storage_url(obj.get());
    if (file_id.empty() || file_id.size() >= sizeof slot->file_id || url.empty() ||
        url.size() >= sizeof slot->storage_url) {
        KO_LOGE(CLOUD_MODULE, "preUpload reply refused: fileId %zu, storageUrl %zu characters\n", file_id.size(),
                url.size());
        return -1;
    }
    std::memcpy(slot->file_id, file_id.c_str(), file_id.size() + 1);
    std::memcpy(slot->storage_url, url.c_str(), url.size() + 1);
    slot->state = 2;
    return 0;
}

int cloud_http_file_post(cloud_upload_ctx_t *ctx, const cloud_file_node_t *node)
{
    if (!ctx || !node)
        return -1;
    const cloud_upload_slot_t &slot = ctx->active;
    post_values q = common_values(ctx, node, slot.file_id);
    int gop = 3, alarm = 3, cloud = 600;
    uint8_t vip = 0;
    if (ctx->rec) {
        std::lock_guard<std::mutex> lock(ctx->rec->mutex);
        gop = ctx->rec->gop;
        alarm = ctx->rec->alarm_offset_limit;
        cloud = ctx->rec->cloud_offset_limit;
        vip = ctx->rec->vip;
    }
    const cloud_record_state_t *rec = ctx->rec;
    char gop_info[128];
    snprintf(gop_info, sizeof gop_info, "{\"gopInfo\":{\"gop\":%d,\"alarmOffsetLimit\":%d,\"cloudOffsetLimit\":%d}}",
             gop, alarm, cloud);
    add_value(ctx, q, "&additionalInfo=", gop_info);
    add_value(ctx, q, "&ignoreEvent=", std::to_string(node->outside_schedule));
    add_value(ctx, q, "&operationType=", node->end_of_block ? "endBlock" : "midBlock");
    add_value(ctx, q, "&serverBabyCryCheck=", std::to_string(rec && rec->check_baby_cry ? vip : 0));
    add_value(ctx, q, "&serverPeopleMotionCheck=", std::to_string(rec ? rec->check_people_motion : 0));
    add_value(ctx, q, "&serverFaceCheck=", std::to_string(rec && rec->check_face ? vip : 0));
    add_value(ctx, q, "&metaJson=", meta_json(node));
    const std::string url = std::string(slot.storage_url) + "/common/device/v3/upload" + q.query;
    if (!q.ok || url.size() > kUrlMax) {
        KO_LOGE(CLOUD_MODULE, "generate post file param error\n");
        return -1;
    }
    http_ptr h = new_request(ctx, url);
    if (!h)
        return -1;
    h->read_callback = http_read_file_callback;
    ctx->mp4_encrypt_errors = 0;
    return post_with_retries(ctx, h.get(), [&] {
        // Each attempt streams the files afresh.
        enc_ptr mp4(cloud_file_enc_open(ctx, node->mp4_path));
        enc_ptr jpeg(cloud_file_enc_open(ctx, node->jpeg_path));
        if (!mp4)
            ++ctx->mp4_encrypt_errors;
        if (!mp4 || !jpeg)
            return -1;
        return vexa_http_start_post_file_enc(h.get(), cloud_file_enc_stream(mp4.get()),
                                             cloud_file_enc_stream(jpeg.get()), &ctx->post_conn);
    });
}

int cloud_http_post_event(cloud_upload_ctx_t *ctx, const cloud_file_node_t *node)
{
    if (!ctx || !node)
        return -1;
    post_values q = common_values(ctx, node, ctx->active.file_id);
    add_value(ctx, q, "&ignoreEvent=", std::to_string(node->outside_schedule));
    add_value(ctx, q, "&operationType=", node->end_of_block ? "endBlock" : "midBlock");
    const std::string url = domain_of(ctx) + "/common/device/v1/upload/event" + q.query;
    if (!q.ok || url.size() > kUrlMax) {
        KO_LOGE(CLOUD_MODULE, "generate post file param error\n");
        return -1;
    }
    http_ptr h = new_request(ctx, url);
    if (!h)
        return -1;
    const int rc = post_with_retries(ctx, h.get(), [&] { return vexa_http_start_post_data(h.get(), "", &ctx->post_conn); });
    if (rc == 0)
        KO_LOGI(CLOUD_MODULE, "vexa http post  CLOUD_POST_UPLOAD_EVENT ok！\n");
    return rc;
}

int cloud_http_face_jpeg_post(cloud_upload_ctx_t *ctx, const cloud_file_node_t *node)
{
    if (!ctx || !node || !node->face_path[0])
        return -1;
    char sign[48];
    if (encrypt_file(ctx, node->face_path, CLOUD_FACE_ENC_PATH, sign, sizeof sign) != 0) {
        KO_LOGE(CLOUD_MODULE, "cloud img_face encrypt failed!\n");
        return -1;
    }
    ko_event_face face;
    std::memcpy(&face, node->event.face, sizeof face);
    std::string features;
    char pair[64];
    for (uint16_t i = 0; face.feature && i + 1 < face.feature_num; i += 2) {
        float a, b;
        std::memcpy(&a, &face.feature[i], sizeof a);
        std::memcpy(&b, &face.feature[i + 1], sizeof b);
        snprintf(pair, sizeof pair, "%f,%f,", static_cast<double>(a), static_cast<double>(b));
        features += pair;
    }
    post_values q;
    q.query = "?iv=" + iv_text(ctx);
    add_value(ctx, q, "&figureId=", std::to_string(static_cast<unsigned long long>(face_id(node))));
    add_value(ctx, q, "&features=", features);
    add_value(ctx, q, "&offset=", std::to_string(ctx->offset));
    add_value(ctx, q, "&fileId=", ctx->active.file_id);
    add_value(ctx, q, "&imgSign=", sign);
    const std::string url = domain_of(ctx) + "/vexa/camera/device/v1/upload/facePhoto" + q.query;
    if (!q.ok || url.size() > kUrlMax) {
        KO_LOGE(CLOUD_MODULE, "generate post file param error\n");
        return -1;
    }
    http_ptr h = new_request(ctx, url);
    if (!h)
        return -1;
    const std::string photo = zel_path(CLOUD_FACE_ENC_PATH);
    return post_with_retries(ctx, h.get(),
                             [&] { return vexa_http_start_post_file(h.get(), nullptr, photo.c_str(), &ctx->post_conn); });
}

void cloud_http_disconnect(vexa_http_conn *conn)
{
    vexa_http_disconnect(conn);
}
