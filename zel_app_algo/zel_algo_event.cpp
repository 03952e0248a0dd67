// Detections to client events. Called from the detection library's thread and the IR-cut and cry
// workers at once: no lock, no allocation, and a log line only for what is rare.
#include "zel_algo.h"
#include "zel_algo_state.h"
#include "zel_ircut.h"

#include "sdk_media_frame.h"
#include "zel_control/log/zel_log.h"

extern "C" int sdk_porting_event_push(int event_type) __attribute__((weak));

algo_event_map_t map[8] = {{5, 1}, {2, 0}, {1, 3}, {8, 2}, {6, 5}, {14, 6}, {15, 7}, {16, 8}};

namespace {

constexpr int32_t kDetectPerson = 5;

} // namespace

void zel_algo_trigger_event_send(const zel_algo_event_t *event)
{
    using algo::kTag;
    if (!event) {
        ZEL_LOGD(kTag, " algo_param == NULL, discard this msg  \n");
        return;
    }
    if (algo::power_status.load(std::memory_order_relaxed) == 0) {
        ZEL_LOGD(kTag, " power_status is off , discard this msg\t\t\t\t\n");
        return;
    }
    const int32_t code = event->code;
    for (const algo_event_map_t &row : map) {
        if (row.code != code)
            continue;
        if (sdk_porting_event_push)
            sdk_porting_event_push(row.event_type);
        if (code == kDetectPerson) {
            ZEL_LOGD(kTag, "find people,need open full light");
            zel_app_event_trigger_ircut("PeopleMotion", 12);
        }
    }
}
