// The SDK logger: formats one line per call, writes it coloured to the console and copies it into a
// memory-mapped file window whose oldest lines are dropped (a chunk at a time) when it is full.
#include "common/utils/ko_log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/utils/ko_time.h"
#include "zelmar/zel_path.h"

namespace {

constexpr size_t kLineMax = 4096; // a line holds at most kLineMax - 1 characters
constexpr size_t kNearlyFullMargin = 2048;
constexpr const char *kColourReset = "\033[0m";

struct LogState {
    std::mutex lock;
    std::atomic<bool> inited{false};
    std::atomic<uint32_t> level{0};
    ko_log_param param{};
    char *window = nullptr;
    size_t window_len = 0;
    size_t pos = 0;          // end of the text in the window
    size_t since_backup = 0; // bytes written since the last safety backup
};

LogState g_log;

#define KO_LOG_DIAG_E(fmt, ...) std::printf("\033[31m[E][%s][%d]" fmt "\033[0m\n", __func__, __LINE__, ##__VA_ARGS__)
#define KO_LOG_DIAG_D(fmt, ...) std::printf("\033[32m[D][%s][%d]" fmt "\033[0m\n", __func__, __LINE__, ##__VA_ARGS__)

const char kLetters[] = {'D', 'I', 'W', 'E', 'F'};
const char *const kColours[] = {"\033[32m", "\033[32m", "\033[33m", "\033[31m", "\033[31m"};

bool check_log_param(const ko_log_param *param)
{
    if (!param) {
        KO_LOG_DIAG_E("invalid param");
        return false;
    }
    if (param->level > KO_LOG_FATAL) {
        KO_LOG_DIAG_E("invalid param log_level %u", param->level);
        return false;
    }
    return true;
}

void unmap_window()
{
    if (g_log.window && munmap(g_log.window, g_log.window_len) != 0)
        std::fprintf(stderr, "munmap log window error with %s\n", std::strerror(errno));
    g_log.window = nullptr;
    g_log.window_len = 0;
    g_log.pos = 0;
    g_log.since_backup = 0;
}

// Maps the log file named in `param` as the window; the caller holds the lock (or is starting).
int ko_log_file_init(const ko_log_param *param)
{
    unmap_window();
    if (param->file_size < KO_LOG_FILE_MIN_SIZE) {
        std::fprintf(stderr, "log buffer too small %d\n", static_cast<int>(param->file_size));
        return -1;
    }
    const long page = sysconf(_SC_PAGESIZE);
    const size_t page_size = page > 0 ? static_cast<size_t>(page) : 4096;
    const size_t window_len = (param->file_size + page_size - 1) / page_size * page_size;

    char path[sizeof(param->file_path)];
    std::memcpy(path, param->file_path, sizeof(path));
    path[sizeof(path) - 1] = '\0';
    const std::string real = zel_path(path);
    const int fd = open(real.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "open file %s error with %s\n", real.c_str(), std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        std::fprintf(stderr, "fstat file %s error with %s\n", real.c_str(), std::strerror(errno));
        close(fd);
        return -1;
    }
    // A file longer than the window keeps its first window_len bytes.
    if (ftruncate(fd, static_cast<off_t>(window_len)) != 0) {
        std::fprintf(stderr, "ftruncate file error with %s\n", std::strerror(errno));
        close(fd);
        return -1;
    }
    void *map = mmap(nullptr, window_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "mmap file %s error with %s\n", real.c_str(), std::strerror(errno));
        return -1;
    }
    g_log.window = static_cast<char *>(map);
    g_log.window_len = window_len;
    // Writing resumes right after the earlier text, not after the zero padding behind it.
    size_t text = std::min(window_len, static_cast<size_t>(st.st_size));
    while (text > 0 && g_log.window[text - 1] == '\0')
        --text;
    g_log.pos = text;
    g_log.since_backup = text;
    KO_LOG_DIAG_D("log init success , file size %d", static_cast<int>(window_len));
    return 0;
}

// Drops whole lines from the window's front until `len` more bytes fit. Lines go in chunks of at
// least an eighth of the window, so a full window is not moved once per line.
void make_room(size_t len)
{
    if (g_log.pos + len < g_log.window_len)
        return;
    const size_t needed = g_log.pos + len - g_log.window_len + 1;
    const size_t cut = std::min(g_log.pos, std::max(needed, g_log.window_len / 8));
    size_t drop = g_log.pos;
    if (cut > 0) {
        const void *nl = std::memchr(g_log.window + cut - 1, '\n', g_log.pos - (cut - 1));
        if (nl)
            drop = static_cast<size_t>(static_cast<const char *>(nl) - g_log.window) + 1;
    }
    const size_t old_pos = g_log.pos;
    std::memmove(g_log.window, g_log.window + drop, old_pos - drop);
    g_log.pos = old_pos - drop;
    std::memset(g_log.window + g_log.pos, 0, old_pos - g_log.pos);
}

} // namespace

