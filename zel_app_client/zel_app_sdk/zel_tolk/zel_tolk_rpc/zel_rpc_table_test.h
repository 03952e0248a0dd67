// Test-only: replaces the engine's tables by a test's own rows (null restores the product's).
#pragma once

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_table.h"

#ifdef __cplusplus
extern "C" {
#endif

void zel_rpc_test_install_tables(const zel_rpc_tables_t *tables);

#ifdef __cplusplus
}
#endif
