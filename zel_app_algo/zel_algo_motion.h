// Motion tracking: the head turns towards a moving object that the detection library reports and
// goes back to its saved position ("NVM.IPC:motor") when nothing has moved it for 5 seconds. The
// algorithm app starts and stops it and gives motion_track_angle_config to the detection library.
#pragma once

#include "zel_detection.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Horizontal and vertical angle (degrees) of the last report; the third is not read.
extern int32_t motion_track_degree[3];
// The last reported object rectangle {x1, y1, x2, y2} in the detection picture (320 x 192).
extern int32_t motion_rect_config[4];
extern int32_t last_rotate_angle[3];
extern int32_t angle_h_src[8];
extern int32_t angle_h_dst[8];

// Starts the task and back threads: 0, or -1 (logged) when one cannot start. Nothing while they run.
int motion_track_init(void);
// Ends both threads and returns once they have ended; 0.
int motion_task_exit(void);
// 1 lets reports move the head, 0 keeps it still; 0.
int motion_track_mode_config(int on);
// 1 after a tracking move, 0 once the head went back.
int get_tracking_state(void);
// The detection library's angle callback: the record's h and v.
void motion_track_angle_config(const zel_algo_angle_t *angles);
// Stores the object rectangle {x, y, x + w, y + h}, and wakes the task thread like a report; 0.
int motion_track_coordinate_config(int x, int y, int w, int h);
// The angles of the stored rectangle's centre, only the horizontal one when it is not 0; 0.
int motion_track_calcu_rotate_angle(int *h, int *v);
// The angles in degrees from the picture's centre to the centre of the rectangle; 0, or -1 for a
// null output.
int cal_h_v_degree(int *h, int *v, float x1, float y1, float x2, float y2);

#ifdef __cplusplus
}
#endif
