// The motor start-up on the simulated pan-tilt head: calibration once per boot, a restart that only
// tells the head where it stands, the boot after an automatic upgrade, the sleep position, stored
// positions that are not positions, and the status callback that the detection library follows.
#include "algo_test_env.h"
#include "media_test_env.h"

#include "zel_db/zel_db.h"
#include "zel_detection.h"
#include "zel_motor.h"
#include "zel_peripheral_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;
using mediatest::store;
using mediatest::setting;
using algotest::param_int;

size_t count_calls(const std::string &prefix)
{
    size_t n = 0;
    for (const std::string &c : periph_test_calls())
        n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
}

bool head_at(int x, int y)
{
    const periph_head_state h = periph_test_head();
    return !h.moving && std::lround(h.x) == x && std::lround(h.y) == y;
}

class MotorStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_ = std::make_unique<mediatest::Env>();
        ASSERT_EQ(zel_api_peripheral_init(), 0);
        int32_t fast = 10;
        ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_SPEED, &fast, sizeof fast), 0);
        periph_test_clear_calls();
    }
    std::unique_ptr<mediatest::Env> env_;
};

TEST_F(MotorStart, FirstBootCalibratesASecondStartOnlyTellsThePosition)
{
    store("NVM.IPC:motor", "[80,35]");
    store("NVM.VIDEO:flip", "1");
    EXPECT_EQ(zel_motor_init(), 0);
    EXPECT_EQ(count_calls("zel_api_ptz_control(1,-1,8,[80,35])"), 1u);
    EXPECT_EQ(setting("RAM.RUN:motor_reset"), "1");
    EXPECT_EQ(periph_test_head().flip, 1);
    EXPECT_EQ(count_calls("zel_api_ptz_prop_set(4,1)"), 1u) << "the status callback";
    ASSERT_TRUE(zeltest::wait_until([] { return head_at(80, 35); }, 10s));

    periph_test_clear_calls();
    EXPECT_EQ(zel_motor_init(), 0);
    EXPECT_EQ(count_calls("zel_api_ptz_control("), 0u) << "calibrated once per boot";
    EXPECT_EQ(count_calls("zel_api_ptz_prop_set(2,8)"), 1u);
    EXPECT_TRUE(head_at(80, 35));
}

TEST_F(MotorStart, TheBootAfterAnAutomaticUpgradeClearsItsFlag)
{
    store("NVM.IPC:motor", "[30,70]");
    store("NVM.IPC:motor_auto_ota_flag", "1");
    EXPECT_EQ(zel_motor_init(), 0);
    EXPECT_EQ(count_calls("zel_api_ptz_control("), 0u);
    EXPECT_EQ(count_calls("zel_api_ptz_prop_set(2,8)"), 1u);
    EXPECT_TRUE(head_at(30, 70)) << "told where it stands, without moving";
    EXPECT_EQ(setting("NVM.IPC:motor_auto_ota_flag"), "0");
    EXPECT_EQ(setting("RAM.RUN:motor_reset"), "1");
}

TEST_F(MotorStart, AsleepWithASleepAngleItCalibratesToTheSleepPosition)
{
    store("NVM.IPC:motor", "[30,70]");
    store("NVM.IPC:power", "0");
    store("NVM.IPC:sleep_angle", "1");
    store("NVM.IPC:sleep_motor", "[0,90]");
    EXPECT_EQ(zel_motor_init(), 0);
    EXPECT_EQ(count_calls("zel_api_ptz_control(1,-1,8,[0,90])"), 1u);
    ASSERT_TRUE(zeltest::wait_until([] { return head_at(0, 90); }, 10s));
}

TEST_F(MotorStart, AStoredPositionGoesAsItIsAndTextThatIsNoneGivesTheMiddle)
{
    store("NVM.IPC:motor", "[120,35]");
    EXPECT_EQ(zel_motor_init(), 0);
    EXPECT_EQ(count_calls("zel_api_ptz_control(1,-1,8,[120,35])"), 1u);
    EXPECT_TRUE(zeltest::wait_until([] { return head_at(100, 35); }, 10s)) << "stopped at the end of its travel";

    store("RAM.RUN:motor_reset", "0");
    store("NVM.IPC:motor", "[20,20]");
    store("NVM.IPC:power", "0");
    store("NVM.IPC:sleep_angle", "1");
    store("NVM.IPC:sleep_motor", "[0,9");
    periph_test_clear_calls();
    EXPECT_EQ(zel_motor_init(), 0);
    EXPECT_EQ(count_calls("zel_api_ptz_control(1,-1,8,[50,50])"), 1u);
    EXPECT_EQ(count_calls("zel_api_ptz_control("), 1u);
}

TEST_F(MotorStart, TheDetectionLibraryFollowsTheMotorStatus)
{
    store("RAM.RUN:motor_reset", "1");
    EXPECT_EQ(zel_motor_init(), 0);
    EXPECT_EQ(motor_running_status_get(), 0);
    int32_t slow = 2;
    ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_SPEED, &slow, sizeof slow), 0);
    zel_ptz_point_t far{0, 0};
    ASSERT_EQ(zel_api_ptz_control(ZEL_PTZ_CMD_GOTO, -1, &far, sizeof far, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return param_int(ZEL_ALGO_PARAM_MOTOR_STATUS) == 1; }, 5s));
    EXPECT_EQ(motor_running_status_get(), 1);
    ASSERT_TRUE(zeltest::wait_until([] { return head_at(0, 0); }, 10s));
    EXPECT_TRUE(zeltest::wait_until([] { return param_int(ZEL_ALGO_PARAM_MOTOR_STATUS) == 0; }, 1s));
    EXPECT_EQ(motor_running_status_get(), 0);

    status_handle(2);
    EXPECT_EQ(motor_running_status_get(), 0) << "other values are ignored";
    EXPECT_EQ(param_int(ZEL_ALGO_PARAM_MOTOR_STATUS), 0);
    status_handle(4);
    EXPECT_EQ(param_int(ZEL_ALGO_PARAM_MOTOR_STATUS), 1);
    status_handle(0);
    EXPECT_EQ(param_int(ZEL_ALGO_PARAM_MOTOR_STATUS), 0);
}

} // namespace
