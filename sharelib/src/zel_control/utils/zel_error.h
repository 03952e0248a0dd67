// The result codes shared by the core library's general functions: 0 for success, one of these
// negative values for failure.
#pragma once

enum {
    ZEL_OK = 0,
    ZEL_EFAIL = -1,      // generic failure
    ZEL_EINVAL = -2,     // null or bad argument
    ZEL_ENOMEM = -3,     // out of memory
    ZEL_ENOTFOUND = -4,  // not found
    ZEL_EOPEN = -7,      // a file or command cannot be opened
    ZEL_ETIMEOUT = -8,   // time-out
    ZEL_ETHREAD = -9,    // a thread cannot be created
    ZEL_EBUSY = -10,     // already in use
    ZEL_EFULL = -21,     // container or queue full
    ZEL_ESMALL = -22,    // buffer too small
    ZEL_EPAST = -31,     // time in the past
    ZEL_EWAITED = -50,   // key already waited on
};
