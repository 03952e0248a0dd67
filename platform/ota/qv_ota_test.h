// Test controls of the simulated OTA install library. The same settings can reach a program under
// test through the environment variable ZELMAR_QV_OTA, read at qv_ota_init: comma-separated
// "fault=<no_handle|refuse_chunk|install_fail|stuck60>" and "piece_ms=<n>".
#pragma once

#include <string>
#include <vector>

enum class QvOtaFault { none, no_handle, refuse_chunk, install_fail, stuck60 };

struct QvOtaScript {
    QvOtaFault fault = QvOtaFault::none;
    int piece_ms = 10; // the install's pause after each written piece (the flash's speed)
};

void qv_ota_test_set(const QvOtaScript &script);
// Reboot requests so far (also appended as lines to the root's "/tmp/qv_ota_reboots").
int qv_ota_test_reboots();
// Hardware ids given to qv_ota_download_install, in order.
std::vector<std::string> qv_ota_test_installs();
// Forgets the reboots, installs and script, and frees every context (as the reboot would): no handle
// may be used after it.
void qv_ota_test_reset();
