// Time values and conversions of the core library. A zel_time is the pair of struct timeval
// (seconds since the epoch, microseconds 0 to 999,999) passed by value; durations are signed 64-bit
// microsecond counts. These are wall-clock values: time-outs use the monotonic clock instead.
// Seconds are 64-bit so that dates after January 2038 stay positive, also on 32-bit targets.
// Every wall-clock reading here goes through one source that tests replace (zel_time_test.h).
#pragma once

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_time {
    int64_t sec;
    int32_t usec;
} zel_time;
typedef zel_time zel_time_t;

// The wall clock in microseconds since 1970.
int64_t zel_time_wall_us(void);
zel_time zel_time_now(void);                // the wall clock (gettimeofday unless a test replaced it)
zel_time zel_time_future(int64_t usec);     // now + usec
// Local time through mktime with daylight saving off; usec = millisecond * 1000.
zel_time zel_time_create(int year, int month, int day, int hour, int minute, int second, int millisecond);
zel_time zel_time_add(zel_time t, int64_t usec);  // normalised to 0 .. 999,999 microseconds
int64_t zel_time_diff(zel_time a, zel_time b);    // a - b in microseconds
int zel_time_compare(zel_time a, zel_time b);     // -1, 0 or 1
int64_t zel_time_elapse(int64_t seconds, int64_t microseconds);

// Calendar fields (month 1 to 12, full year) of t shifted by whole hours, computed arithmetically.
void zel_time_parse_local(zel_time t, int offset_hours, int *year, int *month, int *day, int *hour,
                          int *minute, int *second);
void zel_time_parse_utc(zel_time t, int *year, int *month, int *day, int *hour, int *minute, int *second);
int zel_time_parse_millisecond(zel_time t);
int zel_time_day_of_week(zel_time t);  // local weekday, 0 = Sunday
// Gregorian date of a day count from 1970-01-01 (Fliegel and Van Flandern's Julian-day conversion).
void zel_time_days_to_date(int64_t days, int *year, int *month, int *day);
// The offset from UTC in whole hours (-11 to 12), from the local hour at the epoch.
int zel_local_timezone(void);

// Conversions; a null timeval gives 0.
struct timeval zel_time2timeval(zel_time t);
time_t zel_time2time_t(zel_time t);
zel_time zel_time_from_timeval(const struct timeval *tv);
zel_time zel_time_from_time_t(time_t seconds);
void zel_time2timespec(zel_time t, struct timespec *ts);
// Now (CLOCK_REALTIME, the clock of sem_timedwait and default condition variables) + usec; it reads
// the host's clock, never the test source: it is a deadline for the kernel.
void timespec_future(struct timespec *ts, int64_t usec);

// strftime of localtime_r / gmtime_r of t: the characters written, 0 when they do not fit.
size_t zel_strftime_local(zel_time t, char *buffer, size_t size, const char *format);
size_t zel_strftime_utc(zel_time t, char *buffer, size_t size, const char *format);

// The same operations on a time value held by pointer.
int64_t tv_time_diff(const zel_time *a, const zel_time *b);
int tv_time_compare(const zel_time *a, const zel_time *b);
void tv_time_add(zel_time *t, int64_t usec);
void tv_time_future(zel_time *t, int64_t usec);
void tv_time_parse_local(const zel_time *t, int offset_hours, int *year, int *month, int *day, int *hour,
                         int *minute, int *second);
void tv_time_parse_utc(const zel_time *t, int *year, int *month, int *day, int *hour, int *minute,
                       int *second);
int tv_time_day_of_week(const zel_time *t);
void tv_time_set(zel_time *t, int year, int month, int day, int hour, int minute, int second, int millisecond);

void time_to_tm(struct tm *tm, time_t seconds);  // localtime_r
time_t tm_to_time_t(struct tm *tm);             // mktime
// "%4d-%02d-%02d %02d:%02d:%02d", or the caller's format over the same six fields, in a 32-byte
// buffer of the calling thread, valid until that thread's next call.
const char *tm_to_time_string(const struct tm *tm);
const char *tm_to_time_string2(const struct tm *tm, const char *format);
// The current local time through tm_to_time_string.
const char *get_local_time(void);

int64_t time_t_milli(void);  // milliseconds since the epoch
int64_t time_t_micro(void);  // microseconds since the epoch
time_t utc_to_local(time_t seconds);  // timegm of the local calendar time
time_t local_to_utc(time_t seconds);  // mktime of the UTC calendar time
// Prints "current timestamp: %ld, %lld, %lld\n" (seconds, milliseconds, microseconds) on stdout.
void zel_print_timestamp(void);

// Seconds of a local time read with sscanf(text, format) into year, month, day, hour, minute and
// second; 0 when fewer than six fields are read, -1 for null arguments.
time_t zel_string_to_time(const char *text, const char *format);

#ifdef __cplusplus
}
#endif
