// Test seam of the client's firmware update: the root certificate and the start and poll intervals.
// Not for product code.
#pragma once

#include <string>

// An empty `root` restores lumo_dorvi_root_cert; 0 ms restore the 12 s start wait and the 1 s poll.
void zel_tolk_ota_test_set(const std::string &root, int start_wait_ms, int poll_ms);
// Forgets the update under way (the handle and flags), as a reboot would.
void zel_tolk_ota_test_reset();
