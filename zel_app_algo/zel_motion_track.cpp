// Motion tracking's two threads: "motion_track_task" turns the head one step per accepted report,
// "motion_track_back" returns it to the saved position 5 s after the last step. Both run at most
// once; the stop wakes the task thread through its semaphore, joins both and only then destroys the
// semaphore. The time of the last step is monotonic and atomic, shared by the two threads.
#include "zel_algo.h"
#include "zel_algo_motion.h"
#include "zel_algo_state.h"
#include "zel_algo_worker.h"
#include "zel_motion_test.h"

#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_semaphore.h"
#include "zel_control/utils/zel_parse.h"
#include "zel_db/zel_db.h"
#include "zel_peripheral.h"
#include "zelmar/zel_clock.h"

#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

int32_t motion_track_degree[3];
int32_t motion_rect_config[4];
int32_t last_rotate_angle[3];
int32_t angle_h_src[8] = {10, 20, 25, 30, 35, 45, 50, 60};
int32_t angle_h_dst[8] = {20, 30, 40, 50, 60, 70, 80, 90};

namespace {

using algo::kTag;

constexpr int kDeadZoneH = 9;
constexpr int kDeadZoneV = 3;
constexpr int64_t kMinMoveGapMs = 100;
constexpr int64_t kBackAfterMs = 4999; // more than this after the last step
constexpr auto kBackCheck = std::chrono::milliseconds(500);
constexpr float kStepFactor = 0.8f;

struct Tracking {
    std::mutex life; // one start or stop at a time
    bool started = false;
    std::mutex data; // the exported angles and rectangle, and the semaphore's existence
    semaphore_t *wake = nullptr;
    std::atomic<int> run{1};
    std::atomic<int> on{0}; // the tracking switch
    std::atomic<int64_t> last_move_ms{0}; // monotonic; 0 while the head is home
    std::atomic<uint8_t> state{0};
    int32_t speed = 2;
    algo::Worker task;
    algo::Worker back;
};

Tracking &tracking()
{
    static Tracking *t = new Tracking; // lives for the process, like the threads it may leave running
    return *t;
}

std::atomic<int64_t> g_clock_offset_ms{0};

int64_t now_ms()
{
    return time_monotonic_ms() + g_clock_offset_ms.load(std::memory_order_relaxed);
}

void ptz_done(int, zel_ptz_result_t *, void *) {}

void motion_track_rotate(int32_t pan, int32_t tilt)
{
    Tracking &t = tracking();
    zel_api_ptz_prop_set(ZEL_PTZ_PROP_SPEED, &t.speed, sizeof t.speed);
    if (pan != 0) {
        int32_t degrees = std::abs(pan);
        zel_api_ptz_control(ZEL_PTZ_CMD_STEP, pan > 0 ? ZEL_PTZ_PAN_POS : ZEL_PTZ_PAN_NEG, &degrees, sizeof degrees,
                            ptz_done);
    }
    if (tilt != 0) {
        int32_t degrees = std::abs(tilt);
        zel_api_ptz_control(ZEL_PTZ_CMD_STEP, tilt > 0 ? ZEL_PTZ_TILT_POS : ZEL_PTZ_TILT_NEG, &degrees,
                            sizeof degrees, ptz_done);
    }
}

void track_report()
{
    Tracking &t = tracking();
    int32_t h, v;
    {
        std::lock_guard<std::mutex> g(t.data);
        h = motion_track_degree[0];
        v = motion_track_degree[1];
    }
    ZEL_LOGI(kTag, "rotate_buf = [%d,%d]===\n", h, v);
    if (std::abs(h) <= kDeadZoneH && std::abs(v) <= kDeadZoneV)
        return;
    const int64_t last = t.last_move_ms.load();
    if (last != 0 && now_ms() - last <= kMinMoveGapMs) {
        ZEL_LOGE(kTag, "motor is alerady running\n");
        return;
    }
    if (get_power_status() == 0)
        return;
    int32_t pan = 0, tilt = 0;
    if (std::abs(v) > kDeadZoneV && h >= -kDeadZoneH && h <= kDeadZoneH)
        tilt = static_cast<int32_t>(static_cast<float>(v) * kStepFactor);
    else
        pan = static_cast<int32_t>(static_cast<float>(h) * kStepFactor);
    motion_track_rotate(-pan, tilt);
    t.last_move_ms = now_ms();
    t.state = 1;
}

void motion_track_task_thread()
{
    prctl(PR_SET_NAME, "motion_track_task", 0, 0, 0);
    ZEL_LOGI(kTag, "motion_track_task_thread start");
    Tracking &t = tracking();
    semaphore_t *wake = t.wake; // destroyed only after this thread has ended
    while (t.run) {
        const int ret = semaphore_wait(wake, -1);
        if (ret != 0) {
            ZEL_LOGE(kTag, "motion_track_task: waiting for a report failed (%d), tracking ends", ret);
            break;
        }
        if (!t.run)
            break;
        track_report();
    }
    ZEL_LOGI(kTag, "motion_track_task thread exit\n");
}

void go_back()
{
    Tracking &t = tracking();
    int64_t last = t.last_move_ms.load();
    if (last == 0 || now_ms() - last <= kBackAfterMs)
        return;
    char power[16];
    memset(power, 0, sizeof power);
    if (zel_api_db_get_value("NVM.IPC:power", power, sizeof power) == 0 && atoi(power) == 0) {
        if (t.last_move_ms.compare_exchange_strong(last, 0))
            ZEL_LOGI(kTag, "Current power is off, no need to run back \n");
        return;
    }
    // A step made meanwhile starts its own 5 s.
    if (!t.last_move_ms.compare_exchange_strong(last, 0))
        return;
    char motor[16];
    memset(motor, 0, sizeof motor);
    zel_api_db_get_value("NVM.IPC:motor", motor, sizeof motor);
    if (motor[0] == '\0')
        return;
    zel_ptz_point_t home{};
    if (zel_parse_position(motor, &home.x, &home.y) != 0) {
        ZEL_LOGE(kTag, "[motion_track] NVM.IPC:motor \"%s\" is not a position, the head stays \n", motor);
        return;
    }
    const int ret = zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &home, sizeof home, ptz_done);
    t.state = 0;
    ZEL_LOGI(kTag, "[motion_track] motor rotate back to [%d,%d] ret = %d \n", home.x, home.y, ret);
}

