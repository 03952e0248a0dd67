// The factory reset (state 9) and the restart (state 10): both copy the system log to the card and end
// in a reboot that the hardware watchdog backs. Every path reaches the shell quoted, below the path
// root; a command that would not fit is refused, never cut.
#include "zel_status_internal.h"

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_system.h"
#include "zel_db/zel_db.h"
#include "zel_system_power.h"
#include "zelmar/zel_path.h"
#include "zelmar/zel_shell.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace status {

namespace {

constexpr int kWatchdogTimeoutS = 5;
constexpr double kRebootDelayS = 4;
// Longer than any path the camera has; a longer command means a broken root and is refused.
constexpr size_t kMaxCommand = 4096;

const char *const kResetRemoves[] = {"/mnt/data/operator/config", "/mnt/data/auth.txt", "/mnt/data/config.db",
                                     "/mnt/data/tolk_conf.db"};

void run_shell(const std::string &command)
{
    if (command.size() > kMaxCommand) {
        ZEL_LOGE(kTag, "%s command of %zu characters refused: %.64s...", kName, command.size(), command.c_str());
        return;
    }
    run_cmd(command.c_str(), nullptr, 0);
}

// "cp /tmp/messages /mnt/sdcard/log/<name>-<seconds> -rfp".
void copy_system_log(const char *name)
{
    const std::string target = "/mnt/sdcard/log/" + std::string(name) + "-" + std::to_string(time(nullptr));
    run_shell("cp " + zel_shell_path("/tmp/messages") + " " + zel_shell_path(target) + " -rfp");
}

void reboot_now()
{
    sync();
    std::this_thread::sleep_for(scaled(kRebootDelayS));
    set_reboot_by_hw_watchdog();
    zel_system_reboot(RB_AUTOBOOT);
    zel_system_kill(1, SIGTERM);
}

// Step 1 and 2 of both: refused during an upgrade (back to the state it interrupted), once only.
bool may_go_on(std::atomic<int> &flag, const char *already)
{
    if (g_upgrade == 1) {
        int previous;
        {
            std::lock_guard<std::mutex> life(g_life);
            previous = g_info ? g_info->previous.load() : -1;
        }
        ZEL_LOGE(kTag, "%s device is otaing, don't allow reboot!\n", kName);
        return_to_state(previous);
        return false;
    }
    if (flag.exchange(1) == 1) {
        ZEL_LOGI(kTag, "%s", already);
        return false;
    }
    return true;
}

} // namespace

int set_reboot_by_hw_watchdog()
{
    const int fd = open(zel_path("/dev/watchdog").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        ZEL_LOGI(kTag, "open wdt fail\n");
        return -1;
    }
    ZEL_LOGI(kTag, "open watch ok \n");
    int timeout = kWatchdogTimeoutS;
    if (ioctl(fd, WDIOC_SETTIMEOUT, &timeout) != 0)
        ZEL_LOGE(kTag, "%s watchdog time-out not set: %s", kName, strerror(errno));
    // Left open: the board is reset 5 s from now should the reboot hang.
    return 0;
}

void status_key_reseting_enter()
{
    if (!may_go_on(g_resetting, "already reseting \n"))
        return;
    play(kPromptResetSuccess);
    for (const char *path : kResetRemoves)
        run_shell("rm -rf " + zel_shell_path(path));
    zel_api_db_reset();
    ipc_status_led_control(9);
    play(kPromptBooting);
    copy_system_log("log_RESET_message");
    reboot_now();
}

void status_device_restart_enter()
{
    if (!may_go_on(g_restarting, "already restarting  \n"))
        return;
    // Values stored without an immediate save (the head's position) would wait for the timed save,
    // which the reboot does not.
    if (zel_api_db_sync() != 0)
        ZEL_LOGE(kTag, "%s settings not saved before the restart", kName);
    ipc_status_led_control(10);
    play(kPromptBooting);
    copy_system_log("log_RESTART_message");
    reboot_now();
}

} // namespace status
