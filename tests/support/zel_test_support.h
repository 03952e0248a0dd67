// Shared test helpers: a temporary ZELMAR_ROOT, free loopback ports, child processes (peers) that are
// always stopped, and polling with a deadline instead of fixed sleeps.
#pragma once

#include <sys/types.h>

#include <ctime>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zeltest {

// A fresh directory set as ZELMAR_ROOT for the test's lifetime, with the device folders the system
// expects ("/mnt/data", "/mnt/data/operator", "/mnt/sdcard", "/tmp", "/var/run", "/run", "/dev",
// "/proc/self", "/proc/sys/vm"). Removed with everything in it when destroyed.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &dir() const { return dir_; }
    // The real location of a device path such as "/mnt/data/x".
    std::string path(const std::string &device_path) const;
    void write_file(const std::string &device_path, const std::string &content) const;
    std::string read_file(const std::string &device_path) const;
    bool exists(const std::string &device_path) const;

private:
    std::string dir_;
    std::string old_root_;
    bool had_root_ = false;
};

// A port on 127.0.0.1 that was free a moment ago (bound to port 0 and released).
int free_tcp_port();
int free_udp_port();

// The emulator this build runs its own programs under (CMAKE_CROSSCOMPILING_EMULATOR: "qemu-arm -L /"
// for the armhf build), its program as an absolute path; empty for a native build.
const std::vector<std::string> &emulator();

// The command that runs `argv` here. A program built by this tree runs through the emulator when there
// is one; host tools (python3, openssl, ffprobe, shell scripts) run as they are. Entries of `env` that
// steer the dynamic loader (LD_PRELOAD, LD_LIBRARY_PATH) are meant for the emulated program, not for
// the emulator itself: they move from `env` into the emulator's own options.
std::vector<std::string> exec_command(const std::vector<std::string> &argv, std::vector<std::string> &env);

// A child process started from argv, with extra environment entries ("NAME=value"), through
// exec_command(). Its stdout and stderr go to `log_path` when given. Killed (SIGTERM, then SIGKILL) and
// reaped when destroyed.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env = {},
                 const std::string &log_path = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends `sig` and waits for the exit; returns the wait status.
    int stop(int sig = 15);
    // Waits up to `timeout` for the child to exit by itself; returns the wait status or -1.
    int wait_exit(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// Starts one of the Python peers under tests/peers with Debian's python3.
std::vector<std::string> python_peer(const std::string &script, const std::vector<std::string> &args);

// The factor by which timing tolerances stretch where the code runs slower than on the host (under
// an emulator): ZELMAR_TEST_TIME_SCALE, at least 1, default 1.
double time_scale();
// `d` stretched by time_scale().
std::chrono::milliseconds scaled(std::chrono::milliseconds d);

// Polls `done` every few milliseconds until it holds or `timeout` (stretched by time_scale()) passes.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// The threads of this process as /proc lists them: task id -> name. A thread joined a moment ago may
// still be listed (for long under an emulator).
std::map<std::string, std::string> tasks();
int task_count();
// The open file descriptors of this process.
int descriptor_count();

// The wall clock's seconds from the precise clock the product stamps with; time() may read a coarse
// clock that is still a second behind it.
int64_t wall_seconds();

// The UTC calendar of any second count, from the C library with a 64-bit time_t even on a 32-bit
// target: a reference for dates past 2038. utc_calendar is false where the year does not fit.
bool utc_calendar(int64_t seconds, struct tm *out);
int64_t utc_seconds(const struct tm &broken_down);

// Lower-case hexadecimal text of `n` bytes.
std::string hex(const unsigned char *bytes, size_t n);

// Runs a shell command; returns its exit status (or -1) and appends its stdout to `out` when given.
int run_command(const std::string &command, std::string *out = nullptr);

// Makes a CA and a server certificate for localhost and 127.0.0.1 with the openssl CLI in the
// root's folder ("srv.pem", "srv.key") and installs the CA as the root's "/mnt/data/cacert.pem".
bool make_https_certs(const TempRoot &root);

} // namespace zeltest
