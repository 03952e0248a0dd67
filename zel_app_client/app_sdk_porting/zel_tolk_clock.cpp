#include "app_sdk_porting/zel_tolk_clock.h"

#include "common/utils/ko_time.h"

int64_t zel_tolk_wall_s(void)
{
    return static_cast<int64_t>(vexa_time_get_ms() / 1000);
}

uint64_t zel_tolk_tick_ms(void)
{
    return vexa_time_tick_ms();
}
