// Favourite areas and cruise: the area list of the older pair (35.x) with activation, which turns
// the head, and the six area slots, active area, cruise switch and cruise configuration (23.x, 24.x).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app_sdk_porting/porting_ptz.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_alarm.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace zel_rpc {

namespace {

constexpr const char *kAreaList = "NVM.default.FAV_AREA";
constexpr const char *kActive = "NVM.FAV_AREA:active_fav_area";
constexpr const char *kCruiseConfig = "NVM.ko_cruise:config";
constexpr int kListBytes = 1024;
constexpr int kSlotBytes = 1536;
constexpr int kFirstSlot = 1;
constexpr int kLastSlot = 6;
constexpr int kTurnIgnoreSecs = 35;
enum { kEventAreaReached = 10, kEventAreaMoved = 11 };

const BoolRow kCruiseSwitch{"NVM.ko_cruise:switch", "WR", nullptr, true, true};

std::string slot_key(int idx)
{
    return "NVM.FAV_AREA:idx" + std::to_string(idx);
}

// "[x,y]" with both numbers.
bool parse_pos(const char *text, int *x, int *y)
{
    int end = 0;
    return std::sscanf(text, "[%d,%d]%n", x, y, &end) == 2 && end > 0;
}

bool area_pos(json_object *area, int *x, int *y)
{
    json_object *pos = member(area, "pos");
    if (!pos || !json_object_is_type(pos, json_type_string))
        return false;
    const std::string text(json_object_get_string(pos), strnlen(json_object_get_string(pos), 63));
    return parse_pos(text.c_str(), x, y);
}

int stored_active()
{
    std::string v;
    db_read(kActive, v, kSlotBytes);
    return std::atoi(v.c_str());
}

// The area list's elements, each an object with an integer idx in 1..6; false when any is not.
bool slots_of(json_object *list)
{
    for (size_t i = 0; i < json_object_array_length(list); ++i) {
        int32_t idx = 0;
        if (!int_member(json_object_array_get_idx(list, i), "idx", &idx) || idx < kFirstSlot || idx > kLastSlot)
            return false;
    }
    return true;
}

// The older pair's area list as a set gives it: the "value" text up to a NUL, at most 1023 characters.
std::string area_list_text(const char *json, int size)
{
    std::string text = value_text(json, size);
    text.resize(strnlen(text.c_str(), kListBytes - 1));
    return text;
}

// The slot list in `text`, or null when it is no array of areas with an idx in 1..6.
JsonPtr slot_list(const std::string &text)
{
    JsonPtr list = array_of(text);
    return list && slots_of(list.get()) ? std::move(list) : nullptr;
}

// Turns to the area `active` of the list, after telling that the head stands on a misplaced area.
void activate(json_object *list, int active)
{
    std::string motor;
    int mx = 0, my = 0;
    if (db_read("NVM.IPC:motor", motor, 32) && !parse_pos(motor.c_str(), &mx, &my))
        mx = my = 0;
    const size_t n = json_object_array_length(list);
    for (size_t i = 0; i < n; ++i) {
        json_object *area = json_object_array_get_idx(list, i);
        int32_t idx = 0;
        int x, y;
        if (area_pos(area, &x, &y) && x == mx && y == my && int_member(area, "idx", &idx) &&
            idx != static_cast<int32_t>(i)) {
            send_if_event2ko(kEventAreaMoved);
            break;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        json_object *area = json_object_array_get_idx(list, i);
        int32_t idx = 0;
        if (!int_member(area, "idx", &idx) || idx != active)
            continue;
        int x, y;
        if (!area_pos(area, &x, &y)) {
            ZEL_LOGE(TAG, " area %d has no position of two numbers \n", active);
            return;
        }
        std::printf("active[%d],postion[[%d,%d]],x[%d] y[%d]\n", active, x, y, x, y);
        set_motion_event_ignore_time(kTurnIgnoreSecs);
        ptz_control_goto_point(x, y);
        if (db_write(kActive, std::to_string(active), true))
            send_if_event2ko(kEventAreaReached);
        return;
    }
}

} // namespace

bool fav_area_list_acceptable(const char *json, int size)
{
    return array_of(area_list_text(json, size)) != nullptr;
}

bool fav_area_slots_acceptable(const char *json, int size)
{
    std::string text;
    return !value_string(json, size, text) || slot_list(text) != nullptr;
}

SPEC_HANDLER(spec_func_fav_area)
{
    (void)id;
    std::string text;
    if (op == SPEC_OP_GET) {
        db_read(kAreaList, text, kListBytes);
        std::printf("get fav area:%s\n", text.c_str());
        reply_text(json, size, siid, piid, text);
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    text = area_list_text(json, size);
    std::printf("set fav area:%s\n", text.c_str());
    JsonPtr list = array_of(text);
    if (!list)
        return;
    const std::string stored = to_text(list.get());
    if (db_write(kAreaList, stored, true))
        step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(stored), notify);
}

SPEC_HANDLER(spec_func_active_fav_area)
{
    if (op == SPEC_OP_GET) {
        reply_value(json, size, siid, piid, std::to_string(stored_active()));
        return;
    }
    if (op == SPEC_OP_LOCAL) {
        spec_property_changed(id, siid, piid, ZEL_RPC_KIND_INT, std::to_string(stored_active()).c_str());
        return;
    }
    if (op == SPEC_OP_PULLED) {
        std::string v;
        int active = 0;
        if (value_string(json, size, v) && v.size() <= 3 && parse_int(v, &active))
            db_write(kActive, std::to_string(active), true);
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    const int active = value_int(json, size);
    std::printf("get active: [%d]\n", active);
    std::string text;
    db_read(kAreaList, text, kListBytes);
    JsonPtr list = array_of(text);
    if (list)
        activate(list.get(), active);
    step_report(siid, piid, ZEL_RPC_KIND_INT, std::to_string(stored_active()), notify);
}

SPEC_HANDLER(spec_func_ko_fav_area_config)
{
    (void)id;
    if (op == SPEC_OP_GET) {
        JsonPtr list(json_object_new_array());
        for (int idx = kFirstSlot; idx <= kLastSlot; ++idx) {
            std::string text;
            if (!db_read(slot_key(idx).c_str(), text, kSlotBytes) || text.empty())
                continue;
            JsonPtr obj = parse_one(text);
            if (obj)
                json_object_array_add(list.get(), obj.release());
        }
        reply_text(json, size, siid, piid,
                   json_object_array_length(list.get()) == 0
                       ? ""
                       : json_object_to_json_string_ext(list.get(), JSON_C_TO_STRING_NOZERO));
        ZEL_LOGD(TAG, " free jarray \n");
        return;
    }
    std::string text;
    if ((op != SPEC_OP_SET && op != SPEC_OP_PULLED) || !value_string(json, size, text))
        return;
    // Checked whole before the slots are cleared: a bad list leaves them as they were.
    JsonPtr list = slot_list(text);
    if (!list) {
        ZEL_LOGE(TAG, " favourite areas refused: %s \n", text.c_str());
        return;
    }
    for (int idx = kFirstSlot; idx <= kLastSlot; ++idx)
        zel_api_db_unset_value(slot_key(idx).c_str(), 0);
    for (size_t i = 0; i < json_object_array_length(list.get()); ++i) {
        json_object *area = json_object_array_get_idx(list.get(), i);
        int32_t idx = 0;
        int_member(area, "idx", &idx);
        db_write(slot_key(idx).c_str(), to_text(area), false);
    }
    zel_api_db_sync();
    ZEL_LOGD(TAG, " begin free json\n");
    step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(text), notify);
}

SPEC_HANDLER(spec_func_ko_fav_area_active)
{
    (void)id;
    if (op == SPEC_OP_GET) {
        reply_value(json, size, siid, piid, std::to_string(stored_active()));
        return;
    }
    if (op != SPEC_OP_SET && op != SPEC_OP_PULLED)
        return;
    const std::string text = std::to_string(value_int(json, size));
    if (!unchanged(kActive, text) && !db_write(kActive, text, true))
        return;
    step_report(siid, piid, ZEL_RPC_KIND_INT, text, notify);
}

SPEC_HANDLER(spec_func_ko_cruise_switch)
{
    (void)id;
    ZEL_LOGD(TAG, " enter \n");
    spec_bool(kCruiseSwitch, siid, piid, op, json, size, notify);
}

SPEC_HANDLER(spec_func_ko_cruise_config)
{
    (void)id;
    ZEL_LOGD(TAG, " enter \n");
    std::string text;
    if (op == SPEC_OP_GET) {
        db_read(kCruiseConfig, text, kSlotBytes);
        ZEL_LOGD(TAG, " db_value = %s \n", text.c_str());
        reply_text(json, size, siid, piid, text);
        return;
    }
    if (op != SPEC_OP_SET && op != SPEC_OP_PULLED)
        return;
    if (!value_string(json, size, text) || text.empty() || unchanged(kCruiseConfig, text))
        return;
    if (db_write(kCruiseConfig, text, true))
        step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(text), notify);
}

} // namespace zel_rpc
