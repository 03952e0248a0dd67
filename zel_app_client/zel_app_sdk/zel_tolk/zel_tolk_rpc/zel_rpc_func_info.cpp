// Read-only and constant rows (card, capabilities, the media description) and the lock-region and
// hotspot objects.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/ko_porting_hooks.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "app_sdk_porting/zel_tolk_clock.h"

namespace zel_rpc {

namespace {

// Before this second the card's state is not believed: the recorder starts with a valid clock.
constexpr int64_t kLastInvalidSecond = 1546271999;
constexpr int kNotSupported = -4001;
constexpr int kCardAbsent = 1;

std::string bounded(json_object *obj, const char *key, size_t max)
{
    json_object *v = member(obj, key);
    if (!v || !json_object_is_type(v, json_type_string))
        return "";
    return std::string(json_object_get_string(v), strnlen(json_object_get_string(v), max));
}

// A reply element without a value: the card figure the phone asks for is not kept.
void not_supported(int siid, int piid, int op, char *json, int size)
{
    if (op == SPEC_OP_GET)
        std::snprintf(json, static_cast<size_t>(size), "{\"did\" : \"%s\",\"siid\" : %d,\"piid\" : %d,\"code\" : %d}",
                      func_did, siid, piid, kNotSupported);
}

// The legal status of a lock-region text {"lock_region","legal_status"}.
bool legal_status_of(const std::string &text, int32_t *legal)
{
    JsonPtr obj = parse_one(text);
    return int_member(obj.get(), "legal_status", legal);
}

int stored_int(const char *key)
{
    std::string v;
    return db_read(key, v, 32) ? std::atoi(v.c_str()) : 0;
}

} // namespace

SPEC_HANDLER(spec_func_ptz_camera)
{
    (void)id, (void)notify;
    spec_constant("true", siid, piid, op, json, size);
}

SPEC_HANDLER(spec_func_sdcard_status)
{
    (void)notify;
    if (op == SPEC_OP_LOCAL) {
        const std::string text(json ? json : "", json ? strnlen(json, static_cast<size_t>(size)) : 0);
        ZEL_LOGI(TAG, "notify sdcard status: %s \n", text.c_str());
        spec_property_changed(id, siid, piid, ZEL_RPC_KIND_INT, text.c_str());
        return;
    }
    if (op != SPEC_OP_GET)
        return;
    int status = kCardAbsent;
    if (zel_tolk_wall_s() <= kLastInvalidSecond) {
        ZEL_LOGI(TAG, "need check time, now return SDST_NOT_EXISTS\n");
    } else {
        status = get_device_sdcard_status();
        if (status < 0)
            status = kCardAbsent;
    }
    reply_value(json, size, siid, piid, std::to_string(status));
}

SPEC_HANDLER(spec_func_sd_total)
{
    (void)id, (void)notify;
    if (op != SPEC_OP_GET)
        return;
    uint64_t total = 0, used = 0, free_bytes = 0;
    if (ko_storage_get_capacity(&total, &used, &free_bytes) != 0)
        total = 0;
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIu64, total / 1024);
    reply_value(json, size, siid, piid, text);
}

SPEC_HANDLER(spec_func_sd_free)
{
    (void)id, (void)notify;
    not_supported(siid, piid, op, json, size);
}

SPEC_HANDLER(spec_func_sd_used)
{
    (void)id, (void)notify;
    not_supported(siid, piid, op, json, size);
}

SPEC_HANDLER(spec_func_motor_position)
{
    (void)id, (void)notify;
    if (op != SPEC_OP_GET)
        return;
    std::string motor;
    db_read("NVM.IPC:motor", motor);
    reply_text(json, size, siid, piid, motor);
}

SPEC_HANDLER(spec_func_camera_capacity)
{
    (void)id, (void)notify;
    if (op == SPEC_OP_GET)
        reply_text(json, size, siid, piid, "");
}

