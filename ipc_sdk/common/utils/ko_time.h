// The SDK's clocks (wall clock and monotonic ticks), their conversions, and broken-down time
// arithmetic without time zones. Time-outs and rate limits use the vexa_time_tick_* family.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

uint64_t vexa_time_get_ms(void);      // wall clock (time of day), milliseconds
uint64_t vexa_time_get_us(void);      // wall clock, microseconds
uint64_t vexa_time_realtime_ms(void); // realtime clock, milliseconds (time_realtime_ms: zelmar/zel_clock.h)
uint64_t vexa_time_tick_s(void);      // monotonic clock, seconds
uint64_t vexa_time_tick_ms(void);     // monotonic clock, milliseconds
uint64_t vexa_time_tick_us(void);     // monotonic clock, microseconds

// Wall-clock seconds of a monotonic time stamp in microseconds.
uint64_t ko_tick_us_to_unix_sec(uint64_t tick_us);
// Wall-clock milliseconds of a monotonic time stamp in milliseconds.
uint64_t ko_tick_ms_to_unix_ms(uint64_t tick_ms);
// a - b, or 0 when b >= a.
uint64_t ko_sub_uint64(uint64_t a, uint64_t b);

// Seconds since 1970-01-01 00:00:00 of a broken-down time, no time zone applied.
uint64_t ko_time_make_second(const struct tm *tm);
// The inverse for a 32-bit second count: date, time and week day (0 = Sunday).
void ko_time_get_date_time(uint32_t seconds, struct tm *tm);
// Local time as "%m%d %H:%M:%S.mmm"; -1 when size is below 20 or buf is null, else 0.
int ko_time_get_str_date_time(char *buf, size_t size);
// 0 when every field of the record is in range, else -1.
int ko_check_tm_time(const struct tm *tm);

#ifdef __cplusplus
}
#endif
