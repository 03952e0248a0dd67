#include "zel_system_power.h"
#include "zel_system_power_test.h"

#include <signal.h>
#include <sys/reboot.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {
std::atomic<bool> g_refuse_reboot{false};
}

extern "C" int zel_system_reboot(int howto)
{
    if (howto != RB_AUTOBOOT) {
        errno = EINVAL;
        return -1;
    }
    if (g_refuse_reboot) {
        fputs("[system] reboot refused in this test\n", stderr);
        abort();
    }
    fputs("[system] reboot\n", stderr);
    fflush(stderr);
    _exit(0);
}

extern "C" int zel_system_kill(pid_t pid, int sig)
{
    if (pid != 1)
        return kill(pid, sig);
    fprintf(stderr, "[system] kill 1 %d\n", sig);
    fflush(stderr);
    return 0;
}

void zel_system_test_refuse_reboot(bool refuse)
{
    g_refuse_reboot = refuse;
}
