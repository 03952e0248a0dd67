// Building one log line: the time stamp computed from the clock without a library time conversion,
// the parts the logger's format mask selects, and the message cut to the record's buffer.
#include "zel_control/log/zel_log_context.h"
#include "zel_control/utils/zel_time.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *s_level_tag[] = {"[A]", "[E]", "[W]", "[I]", "[D]"};
constexpr int LEVEL_TAG_LEN = 3;

// Appends to a line while one byte of the buffer stays free.
struct line_writer {
    char *buf;
    size_t limit; // buffer size - 1
    size_t pos;

    void put(const char *text, size_t n)
    {
        n = std::min(n, limit - pos);
        std::memcpy(buf + pos, text, n);
        pos += n;
    }
    void put(const char *text) { put(text, std::strlen(text)); }
    void put(char c) { put(&c, 1); }
    void bracketed(const char *text)
    {
        put('[');
        put(text ? text : "");
        put(']');
    }
};

void put_digits(char *out, unsigned value, int width)
{
    for (int i = width - 1; i >= 0; i--) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// "%4d-%02d-%02d %02d:%02d:%02d.%03d" and a blank: 24 characters.
void put_time_stamp(line_writer &line, int offset_hours)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long seconds = static_cast<long>(now.tv_sec);
    const long hours = seconds / 3600 + offset_hours;
    // Rounded down: a negative offset on a clock still near 1970 (a board before its first time
    // sync) gives hours before the epoch, which still belong to the day before.
    const long days = hours / 24 - (hours % 24 < 0 ? 1 : 0);
    const long hour = hours - days * 24;
    const long minute = seconds / 60 % 60;
    const long second = seconds % 60;
    const int millisecond = static_cast<int>(now.tv_nsec / 1000000);
    int year, month, day;
    zel_time_days_to_date(days, &year, &month, &day);
    char stamp[48];
    if (year < 0 || year > 9999) {
        std::snprintf(stamp, sizeof stamp, "%4d-%02d-%02d %02ld:%02ld:%02ld.%03d ", year, month, day, hour, minute,
                      second, millisecond);
        line.put(stamp);
        return;
    }
    std::memcpy(stamp, "0000-00-00 00:00:00.000 ", 24);
    put_digits(stamp, static_cast<unsigned>(year), 4);
    put_digits(stamp + 5, static_cast<unsigned>(month), 2);
    put_digits(stamp + 8, static_cast<unsigned>(day), 2);
    put_digits(stamp + 11, static_cast<unsigned>(hour), 2);
    put_digits(stamp + 14, static_cast<unsigned>(minute), 2);
    put_digits(stamp + 17, static_cast<unsigned>(second), 2);
    put_digits(stamp + 20, static_cast<unsigned>(millisecond), 3);
    line.put(stamp, 24);
}

// "[%08ld]" with the calling thread's id, made once per thread.
const char *thread_text()
{
    thread_local char text[24];
    if (!text[0])
        std::snprintf(text, sizeof text, "[%08ld]", static_cast<long>(syscall(SYS_gettid)));
    return text;
}

} // namespace

void zel_log_format_record(zel_log_context_t *ctx, zel_logger_t *logger, zel_log_record_t *record, int level,
                           const char *tag, const char *file, const char *func, long line, const char *fmt,
                           va_list args)
{
    const size_t size = static_cast<size_t>(record->size);
    line_writer out{record->text, size - 1, 0};
    put_time_stamp(out, ctx->timezone_hours);

    const unsigned mask = logger->format;
    if ((mask & ZEL_LOG_FMT_LEVEL) && level >= ZEL_LOG_ASSERT && level <= ZEL_LOG_DEBUG)
        out.put(s_level_tag[level], LEVEL_TAG_LEN);
    if (mask & ZEL_LOG_FMT_TAG)
        out.bracketed(tag);
    if (mask & ZEL_LOG_FMT_LOGGER)
        out.bracketed(logger->name);
    if (mask & ZEL_LOG_FMT_PROCESS)
        out.put(ctx->process_text);
    if (mask & ZEL_LOG_FMT_THREAD)
        out.put(thread_text());
    if (mask & (ZEL_LOG_FMT_FILE | ZEL_LOG_FMT_FUNC | ZEL_LOG_FMT_LINE)) {
        out.put('[');
        const bool has_file = (mask & ZEL_LOG_FMT_FILE) != 0;
        const bool has_func = (mask & ZEL_LOG_FMT_FUNC) != 0;
        if (has_file)
            out.put(file ? file : "");
        if (has_file && has_func)
            out.put(' ');
        if (has_func)
            out.put(func ? func : "");
        if (mask & ZEL_LOG_FMT_LINE) {
            // The line is never first in the buffer (the time stamp is), so the colon always stands.
            out.put(':');
            char number[8];
            std::snprintf(number, sizeof number, "%ld", line);
            out.put(number);
        }
        out.put(']');
    }
    out.put(' ');

    // The message gets the rest of the buffer less one byte, so a line keeps at most size - 2 characters.
    size_t length = out.pos;
    const size_t room = size - out.pos - 1;
    if (room > 0) {
        const int wanted = std::vsnprintf(record->text + out.pos, room, fmt ? fmt : "", args);
        if (wanted > 0)
            length += std::min(static_cast<size_t>(wanted), room - 1);
    }
    length = std::min(length, size - 2);
    record->text[length] = '\0';
    record->length = static_cast<int>(length);
    record->level = level;
}
