// The platform's restart calls beside the clock setting: reboot(howto) and kill(pid, sig) on the board.
// The simulated platform never touches the host: a reboot writes "[system] reboot" on stderr and ends
// the calling process with status 0 (as if the board went down at once); a signal to init (pid 1)
// writes "[system] kill 1 <sig>" and is not sent; any other pid is signalled for real.
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// RB_AUTOBOOT restarts the board and does not return; any other request: -1 with EINVAL.
int zel_system_reboot(int howto);
int zel_system_kill(pid_t pid, int sig);

#ifdef __cplusplus
}
#endif
