// Test-only control of the kv store's engine: swap the function table (null restores SQLite).
#pragma once

#include "common/kv/ko_kv_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

void ko_kv_engine_set(const ko_kv_engine_ops *ops);

#ifdef __cplusplus
}
#endif
