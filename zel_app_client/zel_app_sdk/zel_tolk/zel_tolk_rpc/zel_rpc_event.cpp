// "event_occured" messages: client event types looked up in the event table, rate-limited per type on
// the monotonic clock, built by the row's builder and sent. Runs on the caller's thread.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/utils/ko_time.h"
#include "zel_app_agent_client/json_verify.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_map.h"
#include "zel_control/log/zel_log.h"
#include "zelmar/zel_clock.h"
#include "zel_db/zel_db.h"

namespace {

using namespace zel_rpc;

using Builder = int (*)(int id, int o_siid, int o_eiid, char *buf, int size);

int spec_event_json_common(int id, int o_siid, int o_eiid, char *buf, int size);
int spec_event_json_common_people(int id, int o_siid, int o_eiid, char *buf, int size);

struct EventRow {
    int type;
    int siid, eiid;
    Builder builder;
    bool sent;
    uint64_t last_sent_s; // monotonic seconds
};

std::mutex g_event_mutex; // the check-and-set of the last-sent times
std::array<EventRow, 10> g_events{{
    {0, 17, 1, spec_event_json_common, false, 0},
    {1, 17, 2, spec_event_json_common_people, false, 0},
    {2, 17, 3, spec_event_json_common, false, 0},
    {5, 17, 4, spec_event_json_common, false, 0},
    {8, 2, 1, spec_event_json_common, false, 0},
    {7, 2, 2, spec_event_json_common, false, 0},
    {6, 25, 1, spec_event_json_common, false, 0},
    {9, 25, 2, spec_event_json_common, false, 0},
    {10, 35, 1, spec_event_json_common, false, 0},
    {11, 35, 2, spec_event_json_common, false, 0},
}};

enum ArgKind { kNoArgs = 0, kIntArg = 1, kStringArg = 2 };
struct ArgRow {
    int o_siid, o_eiid, piid;
    ArgKind kind;
};
constexpr std::array<ArgRow, 9> kArgMap{{
    {10, 1, 2, kIntArg},
    {10, 2, 2, kIntArg},
    {2, 1, 0, kNoArgs},
    {2, 2, 0, kNoArgs},
    {8, 4, 0, kNoArgs},
    {8, 5, 0, kNoArgs},
    {8, 7, 0, kNoArgs},
    {13, 1, 0, kNoArgs},
    {13, 3, 0, kNoArgs},
}};

std::atomic<uint32_t> g_event_id{0};

const ArgRow *arg_row(int o_siid, int o_eiid)
{
    for (const ArgRow &row : kArgMap)
        if (row.o_siid == o_siid && row.o_eiid == o_eiid)
            return &row;
    return nullptr;
}

// Writes the message into buf; false (buf as it was) when it does not fit.
bool write_event(char *buf, int size, int id, int o_siid, int o_eiid, const std::string &arguments)
{
    std::string text;
    if (!format(text, static_cast<size_t>(size),
                "{\"id\" : %d,\"method\" : \"event_occured\",\"params\" : {\"did\":\"%s\",\"siid\":%d,\"eiid\":%d,"
                "\"arguments\":[%s]}}",
                id, func_did, o_siid, o_eiid, arguments.c_str())) {
        ZEL_LOGE(TAG, "event %d.%d does not fit in %d bytes\n", o_siid, o_eiid, size);
        return false;
    }
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return true;
}

int spec_event_json_common(int id, int o_siid, int o_eiid, char *buf, int size)
{
    if (!buf || size <= 0) {
        ZEL_LOGE(TAG, "input param is null \n");
        return -1;
    }
    ZEL_LOGD(TAG, "buf: %s \n", buf);
    const ArgRow *row = arg_row(o_siid, o_eiid);
    if (!row)
        return -1;
    std::string arguments;
    if (row->kind != kNoArgs) {
        char value[1024] = {};
        json_verify_get_string(buf, "value", value, sizeof value);
        arguments = "{\"piid\":" + std::to_string(row->piid) +
                    ",\"value\":" + (row->kind == kIntArg ? std::to_string(std::atoi(value)) : quoted(value)) + "}";
    }
    return write_event(buf, size, id, o_siid, o_eiid, arguments) ? 0 : -1;
}

int spec_event_json_common_people(int id, int o_siid, int o_eiid, char *buf, int size)
{
    if (!buf || size <= 0) {
        ZEL_LOGE(TAG, "input param is null \n");
        return -1;
    }
    if (!arg_row(o_siid, o_eiid))
        return -1;
    const std::string arguments =
        "{\"piid\":2,\"value\":\"1\"},{\"piid\":12,\"value\":" + std::to_string(time_realtime_ms() / 1000) + "}";
    return write_event(buf, size, id, o_siid, o_eiid, arguments) ? 0 : -1;
}

uint64_t interval_of(int type)
{
    return type == 6 ? 60 : type == 9 ? 0 : 10;
}

// The row of `type` when an event of it is due now (its last-sent time then moves to now).
const EventRow *take_due(int type)
{
    const uint64_t now = vexa_time_tick_ms() / 1000;
    std::lock_guard<std::mutex> lock(g_event_mutex);
    for (EventRow &row : g_events) {
        if (row.type != type)
            continue;
        if (row.sent && now - row.last_sent_s <= interval_of(type))
            return nullptr;
        row.sent = true;
        row.last_sent_s = now;
        return &row;
    }
    return nullptr;
}

} // namespace

int zel_rpc_send_if_then_msg(int type)
{
    std::string buf(kTextMax, '\0');
    if (type == 10 || type == 11) {
        std::string area(kTextMax, '\0');
        zel_api_db_get_value("NVM.FAV_AREA:active_fav_area", area.data(), kTextMax);
        const std::string input = "{\"value\":" + quoted(area.c_str()) + "}";
        std::memcpy(buf.data(), input.c_str(), std::min(input.size(), buf.size() - 1));
    }
    const EventRow *row = take_due(type);
    if (!row)
        return -1;
    int o_siid, o_eiid;
    event_reverse_map(row->siid, row->eiid, &o_siid, &o_eiid);
    if (row->builder(static_cast<int>(++g_event_id), o_siid, o_eiid, buf.data(), kTextMax) != 0)
        return -1;
    ZEL_LOGI(TAG, "send if then type = %d buf:%s \n", type, buf.c_str());
    return send_text(buf.c_str());
}

int spec_event_common(int id, int siid, int eiid, char *buf, int size)
{
    if (!buf || size <= 0) {
        ZEL_LOGE(TAG, "input param is null \n");
        return -1;
    }
    std::string arguments;
    if (std::strstr(buf, "prop.s_halvorn_clocks"))
        arguments = "{\"piid\":2,\"value\":" + quoted(std::string(buf, strnlen(buf, 32))) + "}";
    if (!write_event(buf, size, id, siid, eiid, arguments))
        return -1;
    ZEL_LOGD(TAG, "event buf : %s \n", buf);
    return 0;
}
