// The platform's system clock setting (settimeofday on the board). The simulated platform records
// each request and leaves the host's clock alone.
#pragma once

#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

// Sets the system clock: 0, or -1 (errno set) for a null or invalid time.
int zel_sysclock_set(const struct timeval *tv);

#ifdef __cplusplus
}
#endif
