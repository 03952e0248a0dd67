// Flip, night mode and record mode: integer rows whose stored text is not the value the phone sees.
#include <cstdlib>
#include <string>

#include "zel_app_sdk/zel_tolk/zel_tolk_api.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_handlers.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"

namespace zel_rpc {

namespace {

constexpr int kFlipped = 180;

// Night mode: the phone's 0 (automatic) and 2 are stored the other way round.
std::string night_swap(const std::string &text)
{
    return text == "0" ? "2" : text == "2" ? "0" : text;
}

} // namespace

// The media app stores the flip and the mirrored head position when it takes message 21: the key
// and the position are left to it.
SPEC_HANDLER(spec_func_flip)
{
    (void)id;
    constexpr const char *kKey = "NVM.VIDEO:flip";
    std::string stored;
    if (op == SPEC_OP_GET) {
        db_read(kKey, stored);
        reply_value(json, size, siid, piid, stored == "1" ? "180" : "0");
        return;
    }
    if (op == SPEC_OP_PULLED) {
        std::string v;
        if (value_string(json, size, v) && (v == "180" || v == "0"))
            db_write(kKey, v == "180" ? "1" : "0", true);
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    const bool flipped = value_int(json, size) == kFlipped;
    if (unchanged(kKey, flipped ? "1" : "0"))
        return;
    set_rotate(flipped ? 1 : 0);
    step_report(siid, piid, ZEL_RPC_KIND_INT, flipped ? "180" : "0", notify);
}

SPEC_HANDLER(spec_func_night_mode)
{
    (void)id;
    constexpr const char *kKey = "NVM.ALGO:night_mode";
    std::string stored;
    if (op == SPEC_OP_GET) {
        db_read(kKey, stored);
        reply_value(json, size, siid, piid, std::to_string(std::atoi(night_swap(stored).c_str())));
        return;
    }
    if (op == SPEC_OP_PULLED) {
        std::string v;
        int mode = 0;
        if (value_string(json, size, v) && parse_int(v, &mode))
            db_write(kKey, night_swap(v), true);
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    const int value = value_int(json, size);
    stored = night_swap(std::to_string(value));
    if (unchanged(kKey, stored) || !step_write(kKey, stored))
        return;
    step_report(siid, piid, ZEL_RPC_KIND_INT, std::to_string(value), notify);
    set_night_mode(std::atoi(stored.c_str()));
}

// The recorder takes a new mode only while the camera is on; asleep it stays stopped and the wake-up
// applies the stored mode.
SPEC_HANDLER(spec_func_record_mode)
{
    (void)id;
    constexpr const char *kKey = "NVM.SD:storage_mode";
    std::string stored;
    if (op == SPEC_OP_GET) {
        db_read(kKey, stored);
        const int mode = std::atoi(stored.c_str());
        reply_value(json, size, siid, piid, std::to_string(mode >= 0 && mode <= 2 ? mode : 0));
        return;
    }
    if (op == SPEC_OP_PULLED) {
        std::string v;
        if (value_string(json, size, v) && (v == "0" || v == "1" || v == "2"))
            db_write(kKey, v, true);
        return;
    }
    if (op != SPEC_OP_SET)
        return;
    const int mode = value_int(json, size);
    if (mode < 0 || mode > 2) {
        ZEL_LOGI(TAG, "set value equal db value,don`t set db \n");
        return;
    }
    stored = std::to_string(mode);
    if (unchanged(kKey, stored))
        return;
    std::string power;
    if (db_read("NVM.IPC:power", power, 8) && power == "1")
        _zel_local_storage_set_mode(0, mode);
    if (step_write(kKey, stored))
        step_report(siid, piid, ZEL_RPC_KIND_INT, stored, notify);
}

} // namespace zel_rpc
