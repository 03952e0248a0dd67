#include "app/cloud/cloud_schedule.h"

#include <ctime>

#include "common/utils/ko_time.h"

namespace {

bool hour_ok(int32_t h)
{
    return h >= 0 && h <= 23;
}

bool sixty_ok(int32_t v)
{
    return v >= 0 && v <= 59;
}

} // namespace

int cloud_alarm_config_valid(const cloud_alarm_config_t *c)
{
    if (!c || c->record_seconds > 30)
        return -1;
    const bool ok = hour_ok(c->start_hour) && sixty_ok(c->start_minute) && sixty_ok(c->start_second) &&
                    hour_ok(c->end_hour) && sixty_ok(c->end_minute) && sixty_ok(c->end_second);
    return ok ? 0 : -1;
}

int _check_curtime_is_alarm(const cloud_alarm_config_t *c, int now)
{
    if (!c || !c->schedule_on)
        return 0;
    const int start = c->start_hour * 60 + c->start_minute;
    const int end = c->end_hour * 60 + c->end_minute;
    if (end > start)
        return now >= start && now <= end ? 1 : 0;
    if (end < start)
        return now > end && now < start ? 0 : 1;
    return now == start ? 1 : 0;
}

int cloud_local_minute_of_day(void)
{
    const time_t now = static_cast<time_t>(vexa_time_get_ms() / 1000);
    struct tm tm {};
    localtime_r(&now, &tm);
    return tm.tm_hour * 60 + tm.tm_min;
}

uint32_t cloud_max_back_seconds(uint32_t buffer_seconds, uint32_t gop, uint32_t fps)
{
    if (fps == 0 || buffer_seconds <= 2)
        return 0;
    const uint32_t gop_s = gop / fps;
    const uint32_t room = buffer_seconds - 2;
    return gop_s ? room / gop_s * gop_s : room;
}
