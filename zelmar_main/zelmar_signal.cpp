// Signal handling: the handler only writes the signal number to a pipe; the signal thread reads it,
// logs it, ignores SIGPIPE and ends the process with status -1 for SIGINT and SIGTERM, without
// clean-up: the log hands on what it holds, then _exit, so no destructor runs under live threads.
#include "zelmar_main.h"
#include "zelmar_signal.h"

#include "zel_control/log/zel_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

constexpr const char *kTag = "zelmar_app";
int g_signal_pipe[2] = {-1, -1};

void signal_thread()
{
    pthread_setname_np(pthread_self(), "zel_signal");
    for (;;) {
        unsigned char signo = 0;
        const ssize_t n = read(g_signal_pipe[0], &signo, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != 1) {
            ZEL_LOGE(kTag, "signal pipe read failed: %s", n < 0 ? strerror(errno) : "end of file");
            return;
        }
        if (signo == SIGPIPE) {
            ZEL_LOGW(kTag, "Recv signal SIGPIPE ");
            continue;
        }
        ZEL_LOGE(kTag, "Recv signal %d ", signo);
        zel_log_uninit();
        _exit(-1);
    }
}

} // namespace

void zelmar_app_sighandler(int signo)
{
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(signo);
    // A full pipe means a signal is already waiting; nothing else can be done inside a handler.
    if (write(g_signal_pipe[1], &b, 1) != 1) {
    }
    errno = saved;
}

int zelmar_signal_init(void)
{
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) {
        fprintf(stderr, "signal pipe: %s\n", strerror(errno));
        return -1;
    }
    if (fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK) != 0) {
        fprintf(stderr, "signal pipe: %s\n", strerror(errno));
        return -1;
    }
    try {
        std::thread(signal_thread).detach();
    } catch (const std::system_error &e) {
        fprintf(stderr, "signal thread: %s\n", e.what());
        return -1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = zelmar_app_sighandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGPIPE, &sa, nullptr);
    return 0;
}
