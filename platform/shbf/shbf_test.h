// Test-only control of the shared-buffer broadcaster.
#pragma once

#include "shbf.h"

#ifdef __cplusplus
extern "C" {
#endif

// On the loop's thread: the endpoint fails as when its listening socket breaks (it stops accepting,
// links that stand stay) and event 1 is raised with `err`.
void shbfev_brd_test_fail(shbfev_brd_t *brd, int err);

#ifdef __cplusplus
}
#endif
