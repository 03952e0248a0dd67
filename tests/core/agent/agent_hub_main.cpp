// A stand-alone agent server process for tests: serves until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>

#include "agent_server.h"
#include "agent_server_test.h"

int main()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    // Blocked before the server thread starts, so only sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (agent_server_init() != 0)
        return 1;
    int sig = 0;
    sigwait(&set, &sig);
    agent_server_stop();
    return 0;
}
