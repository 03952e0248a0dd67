// The smart-care rows: the key-area switch, areas, mode and the two schedule slots.
#include <cstdio>

#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace zel_rpc {

namespace {

// The schedule slots are kept (and read by the smart-care module) with this many bytes.
constexpr int kSlotBytes = 1536;
constexpr int kSlots = 2;

const BoolRow kSwitch{"NVM.ALARM:smart_care_switch", "WDR", set_key_area_switch, false, true};

std::string slot_key(int idx)
{
    return "NVM.ALARM:smart_care_config" + std::to_string(idx);
}

} // namespace

bool smart_care_area_acceptable(const char *json, int size)
{
    std::string text;
    return !value_string(json, size, text) || array_of(text) != nullptr;
}

bool smart_care_period_acceptable(const char *json, int size)
{
    std::string text;
    if (!value_string(json, size, text))
        return true;
    JsonPtr list = array_of(text);
    if (!list)
        return false;
    for (size_t i = 0; i < json_object_array_length(list.get()); ++i) {
        int32_t idx = -1;
        if (!int_member(json_object_array_get_idx(list.get(), i), "idx", &idx) || idx < 0 || idx >= kSlots)
            return false;
    }
    return true;
}

SPEC_INSTANCE(spec_func_smart_care_switch, spec_bool, kSwitch)

SPEC_HANDLER(spec_func_smart_care_area)
{
    (void)id;
    constexpr const char *kKey = "NVM.ALARM:smart_care_area";
    std::string text;
    if (op == SPEC_OP_GET) {
        db_read(kKey, text);
        reply_text(json, size, siid, piid, text);
        return;
    }
    if ((op != SPEC_OP_SET && op != SPEC_OP_PULLED) || !value_string(json, size, text) || unchanged(kKey, text))
        return;
    JsonPtr areas = array_of(text);
    if (!areas) {
        ZEL_LOGE(TAG, " smart care area is not an array: %s \n", text.c_str());
        return;
    }
    for (size_t i = 0; i < json_object_array_length(areas.get()); ++i) {
        json_object *area = member(json_object_array_get_idx(areas.get(), i), "area");
        int x1, y1, x2, y2;
        if (area && json_object_is_type(area, json_type_string) &&
            std::sscanf(json_object_get_string(area), "[%d,%d],[%d,%d]", &x1, &y1, &x2, &y2) == 4)
            set_key_area(x1, y1, x2, y2);
    }
    if (db_write(kKey, text, true))
        step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(text), notify);
}

SPEC_HANDLER(spec_func_smart_care_mode)
{
    (void)id;
    constexpr const char *kKey = "NVM.ALARM:smart_care_mode";
    std::string text;
    if (op == SPEC_OP_GET) {
        db_read(kKey, text);
        reply_text(json, size, siid, piid, text);
        return;
    }
    if (op != SPEC_OP_SET && op != SPEC_OP_PULLED)
        return;
    const int mode = value_int(json, size);
    text = std::to_string(mode);
    if (!db_write(kKey, text, false))
        return;
    set_key_area_mode(mode);
    step_report(siid, piid, ZEL_RPC_KIND_INT, text, notify);
    zel_api_db_sync();
}

// Slots 0 and 1 are the only ones the smart-care module keeps; other idx values are refused.
SPEC_HANDLER(spec_func_smart_care_period)
{
    (void)id;
    if (op == SPEC_OP_GET) {
        JsonPtr list(json_object_new_array());
        for (int idx = 0; idx < kSlots; ++idx) {
            std::string text;
            if (!db_read(slot_key(idx).c_str(), text, kSlotBytes))
                continue;
            JsonPtr obj = parse_one(text);
            if (obj && json_object_is_type(obj.get(), json_type_object))
                json_object_array_add(list.get(), obj.release());
        }
        reply_text(json, size, siid, piid, json_object_to_json_string_ext(list.get(), JSON_C_TO_STRING_NOZERO));
        return;
    }
    std::string text;
    if ((op != SPEC_OP_SET && op != SPEC_OP_PULLED) || !value_string(json, size, text))
        return;
    JsonPtr list = array_of(text);
    if (!list) {
        ZEL_LOGE(TAG, " smart care period is not an array: %s \n", text.c_str());
        return;
    }
    for (size_t i = 0; i < json_object_array_length(list.get()); ++i) {
        json_object *obj = json_object_array_get_idx(list.get(), i);
        int32_t idx = -1;
        if (!int_member(obj, "idx", &idx) || idx < 0 || idx >= kSlots) {
            ZEL_LOGE(TAG, " smart care period element %zu without an idx of 0 or 1 \n", i);
            continue;
        }
        const std::string one = to_text(obj);
        const std::string key = slot_key(idx);
        if (!db_write(key.c_str(), one, false))
            continue;
        dev_smart_care_config_set(idx, one.c_str(), static_cast<int>(one.size()) + 1);
    }
    step_report(siid, piid, ZEL_RPC_KIND_JSON, quoted(text), notify);
    zel_api_db_sync();
}

} // namespace zel_rpc
