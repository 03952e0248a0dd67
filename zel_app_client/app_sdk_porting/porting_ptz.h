// The pan-tilt bridge: turns, stops, re-homing and go-to requests on the peripheral library's motor,
// with the microphone gain lowered while a turn runs, and the callbacks that store the head's position
// under "NVM.IPC:motor" and report motor results to the phone.
#pragma once

#include "zel_peripheral.h"

#ifdef __cplusplus
extern "C" {
#endif

// Direction codes 1 to 4 of the phone; -1 for another code, else 0.
int ptz_control_turn(int cmd);
int ptz_control_stop(void);
int ptz_control_reset(void);
int ptz_control_reset_point(int x, int y);
int ptz_control_goto_point(int x, int y);
// Values parsed from "NVM.IPC:motor" "[x,y]" (2 on success).
int get_current_motor_position(int *x, int *y);

void PTZ_control_callback(int event, zel_ptz_result_t *result, void *value);
void goto_point_callback(int event, zel_ptz_result_t *result, void *value);
void motor_reset_callback(int event, zel_ptz_result_t *result, void *value);

extern int if_change_mic_gain;

#ifdef __cplusplus
}
#endif
