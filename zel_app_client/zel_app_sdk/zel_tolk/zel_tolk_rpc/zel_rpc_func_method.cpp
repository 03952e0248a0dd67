// The named methods of the older protocol: each gets the whole request and sends its own reply.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_action.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "zel_media.h"

namespace zel_rpc {

namespace {

constexpr size_t kParamsText = 127;
constexpr size_t kPropValue = 31;

JsonPtr request_of(const char *text, int length)
{
    JsonPtr obj = text && length > 0 ? parse_one(std::string_view(text, strnlen(text, static_cast<size_t>(length))))
                                     : nullptr;
    if (!obj || !json_object_is_type(obj.get(), json_type_object)) {
        ZEL_LOGE(TAG, " Not in json format: %s\n", text ? text : "");
        return nullptr;
    }
    return obj;
}

void send_reply(json_object *reply)
{
    const std::string text = to_text(reply, JSON_C_TO_STRING_NOZERO);
    ZEL_LOGD(TAG, "ack : %s \n", text.c_str());
    send_text(text);
}

void reply_ok(int id)
{
    if (zel_rpc_reply_ok(id) != 0)
        ZEL_LOGE(TAG, "send ack error! \n");
}

bool on_of(const char *key)
{
    std::string v;
    db_read(key, v, 32);
    return std::atoi(v.c_str()) != 0;
}

std::string props_value(const std::string &name)
{
    static const struct {
        const char *name, *key;
    } kSwitches[] = {{"light", "NVM.IPC:led_status"},  {"power", "NVM.IPC:power"},      {"watermark", "NVM.VIDEO:watermark"},
                     {"full_color", "NVM.ALGO:full_color"}, {"wdr", "NVM.VIDEO:wdr"}, {"flip", "NVM.VIDEO:flip"}};
    for (const auto &s : kSwitches)
        if (name == s.name)
            return on_of(s.key) ? "on" : "off";
    std::string v;
    if (name == "motion_record")
        db_read("NVM.SD:storage_mode", v, kPropValue + 1);
    else if (name == "night_mode")
        db_read("NVM.ALGO:night_mode", v, kPropValue + 1);
    else if (name == "max_client")
        v = "3";
    else if (name != "sdcard_status" && name != "motion_alarm" && name != "motion_region" && name != "mini_level" &&
             name != "track" && name != "improve_program") {
        ZEL_LOGW(TAG, "unknow key %s\n", name.c_str());
        v = "unknow";
    }
    return v;
}

// The legacy switch: "on" while off switches on, "off" while on switches off; anything else, or the
// state it asks for already, changes nothing. `store` false leaves the key to the device side.
void legacy_switch(int id, const char *text, int length, const char *key, int (*device)(int), bool store = true,
                   bool (*allowed)(bool on) = nullptr)
{
    JsonPtr request = request_of(text, length);
    if (!request)
        return;
    std::string joined;
    json_object *params = member(request.get(), "params");
    if (params && json_object_is_type(params, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(params); ++i) {
            json_object *e = json_object_array_get_idx(params, i);
            if (e && json_object_is_type(e, json_type_string))
                joined += json_object_get_string(e);
        }
    }
    joined.resize(std::min(joined.size(), kParamsText));
    std::string stored;
    db_read(key, stored, 8);
    const int current = std::atoi(stored.c_str());
    const bool on = joined == "on";
    if ((on && current == 0) || (joined == "off" && current == 1)) {
        if (!allowed || allowed(on)) {
            if (!store || db_write(key, on ? "1" : "0", true))
                device(on ? 1 : 0);
        }
    }
    reply_ok(id);
}

bool wdr_allowed(bool on)
{
    int mode = -1;
    if (!on || (zel_get_isp_dnmode(&mode) == 0 && mode == 0))
        return true;
    ZEL_LOGW(TAG, "wdr is not support night mode! \n");
    return false;
}

} // namespace

void rpc_func_local_bind(int, const char *text, int length)
{
    const std::string request = text ? std::string(text, strnlen(text, static_cast<size_t>(length > 0 ? length : 0))) : "";
    ZEL_LOGI(TAG, "gean: %s \n", request.c_str());
    if (request.find("ok") == std::string::npos)
        return;
    std::string hid;
    db_read("ROM.hid", hid, 64);
    const bool qhd = hid.rfind("900303", 0) == 0;
    std::string message;
    if (format(message, 1024,
               "{\"id\":%d,\"method\":\"_sync.set_extra_data\",\"params\":{\"data\":{\"v_encode\":\"%d\",\"v_fps\":\"%d\","
               "\"v_width\":\"%d\",\"v_height\":\"%d\",\"v_bitrate\":\"%d\",\"a_encode\":\"%d\",\"a_fps\":\"%d\","
               "\"a_samplebits\":\"%d\",\"a_samplerate\":\"%d\",\"a_bitrate\":\"%d\"}}}",
               get_notify_id(), 5, 20, qhd ? 2560 : 2880, qhd ? 1440 : 1620, 2000000, 1032, 25, 16, 16000, 256))
        send_text(message);
}

void rpc_func_get_lock_region(int id, const char *, int)
{
    send_text("{\"code\":0,\"id\":" + std::to_string(id) + ",\"result\":[{\"lock_region\":0,\"legal_status\":0}]}");
}

void rpc_func_get_prop(int id, const char *text, int length)
{
    JsonPtr request = request_of(text, length);
    if (!request)
        return;
    json_object *params = member(request.get(), "params");
    if (!params) {
        ZEL_LOGE(TAG, " get props error\n");
        return;
    }
    if (!json_object_is_type(params, json_type_array)) {
        ZEL_LOGE(TAG, " params json type error\n");
        return;
    }
    JsonPtr reply(json_object_new_object());
    json_object *result = json_object_new_array();
    json_object_object_add(reply.get(), "id", json_object_new_int(id));
    json_object_object_add(reply.get(), "result", result);
    for (size_t i = 0; i < json_object_array_length(params); ++i) {
        json_object *name = json_object_array_get_idx(params, i);
        const std::string key = name && json_object_is_type(name, json_type_string) ? json_object_get_string(name) : "";
        std::string value = props_value(key);
        value.resize(std::min(value.size(), kPropValue));
        ZEL_LOGD(TAG, "props key:%s, value:%s!\n", key.c_str(), value.c_str());
        json_object_array_add(result, json_object_new_string(value.c_str()));
    }
    send_reply(reply.get());
}

void rpc_func_set_light(int id, const char *text, int length)
{
    legacy_switch(id, text, length, "NVM.IPC:led_status", ctrl_led_switch);
}

void rpc_func_set_power(int id, const char *text, int length)
{
    legacy_switch(id, text, length, "NVM.IPC:power", set_power);
}

void rpc_func_set_watermark(int id, const char *text, int length)
{
    legacy_switch(id, text, length, "NVM.VIDEO:watermark", set_logo_watermark);
}

// The media app stores the flip and the head's mirrored position when it takes the request.
void rpc_func_set_flip(int id, const char *text, int length)
{
    legacy_switch(id, text, length, "NVM.VIDEO:flip", set_rotate, false);
}

void rpc_func_set_wdr(int id, const char *text, int length)
{
    legacy_switch(id, text, length, "NVM.VIDEO:wdr", set_wdr_mode, true, wdr_allowed);
}

void rpc_func_set_full_color(int id, const char *text, int length)
{
    legacy_switch(id, text, length, "NVM.ALGO:full_color", set_glimmer_full_color);
}

// A card that cannot be queried gets an error answer: its sizes are not known.
void rpc_func_sd_storage(int id, const char *, int)
{
    uint64_t total = 0, used = 0, free_bytes = 0;
    JsonPtr reply(json_object_new_object());
    json_object_object_add(reply.get(), "id", json_object_new_int(id));
    if (zel_rpc_sd_statfs(&total, &used, &free_bytes) != 0) {
        json_object *error = json_object_new_object();
        json_object_object_add(error, "code", json_object_new_int(-1));
        json_object_object_add(error, "message", json_object_new_string("statfs failed"));
        json_object_object_add(reply.get(), "error", error);
    } else {
        json_object *result = json_object_new_array();
        for (uint64_t v : {total, total - free_bytes, free_bytes, uint64_t{0}})
            json_object_array_add(result, json_object_new_int64(static_cast<int64_t>(v)));
        json_object_object_add(reply.get(), "result", result);
    }
    send_reply(reply.get());
}

void rpc_func_reset(int id, const char *, int)
{
    ZEL_LOGI(TAG, "device reset start id:%d \n", id);
    reply_ok(id);
    reset_device_info();
}

void rpc_func_restart(int id, const char *, int)
{
    ZEL_LOGI(TAG, "enter \n");
    reply_ok(id);
    device_reboot();
}

// The same change as a set of the detection switch (internal 5.1), answered OK.
void rpc_func_motion_switch(int id, const char *text, int length)
{
    JsonPtr request = request_of(text, length);
    json_object *on = member(member(request.get(), "params"), "detectionSwitch");
    if (!on || !json_object_is_type(on, json_type_boolean))
        return;
    ZEL_LOGI(TAG, " boolvalue=%d \n", json_object_get_boolean(on) ? 1 : 0);
    std::string element = json_object_get_boolean(on) ? R"({"value":true})" : R"({"value":false})";
    spec_func_md_switch(id, 5, 1, SPEC_OP_SET, element.data(), static_cast<int>(element.size()), true);
    reply_ok(id);
}

void rpc_func_ota_downgrade(int id, const char *text, int length)
{
    ZEL_LOGI(TAG, " %s \n", text ? text : "");
    reply_ok(id);
    JsonPtr request = request_of(text, length);
    int32_t downgrade = 0;
    if (int_member(member(request.get(), "params"), "downgrade", &downgrade))
        ZEL_LOGI(TAG, " downgrade %d \n", downgrade);
}

int rpc_func_local_did(int, const char *text, int length)
{
    JsonPtr request = request_of(text, length);
    if (!request)
        return -1;
    json_object *params = member(request.get(), "params");
    if (!params || !json_object_is_type(params, json_type_int)) {
        ZEL_LOGE(TAG, " params json type error\n");
        return -1;
    }
    const std::string did = std::to_string(json_object_get_int64(params));
    set_func_did(did.c_str(), static_cast<int>(did.size()));
    return db_write("ROM.did", did, true) ? 0 : -1;
}

} // namespace zel_rpc
