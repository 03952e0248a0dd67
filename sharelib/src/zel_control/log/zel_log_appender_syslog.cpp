// The syslog appender: lines go to the system log under the identity "zellog", optionally without
// their own time stamp (the system log adds one).
#include "zel_control/log/zel_log_context.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>

namespace {

const int s_syslog_lvl_map[] = {LOG_EMERG, LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG};
// The time stamp and its blank.
constexpr long TIME_STAMP_LEN = 24;

std::once_flag s_syslog_opened;

int syslog_write(zel_log_appender_t *appender, int level, const char *text, int length)
{
    // The skip count is kept in the private pointer itself.
    long skip = reinterpret_cast<long>(appender->priv);
    if (skip > length)
        skip = length;
    const int priority = level >= ZEL_LOG_ASSERT && level <= ZEL_LOG_DEBUG ? s_syslog_lvl_map[level] : LOG_DEBUG;
    // Formatting leaves a NUL right after the line.
    syslog(priority, "%s", text + skip);
    return length - static_cast<int>(skip);
}

} // namespace

zel_log_appender_t *zel_log_create_syslog_appender(const char *name, int syslog_time)
{
    std::call_once(s_syslog_opened, [] { openlog("zellog", LOG_PID | LOG_CONS, LOG_USER); });
    void *skip = reinterpret_cast<void *>(syslog_time ? TIME_STAMP_LEN : 0L);
    zel_log_appender_t *appender = zel_log_appender_new(name, skip, syslog_write, nullptr);
    if (!appender)
        std::fputs("zellog: no memory for the syslog appender\n", stderr);
    return appender;
}