void motion_track_back_thread()
{
    prctl(PR_SET_NAME, "motion_track_back", 0, 0, 0);
    ZEL_LOGI(kTag, "motion_track_back_thread start");
    Tracking &t = tracking();
    while (t.back.pause(kBackCheck) && t.run)
        go_back();
}

// Posts the task thread's semaphore when tracking is on; with `data` held.
void wake_task(Tracking &t)
{
    if (t.on && t.wake)
        semaphore_post(t.wake);
}

// Ends both threads: the semaphore's post releases the task thread, and the semaphore goes only once
// no thread can wait on it.
void end_threads(Tracking &t)
{
    t.run = 0;
    semaphore_post(t.wake);
    t.task.stop();
    t.back.stop();
    std::lock_guard<std::mutex> g(t.data);
    semaphore_destory(t.wake);
    t.wake = nullptr;
}

} // namespace

extern "C" {

int motion_track_init(void)
{
    Tracking &t = tracking();
    std::lock_guard<std::mutex> life(t.life);
    if (t.started)
        return 0;
    {
        std::lock_guard<std::mutex> g(t.data);
        memset(motion_track_degree, 0, sizeof motion_track_degree);
        memset(motion_rect_config, 0, sizeof motion_rect_config);
        memset(last_rotate_angle, 0, sizeof last_rotate_angle);
        t.wake = semaphore_init(0);
    }
    if (!t.wake) {
        ZEL_LOGE(kTag, "motion_track_init: no semaphore");
        return -1;
    }
    t.run = 1;
    t.last_move_ms = 0;
    t.state = 0;
    if (t.task.start(motion_track_task_thread) != 0 || t.back.start(motion_track_back_thread) != 0) {
        ZEL_LOGE(kTag, "motion_track_init: a tracking thread cannot start");
        end_threads(t);
        return -1;
    }
    t.started = true;
    return 0;
}

int motion_task_exit(void)
{
    Tracking &t = tracking();
    std::lock_guard<std::mutex> life(t.life);
    if (!t.started)
        return 0;
    end_threads(t);
    t.started = false;
    return 0;
}

int motion_track_mode_config(int on)
{
    Tracking &t = tracking();
    std::lock_guard<std::mutex> g(t.data);
    t.on = on;
    return 0;
}

int get_tracking_state(void)
{
    return tracking().state;
}

void motion_track_angle_config(const zel_algo_angle_t *angles)
{
    if (!angles)
        return;
    Tracking &t = tracking();
    std::lock_guard<std::mutex> g(t.data);
    motion_track_degree[0] = angles->h;
    motion_track_degree[1] = angles->v;
    wake_task(t);
}

int motion_track_coordinate_config(int x, int y, int w, int h)
{
    Tracking &t = tracking();
    std::lock_guard<std::mutex> g(t.data);
    motion_rect_config[0] = x;
    motion_rect_config[1] = y;
    motion_rect_config[2] = x + w;
    motion_rect_config[3] = y + h;
    wake_task(t);
    return 0;
}

int motion_track_calcu_rotate_angle(int *h, int *v)
{
    int32_t rect[4];
    {
        std::lock_guard<std::mutex> g(tracking().data);
        memcpy(rect, motion_rect_config, sizeof rect);
    }
    if (cal_h_v_degree(h, v, rect[0], rect[1], rect[2], rect[3]) != 0)
        return 0;
    if (*h != 0)
        *v = 0;
    ZEL_LOGI(kTag, "rotate angle h = %d, v = %d", *h, *v);
    return 0;
}

int cal_h_v_degree(int *h, int *v, float x1, float y1, float x2, float y2)
{
    if (!h || !v) {
        ZEL_LOGE(kTag, "cal_h_v_degree: no output");
        return -1;
    }
    const float cx = (x1 + x2) / 2, cy = (y1 + y2) / 2;
    const float nx = (cx - 160) * 2 / 320, ny = (cy - 96) * 2 / 192;
    const float tx = static_cast<float>(nx * 2.56 / 2.6856);
    const float ty = static_cast<float>(ny * 1.44 / 3.3888);
    *h = static_cast<int>(std::atan(static_cast<double>(tx)) * 180 / 3.14159265 + 0.5);
    *v = static_cast<int>(std::atan(static_cast<double>(ty)) * 180 / 3.14159265 + 0.5);
    return 0;
}

} // extern "C"

void zel_motion_test_advance_ms(int64_t ms)
{
    g_clock_offset_ms += ms;
}
