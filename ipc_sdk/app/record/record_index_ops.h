// The pool's index-operations table filled by the video, picture and event indexes.
#pragma once

#include "sd_index_ops.h"

#ifdef __cplusplus
extern "C" {
#endif

const sd_index_ops_t *record_index_ops(void);

#ifdef __cplusplus
}
#endif
