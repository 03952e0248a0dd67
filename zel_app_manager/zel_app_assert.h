// The camera application's fatal ends: the start-up assertion ("abort (file:function:line) (expression)
// failed!" on stderr) and the manager's level-0 aborts. Both hand on what the logger still queues
// before abort, so the lines that explain the end are not lost.
#pragma once

#include "zel_control/log/zel_log.h"

#include <stdio.h>
#include <stdlib.h>

#define ZEL_APP_ABORT()                                                                                        \
    do {                                                                                                       \
        zel_log_uninit();                                                                                      \
        abort();                                                                                               \
    } while (0)

#define ZEL_APP_ASSERT_IN(func, cond)                                                                          \
    do {                                                                                                       \
        if (!(cond)) {                                                                                         \
            fprintf(stderr, "abort (%s:%s:%d) (%s) failed!\n", __FILE__, (func), __LINE__, #cond);             \
            ZEL_APP_ABORT();                                                                                   \
        }                                                                                                      \
    } while (0)
#define ZEL_APP_ASSERT(cond) ZEL_APP_ASSERT_IN(__func__, cond)
