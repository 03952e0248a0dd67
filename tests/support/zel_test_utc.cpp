// A calendar reference for any date, also past 2038 on a 32-bit target: this file alone is built with
// a 64-bit time_t (see tests/CMakeLists.txt), so the C library's own gmtime_r and timegm serve.
#include "zel_test_support.h"

#include <ctime>

static_assert(sizeof(time_t) == 8, "zel_test_utc.cpp must be built with a 64-bit time_t");

namespace zeltest {

bool utc_calendar(int64_t seconds, struct tm *out)
{
    const time_t t = seconds;
    return gmtime_r(&t, out) != nullptr;
}

int64_t utc_seconds(const struct tm &broken_down)
{
    struct tm copy = broken_down;
    return timegm(&copy);
}

} // namespace zeltest
