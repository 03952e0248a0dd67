// The motor start-up: at boot the pan-tilt head is calibrated once (or only told where it stands when
// it already was, in this boot or before an automatic upgrade) and brought to its saved position, or
// to its sleep position while the camera sleeps; and the motor status is passed on to the detection
// library, which does not report motion while the head turns.
#pragma once

#include "zel_peripheral.h"

#ifdef __cplusplus
extern "C" {
#endif

// The start-up sequence; the result of registering the status callback.
int zel_motor_init(void);
// The peripheral library's status callback: 4 running, 0 stopped, other values ignored.
void status_handle(int status);
// 1 between a running report and the next stopped one.
int motor_running_status_get(void);

#ifdef __cplusplus
}
#endif
