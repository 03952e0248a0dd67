// The streaming SDK's log file.
#include "vasq_log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace {

std::mutex g_lock;
int g_level = 0;
FILE *g_file = nullptr;

} // namespace

void vasq_log_set_level(int level)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_level = level;
}

int vasq_log_set_path(const char *path)
{
    FILE *f = path ? fopen(path, "a") : nullptr;
    if (!f) {
        const int e = path ? errno : EINVAL;
        KO_LOGE("VASQ", "vasq open log file(%s) error: %s\n", path ? path : "(null)", strerror(e));
        return e;
    }
    std::lock_guard<std::mutex> g(g_lock);
    if (g_file)
        fclose(g_file);
    g_file = f;
    return 0;
}

void vasq_log_print(int level, const char *file, int line, const char *fmt, ...)
{
    static const char kLetters[] = "VDIWE";
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    size_t n = strlen(msg);
    while (n > 0 && (msg[n - 1] == '\n' || msg[n - 1] == '\r'))
        msg[--n] = 0;
    const uint64_t ms = vexa_time_get_ms();
    const time_t secs = static_cast<time_t>(ms / 1000);
    struct tm tm;
    localtime_r(&secs, &tm);
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_file || level < g_level || level < 0 || level > 4)
        return;
    fprintf(g_file, "[%04d-%02d-%02d %02d:%02d:%02d.%03d %c] [%s][%d]%s\n", tm.tm_year + 1900, tm.tm_mon + 1,
            tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000), kLetters[level],
            file ? file : "", line, msg);
    fflush(g_file);
}
