// The cry detector's poll worker. One worker at most; the stop waits for its end, so that nothing
// reads the board after the algorithm app let it go.
#include "zel_algo.h"
#include "zel_algo_worker.h"
#include "zel_babycry.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

#include <atomic>
#include <chrono>
#include <cstring>

pthread_t g_zel_cry_loud_tid = static_cast<pthread_t>(-1);

namespace {

constexpr const char *kTag = "ZEL_ALGO";
constexpr int32_t kDetectCry = 8;
constexpr auto kPoll = std::chrono::milliseconds(300);

struct Cry {
    algo::Worker worker;
    std::atomic<uint8_t> cry_switch{1};
    std::atomic<uint8_t> lsd_switch{1};
};

Cry &cry()
{
    static Cry *c = new Cry;
    return *c;
}

void zel_cry_loud_task()
{
    pthread_setname_np(pthread_self(), "babycry_task");
    ZEL_LOGI(kTag, "babycry_task start");
    while (cry().worker.pause(kPoll)) {
        int result = 0;
        if (get_soc_babycry_result(&result) == 0 && result == 1) {
            zel_algo_event_t event{};
            event.code = kDetectCry;
            zel_algo_trigger_event_send(&event);
        }
    }
}

} // namespace

int babycry_task_init(void)
{
    const int ret = cry().worker.start(
        zel_cry_loud_task,
        [] {
            char enable[16];
            memset(enable, 0, sizeof enable);
            zel_api_db_get_value("NVM.ALGO:loud_detection_enable", enable, sizeof enable);
        },
        &g_zel_cry_loud_tid);
    if (ret != 0)
        ZEL_LOGE(kTag, "pthread_create failed, ret = %d \n", ret);
    return ret;
}

int babycry_task_deinit(void)
{
    cry().worker.stop([] { g_zel_cry_loud_tid = static_cast<pthread_t>(-1); });
    return 0;
}

void set_babycry_switch(uint8_t on)
{
    ZEL_LOGI(kTag, "set_baby_cry_switch to %d \n", on);
    cry().cry_switch = on;
}

void set_lsd_switch(uint8_t on)
{
    ZEL_LOGI(kTag, "set_lsd_switch to %d \n", on);
    cry().lsd_switch = on;
}
