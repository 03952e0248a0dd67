// Test-only view of the OTA service. Not for product code.
#pragma once

// 1 while an update context exists (from the accepted request until its worker has ended), else 0.
int ko_ota_test_busy(void);
