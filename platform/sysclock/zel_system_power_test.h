// Test controls of the simulated restart calls.
#pragma once

// While set, a reboot request aborts the process with "[system] reboot refused in this test" on
// stderr instead of ending it with status 0, so that a test which must not reboot cannot pass by it.
void zel_system_test_refuse_reboot(bool refuse);