void ko_log(int level, const char *file, const char *module, const char *func, int line, const char *fmt, ...)
{
    (void)func;
    if (!fmt)
        return;
    va_list ap;
    if (!g_log.inited.load(std::memory_order_acquire)) {
        va_start(ap, fmt);
        std::vprintf(fmt, ap);
        va_end(ap);
        std::fflush(stdout);
        return;
    }
    if (level < 0 || level > KO_LOG_FATAL || static_cast<uint32_t>(level) < g_log.level.load(std::memory_order_relaxed))
        return;

    std::lock_guard<std::mutex> guard(g_log.lock);
    if (!g_log.inited.load(std::memory_order_relaxed))
        return;
    char when[32];
    if (ko_time_get_str_date_time(when, sizeof(when)) != 0)
        when[0] = '\0';
    const char *base = file ? std::strrchr(file, '/') : nullptr;
    base = base ? base + 1 : (file ? file : "");

    char text[kLineMax];
    int n = std::snprintf(text, sizeof(text), "[%c][%s][%s][%s:%ld]", kLetters[level], when, module ? module : "",
                          base, static_cast<long>(line));
    size_t len = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof(text) - 1);
    va_start(ap, fmt);
    n = std::vsnprintf(text + len, sizeof(text) - len, fmt, ap);
    va_end(ap);
    if (n > 0)
        len = std::min(len + static_cast<size_t>(n), sizeof(text) - 1);

    if (g_log.param.output & KO_LOG_OUT_CONSOLE) {
        std::fputs(kColours[level], stdout);
        std::fwrite(text, 1, len, stdout);
        std::fputs(kColourReset, stdout);
    }
    if ((g_log.param.output & KO_LOG_OUT_FILE) && g_log.window && g_log.param.level > 0) {
        make_room(len);
        std::memcpy(g_log.window + g_log.pos, text, len);
        g_log.pos += len;
        g_log.since_backup += len;
    }
}

int ko_log_init(const ko_log_param *param)
{
    std::lock_guard<std::mutex> guard(g_log.lock);
    if (g_log.inited.load()) {
        KO_LOG_DIAG_E("warning :ko log has been inited!");
        return -1;
    }
    if (!check_log_param(param))
        return -1;
    unmap_window();
    g_log.param = *param;
    g_log.param.file_path[sizeof(g_log.param.file_path) - 1] = '\0';
    if ((param->output & KO_LOG_OUT_FILE) && ko_log_file_init(&g_log.param) != 0) {
        KO_LOG_DIAG_D("log file init failure");
        g_log.param = {};
        return -1;
    }
    g_log.level.store(g_log.param.level);
    g_log.inited.store(true, std::memory_order_release);
    KO_LOG_DIAG_D("log init success");
    return 0;
}

int ko_log_deinit(void)
{
    std::lock_guard<std::mutex> guard(g_log.lock);
    if (!g_log.inited.load()) {
        KO_LOG_DIAG_E("ko log has not been inited, please check your code!");
        return -1;
    }
    unmap_window();
    g_log.inited.store(false, std::memory_order_release);
    g_log.param = {};
    g_log.level.store(0);
    KO_LOG_DIAG_D("log deinit success");
    return 0;
}

int ko_log_param_set(const ko_log_param *param)
{
    if (!g_log.inited.load()) {
        KO_LOG_DIAG_E("please init firstly");
        return -1;
    }
    if (!check_log_param(param))
        return -1;
    std::lock_guard<std::mutex> guard(g_log.lock);
    if (!g_log.inited.load()) {
        KO_LOG_DIAG_E("please init firstly");
        return -1;
    }
    ko_log_param next = *param;
    next.file_path[sizeof(next.file_path) - 1] = '\0';
    const bool had_file = (g_log.param.output & KO_LOG_OUT_FILE) && g_log.window;
    const bool wants_file = next.output & KO_LOG_OUT_FILE;
    const bool same_file = had_file && std::strcmp(next.file_path, g_log.param.file_path) == 0 &&
                           next.file_size == g_log.param.file_size;
    if (wants_file && !same_file) {
        if (ko_log_file_init(&next) != 0) {
            KO_LOG_DIAG_D("log file init failure");
            g_log.param.output &= ~static_cast<uint32_t>(KO_LOG_OUT_FILE);
            return -1;
        }
    } else if (!wants_file) {
        unmap_window();
    }
    g_log.param = next;
    g_log.level.store(next.level);
    return 0;
}

int ko_log_param_get(ko_log_param *out)
{
    if (!g_log.inited.load()) {
        KO_LOG_DIAG_E("please init firstly");
        return -1;
    }
    if (!out) {
        KO_LOG_DIAG_E("invalid param");
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_log.lock);
    *out = g_log.param;
    return 0;
}

int ko_log_file_status_get(void)
{
    if (!g_log.inited.load()) {
        KO_LOG_DIAG_E("ko log has not been inited, please check your code!");
        return 0;
    }
    std::lock_guard<std::mutex> guard(g_log.lock);
    if (!(g_log.param.output & KO_LOG_OUT_FILE) || !g_log.window)
        return 0;
    return g_log.since_backup + kNearlyFullMargin >= g_log.window_len ? 1 : 0;
}

int ko_log_file_safety_backup(const char *path)
{
    if (!g_log.inited.load()) {
        KO_LOG_DIAG_E("ko log has not been inited, please check your code!");
        return -1;
    }
    if (!path) {
        KO_LOG_DIAG_E("invalid param");
        return -1;
    }
    const std::string real = zel_path(path);
    std::lock_guard<std::mutex> guard(g_log.lock);
    FILE *fp = std::fopen(real.c_str(), "we");
    if (!fp) {
        std::fprintf(stderr, "open file %s error with %s\n", real.c_str(), std::strerror(errno));
        return -1;
    }
    const size_t len = g_log.window ? g_log.pos : 0;
    const size_t written = len ? std::fwrite(g_log.window, 1, len, fp) : 0;
    const bool closed = std::fclose(fp) == 0;
    if (written != len || !closed) {
        std::fprintf(stderr, "fwrite file %s error with %s\n", real.c_str(), std::strerror(errno));
        return -1;
    }
    // Only a backup that really landed restarts the nearly-full count.
    g_log.since_backup = 0;
    return 0;
}
