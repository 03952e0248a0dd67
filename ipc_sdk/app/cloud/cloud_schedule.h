// The alarm configuration's checks and its schedule test.
#pragma once

#include <stdint.h>

#include "app/cloud/ko_cloud.h"

// 0 when the hours are 0-23, the minutes and seconds 0-59 and the record seconds at most 30.
int cloud_alarm_config_valid(const cloud_alarm_config_t *config);

// 1 when the minute of the day (0-1439) lies in the schedule: [start, end] when end follows start,
// outside (end, start) over midnight, only that minute when they are equal; 0 when the schedule
// is off.
int _check_curtime_is_alarm(const cloud_alarm_config_t *config, int minute_of_day);

// The minute of the day of the wall clock, in local time.
int cloud_local_minute_of_day(void);

// The largest look-back: (seconds to buffer - 2) cut down to whole GOP durations (gop / fps s).
uint32_t cloud_max_back_seconds(uint32_t buffer_seconds, uint32_t gop, uint32_t fps);
