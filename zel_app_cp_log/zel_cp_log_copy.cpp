// The copy thread "cp_log_thread" and copy_file. A log file counts as copied only once its whole copy
// stands under the final name, so a failed copy is tried again at the next check.
#include "zel_cp_log.h"
#include "zel_cp_log_state.h"
#include "zel_cp_log_test.h"

#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_thread.h"
#include "zelmar/zel_path.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

extern "C" int gs_zelmar_app_running;

namespace cplog {

namespace {

constexpr const char *kLogDir = "/mnt/sdcard/log";
constexpr size_t kBlock = 1024;

struct Source {
    const char *path;
    const char *name;
    int64_t copied_mtime; // of the last whole copy; 0 before the first
};

struct Copier {
    std::mutex lock;
    std::condition_variable wake;
    std::chrono::milliseconds period{std::chrono::seconds(10)};
    std::atomic<bool> formatting{false};
    std::atomic<bool> started{false};
    Source sources[2] = {{"/tmp/zel_log/rolling.log.1", "log_rolling_1", 0}, {"/tmp/messages.0", "log_message_0", 0}};
};

Copier &copier()
{
    static Copier *c = new Copier; // lives for the process, like its thread
    return *c;
}

bool write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Copies everything `in` holds into `out`: 0, or -1 (logged).
int copy_data(int in, int out, const char *source, const char *target)
{
    char block[kBlock];
    for (;;) {
        const ssize_t n = read(in, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ZEL_LOGE(kTag, " file %s read fail: %s \n", source, strerror(errno));
            return -1;
        }
        if (n == 0)
            return 0;
        if (!write_all(out, block, static_cast<size_t>(n))) {
            ZEL_LOGE(kTag, " file %s write fail: %s \n", target, strerror(errno));
            return -1;
        }
    }
}

bool log_dir_ready(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    return mkdir(dir.c_str(), 0777) == 0;
}

void check_logs()
{
    Copier &c = copier();
    if (c.formatting) {
        ZEL_LOGI(kTag, "sdcard_formating , do not check log");
        return;
    }
    if (!log_dir_ready(zel_path(kLogDir))) {
        ZEL_LOGE(kTag, "/mnt/sdcard/log not exist and create fail , do not check log");
        return;
    }
    for (Source &s : c.sources) {
        struct stat st;
        if (stat(zel_path(s.path).c_str(), &st) != 0 || static_cast<int64_t>(st.st_mtime) <= s.copied_mtime)
            continue;
        ZEL_LOGI(kTag, " log %s is almost full, st_size:%lld, need move to sdcard \n", s.path,
                 static_cast<long long>(st.st_size));
        const std::string target =
            std::string(kLogDir) + "/" + s.name + "-" + std::to_string(static_cast<int64_t>(st.st_mtime));
        ZEL_LOGI(kTag, "cp log to %s \n", target.c_str());
        if (copy_file(zel_path(s.path).c_str(), zel_path(target).c_str()) == 0)
            s.copied_mtime = st.st_mtime;
        else
            ZEL_LOGE(kTag, "cp log to %s failed, tried again at the next check \n", target.c_str());
    }
}

void *cp_log_thread(void *)
{
    prctl(PR_SET_NAME, "cp_log_thread", 0, 0, 0);
    ZEL_LOGI(kTag, "start cp_log_thread");
    Copier &c = copier();
    while (gs_zelmar_app_running) {
        {
            // A new period counts from the start of this pause.
            std::unique_lock<std::mutex> g(c.lock);
            const auto start = std::chrono::steady_clock::now();
            for (;;) {
                const std::chrono::milliseconds period = c.period;
                if (!c.wake.wait_until(g, start + period, [&] { return c.period != period; }))
                    break;
            }
        }
        check_logs();
    }
    return nullptr;
}

} // namespace

void set_formatting(bool on)
{
    copier().formatting = on;
}

void set_period(std::chrono::milliseconds period)
{
    Copier &c = copier();
    {
        std::lock_guard<std::mutex> g(c.lock);
        c.period = period;
    }
    c.wake.notify_all();
}

} // namespace cplog

using cplog::kTag;

extern "C" {

void cp_log_init(void)
{
    if (cplog::copier().started.exchange(true))
        return;
    const int ret = zel_thread_start_detached(cplog::cp_log_thread, nullptr);
    if (ret != 0) {
        cplog::copier().started = false;
        ZEL_LOGE(kTag, "cp_log_thread cannot start: %d", ret);
    }
}

void cp_log_deinit(void) {}

int copy_file(const char *source, const char *target)
{
    struct stat st;
    if (lstat(source, &st) != 0) {
        ZEL_LOGE(kTag, " file %s stat fail: %s \n", source, strerror(errno));
        return -1;
    }
    const int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        ZEL_LOGE(kTag, " file %s open fail \n", source);
        return -1;
    }
    // A copy cut short by an error, a kill or a power loss stays under this name only.
    const std::string part = std::string(target) + ".part";
    unlink(part.c_str());
    const int out = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, st.st_mode & 07777);
    if (out < 0) {
        ZEL_LOGE(kTag, " file %s create fail \n", part.c_str());
        close(in);
        return -1;
    }
    int ret = cplog::copy_data(in, out, source, part.c_str());
    if (ret == 0 && fsync(out) != 0) {
        ZEL_LOGE(kTag, " file %s sync fail: %s \n", part.c_str(), strerror(errno));
        ret = -1;
    }
    close(in);
    if (close(out) != 0 && ret == 0) {
        ZEL_LOGE(kTag, " file %s close fail: %s \n", part.c_str(), strerror(errno));
        ret = -1;
    }
    if (ret == 0 && rename(part.c_str(), target) != 0) {
        ZEL_LOGE(kTag, " file %s rename to %s fail: %s \n", part.c_str(), target, strerror(errno));
        ret = -1;
    }
    if (ret != 0)
        unlink(part.c_str());
    return ret;
}

} // extern "C"

void cp_log_test_set_period(std::chrono::milliseconds period)
{
    cplog::set_period(period);
}

bool cp_log_test_formatting()
{
    return cplog::copier().formatting;
}
