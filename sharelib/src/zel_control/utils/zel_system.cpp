// Shell commands, the /proc tuning writes (through the path root), command-line lookups and random
// delays.
#include "zel_control/utils/zel_system.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "zel_control/log/zel_log.h"
#include "zel_control/utils/zel_error.h"
#include "zelmar/zel_path.h"

namespace {

constexpr const char *kTag = "COMMON_API";

// Writes the whole text to an existing /proc file (no newline).
int write_proc(const char *device_path, const char *text)
{
    if (!text) {
        ZEL_LOGE(kTag, "no value for %s", device_path);
        return ZEL_EFAIL;
    }
    const std::string path = zel_path(device_path);
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        ZEL_LOGE(kTag, "open [%s] failed: %s", path.c_str(), strerror(errno));
        return ZEL_EFAIL;
    }
    size_t done = 0;
    const size_t len = strlen(text);
    while (done < len) {
        const ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ZEL_LOGE(kTag, "write [%s] to [%s] failed: %s", text, path.c_str(), n < 0 ? strerror(errno) : "short");
            close(fd);
            return ZEL_EFAIL;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        ZEL_LOGE(kTag, "close [%s] failed: %s", path.c_str(), strerror(errno));
        return ZEL_EFAIL;
    }
    return ZEL_OK;
}

// The read end is close-on-exec: a process started meanwhile by another thread must not hold it, or a
// command still writing after we stopped reading would block for as long as that process lives.
FILE *open_command(const char *command)
{
    FILE *fp = popen(command, "re");
    if (!fp)
        ZEL_LOGE(kTag, "popen [%s] failed: %s", command, strerror(errno));
    return fp;
}

int close_command(FILE *fp, const char *command)
{
    const int status = pclose(fp);
    if (status == -1)
        ZEL_LOGE(kTag, "pclose [%s] failed: %s", command, strerror(errno));
    return status;
}

const char *arg_after(int argc, char **argv, const char *name)
{
    if (!argv || !name)
        return nullptr;
    for (int i = 0; i + 1 < argc; ++i)
        if (argv[i] && strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return nullptr;
}

} // namespace

extern "C" {

int run_cmd(const char *command, char *out, int size)
{
    if (!command || (out && size < 1))
        return ZEL_EINVAL;
    FILE *fp = open_command(command);
    if (!fp) {
        if (out)
            out[0] = '\0';
        return ZEL_EOPEN;
    }
    char piece[4096];
    if (!out) {
        while (fread(piece, 1, sizeof piece, fp) > 0) {
        }
        return close_command(fp, command);
    }
    size_t used = 0;
    const size_t room = static_cast<size_t>(size) - 1;
    // Lines are taken in pieces of bounded size; a line fits exactly when all its pieces do.
    while (fgets(piece, sizeof piece, fp)) {
        const size_t len = strlen(piece);
        if (used + len > room) {
            memcpy(out + used, piece, room - used);
            used = room;
            ZEL_LOGW(kTag, "outsize (%d) too small", size);
            break;
        }
        memcpy(out + used, piece, len);
        used += len;
    }
    out[used] = '\0';
    return close_command(fp, command);
}

int exec(const char *command, char *buffer, int size)
{
    if (!command || !buffer || size < 1)
        return ZEL_EINVAL;
    FILE *fp = open_command(command);
    if (!fp)
        return ZEL_EOPEN;
    size_t total = 0;
    const size_t limit = static_cast<size_t>(size) - 1;
    while (total < limit) {
        const size_t got = fread(buffer + total, 1, limit - total, fp);
        if (got == 0)
            break;
        total += got;
    }
    close_command(fp, command);
    return static_cast<int>(total);
}

long long zel_get_file_size(const char *path)
{
    struct stat st;
    if (!path || access(path, R_OK) != 0 || stat(path, &st) != 0) {
        ZEL_LOGE(kTag, "access [%s] error", path ? path : "NULL");
        return -1;
    }
    return static_cast<long long>(st.st_size);
}

int zel_api_change_drop_caches(const char *text)
{
    return write_proc("/proc/sys/vm/drop_caches", text);
}

int zel_api_change_oom_score(const char *text)
{
    return write_proc("/proc/self/oom_score_adj", text);
}

void zel_api_exit_by_user(void)
{
    if (kill(getpid(), SIGUSR1) != 0)
        ZEL_LOGE(kTag, "raise SIGUSR1 failed: %s", strerror(errno));
}

pthread_t zel_get_current_thread_id(void)
{
    return pthread_self();
}

const char *get_args_string(int argc, char **argv, const char *name, const char *default_value)
{
    const char *value = arg_after(argc, argv, name);
    return value ? value : default_value;
}

int get_args_int(int argc, char **argv, const char *name, int default_value)
{
    const char *value = arg_after(argc, argv, name);
    return value ? atoi(value) : default_value;
}

long get_args_long(int argc, char **argv, const char *name, long default_value)
{
    const char *value = arg_after(argc, argv, name);
    return value ? atol(value) : default_value;
}

double get_args_double(int argc, char **argv, const char *name, double default_value)
{
    const char *value = arg_after(argc, argv, name);
    return value ? atof(value) : default_value;
}

int is_args_exist(int argc, char **argv, const char *name)
{
    if (!argv || !name)
        return 0;
    for (int i = 0; i < argc; ++i)
        if (argv[i] && strcmp(argv[i], name) == 0)
            return 1;
    return 0;
}

int calc_table_size(int n)
{
    int size = 1;
    while (size < n) {
        if (size > 0x3fffffff)
            return 0x7fffffff;
        size <<= 1;
    }
    return size;
}

int zel_rand_range(int low, int high)
{
    static std::once_flag seeded;
    std::call_once(seeded, [] { srand(static_cast<unsigned>(time(nullptr))); });
    if (high <= low)
        return low;
    const long long span = static_cast<long long>(high) - low;
    return static_cast<int>(low + rand() % span);
}

void zel_random_sleep(int low_ms, int high_ms)
{
    const int ms = zel_rand_range(low_ms, high_ms);
    if (ms <= 0)
        return;
    struct timespec left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // extern "C"