SPEC_HANDLER(spec_func_get_capacity)
{
    (void)id, (void)notify;
    std::string hid;
    db_read("ROM.hid", hid, 64);
    if (hid.rfind("900303", 0) == 0)
        spec_constant("7", siid, piid, op, json, size);
    else if (hid.rfind("900202", 0) == 0)
        spec_constant("5", siid, piid, op, json, size);
}

#define SPEC_CONSTANT(name, value)                                                                            \
    SPEC_HANDLER(name)                                                                                        \
    {                                                                                                         \
        (void)id, (void)notify;                                                                               \
        spec_constant(value, siid, piid, op, json, size);                                                     \
    }

SPEC_CONSTANT(spec_func_google_stream_status, "1")
SPEC_CONSTANT(spec_func_alexa_stream_status, "1")
SPEC_CONSTANT(spec_func_talk_mode, "0")
SPEC_CONSTANT(spec_func_audio_codec, "2")
SPEC_CONSTANT(spec_func_audio_bit_width, "1")
SPEC_CONSTANT(spec_func_video_codec, "1")
SPEC_CONSTANT(spec_func_audio_smp_rate, "1")
SPEC_CONSTANT(spec_func_audio_channel, "0")
SPEC_CONSTANT(spec_func_talk_codec, "2")
SPEC_CONSTANT(spec_func_distortion_crt_osdx, "0.250000")
SPEC_CONSTANT(spec_func_distortion_crt_osdy, "0.044000")
// The current resolution is none of 360, 480, 720, 1080, 1296, 1440, 1620: the index past the list.
SPEC_CONSTANT(spec_func_resolution_types, "7")

bool lock_region_acceptable(const char *json, int size)
{
    int32_t legal = 0;
    return legal_status_of(value_text(json, size), &legal);
}

SPEC_HANDLER(spec_func_lock_region)
{
    (void)id;
    if (op == SPEC_OP_GET) {
        char text[64];
        std::snprintf(text, sizeof text, "{\"lock_region\":%d,\"legal_status\":%d}", stored_int("ROM.lock_region"),
                      stored_int("NVM.default:legal_status"));
        reply_value(json, size, siid, piid, text);
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    const std::string text = value_text(json, size);
    int32_t legal = 0;
    if (!legal_status_of(text, &legal)) {
        ZEL_LOGE(TAG, " lock region value without legal_status: %s \n", text.c_str());
        return;
    }
    if (db_write("NVM.default:legal_status", std::to_string(legal), true))
        step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(text), notify);
}

SPEC_HANDLER(spec_func_hotspot)
{
    (void)id;
    if (op == SPEC_OP_GET) {
        std::string eth, sw, name, pwd;
        db_read("RAM.default:eth0_status", eth, 16);
        db_read("NVM.default:hotspot_switch", sw, 8);
        db_read("NVM.default:hotspot_name", name, 100);
        db_read("NVM.default:hotspot_pwd", pwd, 100);
        JsonPtr obj(json_object_new_object());
        json_object_object_add(obj.get(), "switch_enable", json_object_new_string(eth.empty() || eth[0] == '0' ? "1" : "0"));
        json_object_object_add(obj.get(), "ap_switch", json_object_new_string(sw.c_str()));
        json_object_object_add(obj.get(), "ap_name", json_object_new_string(name.c_str()));
        json_object_object_add(obj.get(), "ap_passwd", json_object_new_string(pwd.c_str()));
        reply_value(json, size, siid, piid, to_text(obj.get()));
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    std::string text = value_text(json, size);
    text.resize(strnlen(text.c_str(), 299));
    JsonPtr obj = parse_one(text);
    if (!obj || !json_object_is_type(obj.get(), json_type_object)) {
        step_report(siid, piid, ZEL_RPC_KIND_STRING, text, notify);
        return;
    }
    if (db_write("NVM.default:hotspot_switch", bounded(obj.get(), "ap_switch", 7), true) &&
        db_write("NVM.default:hotspot_name", bounded(obj.get(), "ap_name", 99), true) &&
        db_write("NVM.default:hotspot_pwd", bounded(obj.get(), "ap_passwd", 99), true))
        step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(text), notify);
}

} // namespace zel_rpc
