// The status app's four timers on the default libev loop of "nas_ev". libev is not thread-safe, so the
// state, agent and key threads never touch a timer: each operation is handed over to "nas_ev" and runs
// there, under g_life, in the order it was asked for. The callbacks run on "nas_ev" too.
#include "zel_status_internal.h"

#include "app/nas/ko_nas_ev.h"
#include "zel_control/log/zel_log.h"

#include <cstdint>
#include <thread>

namespace status {

namespace {

constexpr double kPincodeFirstS = 15, kPincodeRepeatS = 20;
constexpr double kWaitFirstS = 3, kWaitRepeatS = 20;
constexpr double kBindTimeoutS = 1800, kBindExtraS = 300;
constexpr double kBindFailFirstS = 0.001, kBindFailRepeatS = 15;

enum Op {
    kOpStartWaitConnection,
    kOpStopWaitConnection,
    kOpStopBindTimeout,
    kOpExtendBindTimeout,
    kOpStartBindFail,
    kOpRestartPincode,
    kOpStopPincode,
    kOpStopAll,
};

// Prompt 6, then the four digits, most significant first.
void speak_pincode()
{
    ZEL_LOGD(kTag, "%s enter %s()\n", kName, "on_time_play_pincode");
    const int number = g_pin_number;
    play(kPromptPincodeInput);
    for (int divisor = 1000; divisor > 0; divisor /= 10)
        play(kPromptDigitZero + number / divisor % 10);
    ZEL_LOGD(kTag, "%s exit %s()\n", kName, "on_time_play_pincode");
}

void on_time_play_pincode(struct ev_loop *, ev_timer *, int)
{
    speak_pincode();
}

void on_time_play_wait_connection(struct ev_loop *, ev_timer *, int)
{
    ZEL_LOGI(kTag, "start wait_connection");
    if (g_intro_played.exchange(1) == 0) {
        play(kPromptSupported1);
        play(kPromptSupported2);
    }
    play(kPromptWaitingConnection);
}

void bind_timeout(struct ev_loop *, ev_timer *, int)
{
    ZEL_LOGD(kTag, "%s enter %s()\n", kName, __func__);
    zel_ipc_state_set(STATUS_BIND_TIMEOUT);
    ZEL_LOGD(kTag, "%s exit %s()\n", kName, __func__);
}

void on_time_play_binding_fail(struct ev_loop *, ev_timer *, int)
{
    play(kPromptBindingFail);
}

using timer_cb = void (*)(struct ev_loop *, ev_timer *, int);
constexpr timer_cb kCallbacks[kTimerCount] = {on_time_play_pincode, on_time_play_wait_connection, bind_timeout,
                                              on_time_play_binding_fail};

void arm(struct ev_loop *loop, ipc_status_info &info, Timer timer, double after, double repeat)
{
    ev_timer *w = &info.timers[timer];
    ev_timer_init(w, kCallbacks[timer], after * time_scale(), repeat * time_scale());
    ev_timer_start(loop, w);
}

void start_unless_active(struct ev_loop *loop, ipc_status_info &info, Timer timer, double after, double repeat)
{
    if (ev_is_active(&info.timers[timer])) {
        ZEL_LOGI(kTag, "timer is active, ignore it");
        return;
    }
    ZEL_LOGI(kTag, "timer is not active, start it");
    arm(loop, info, timer, after, repeat);
}

void stop_if_active(struct ev_loop *loop, ipc_status_info &info, Timer timer)
{
    if (ev_is_active(&info.timers[timer])) {
        ZEL_LOGI(kTag, "timer is active, stop it");
        ev_timer_stop(loop, &info.timers[timer]);
    } else {
        ZEL_LOGI(kTag, "timer is no active, ignore it");
    }
}

void extend(struct ev_loop *loop, ipc_status_info &info)
{
    ev_timer *w = &info.timers[kBindTimeoutTimer];
    const double left = ev_timer_remaining(loop, w) / time_scale();
    const int remain_time = left > 0 ? static_cast<int>(left) : 0;
    ev_timer_stop(loop, w);
    ZEL_LOGD(kTag, "%s %s() timeout remain_time:%d\n", kName, __func__, remain_time);
    arm(loop, info, kBindTimeoutTimer, remain_time + kBindExtraS, 0);
}

void run_op(struct ev_loop *loop, void *arg)
{
    const Op op = static_cast<Op>(reinterpret_cast<intptr_t>(arg));
    std::lock_guard<std::mutex> life(g_life);
    if (!g_info || (g_info->closing && op != kOpStopAll))
        return;
    ipc_status_info &info = *g_info;
    switch (op) {
    case kOpStartWaitConnection:
        ZEL_LOGD(kTag, "%s enter %s()\n", kName, "start_play_wait_connection");
        start_unless_active(loop, info, kWaitConnectionTimer, kWaitFirstS, kWaitRepeatS);
        start_unless_active(loop, info, kBindTimeoutTimer, kBindTimeoutS, 0);
        ZEL_LOGD(kTag, "%s exit %s()\n", kName, "start_play_wait_connection");
        break;
    case kOpStopWaitConnection:
        stop_if_active(loop, info, kWaitConnectionTimer);
        break;
    case kOpStopBindTimeout:
        stop_if_active(loop, info, kBindTimeoutTimer);
        break;
    case kOpExtendBindTimeout:
        extend(loop, info);
        break;
    case kOpStartBindFail:
        arm(loop, info, kBindFailTimer, kBindFailFirstS, kBindFailRepeatS);
        break;
    case kOpRestartPincode:
        ev_timer_stop(loop, &info.timers[kPincodeTimer]);
        arm(loop, info, kPincodeTimer, kPincodeFirstS, kPincodeRepeatS);
        break;
    case kOpStopPincode:
        ev_timer_stop(loop, &info.timers[kPincodeTimer]);
        break;
    case kOpStopAll:
        for (ev_timer &w : info.timers)
            ev_timer_stop(loop, &w);
        break;
    }
}

void post(Op op)
{
    ko_nas_ev_post(run_op, reinterpret_cast<void *>(static_cast<intptr_t>(op)));
}

} // namespace

std::atomic<int> g_pin_number{0};

void start_play_wait_connection()
{
    post(kOpStartWaitConnection);
}

void stop_play_wait_connection()
{
    post(kOpStopWaitConnection);
}

void stop_bind_timeout()
{
    post(kOpStopBindTimeout);
}

void extend_bind_timeout()
{
    post(kOpExtendBindTimeout);
}

void start_binding_fail()
{
    post(kOpStartBindFail);
}

void restart_pincode_timer()
{
    post(kOpRestartPincode);
}

// Always posted (stopping a stopped timer does nothing), so that a stop follows, in the loop's order, a
// restart another thread posted a moment earlier.
void stop_pincode_timer()
{
    post(kOpStopPincode);
}

void stop_all_timers()
{
    // A loop that is not running has run none of the record's timer calls since it last ended, and
    // those still queued find the record closing or gone: nothing of the record is in libev then. A
    // call refused while the loop runs (a full queue, or the loop being stopped) is tried again until
    // it ran or the loop has ended.
    while (ko_nas_ev_running() &&
           ko_nas_ev_call(run_op, reinterpret_cast<void *>(static_cast<intptr_t>(kOpStopAll))) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace status

using namespace status;

int start_show_pincode(const char *pincode)
{
    ZEL_LOGD(kTag, "%s enter %s()\n", kName, __func__);
    if (zel_ipc_state_get() == STATUS_BIND_FAILED)
        return 0;
    // One to four decimal digits, nothing else: "%4d" would take "-123" and give digits outside 0 to 9.
    int number = 0, digits = 0;
    for (const char *c = pincode ? pincode : ""; *c; ++c, ++digits) {
        if (*c < '0' || *c > '9' || digits == 4) {
            ZEL_LOGE(kTag, "%s %s:pin_code \"%s\" is not one to four digits, not spoken", kName, __func__, pincode);
            return -1;
        }
        number = number * 10 + (*c - '0');
    }
    if (digits == 0) {
        ZEL_LOGE(kTag, "%s %s:pin_code is empty, not spoken", kName, __func__);
        return -1;
    }
    ZEL_LOGI(kTag, "%s %s:pin_code number is %d", kName, __func__, number);
    g_pin_number = number;
    speak_pincode();
    restart_pincode_timer();
    ZEL_LOGD(kTag, "%s exit %s()\n", kName, __func__);
    return 0;
}
