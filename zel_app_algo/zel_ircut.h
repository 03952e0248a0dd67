// The IR-cut day/night state machine: a worker that once a second runs the periodic operation of the
// selected mode (0 automatic, 1 manual day, 2 manual night, 3 like automatic, 4 full colour,
// 5 smart), switching the IR-cut filter, the IR light and the ISP mode, with a lock against quick
// day/night flips.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Starts the worker: 0 (also when one runs already), or -1 when its thread cannot start.
int zel_ircut_init(void);
// Stops the worker, waits for its end and switches the IR light off; 0.
int zel_ircut_exit(void);
// Requests mode 0 to 5, taken over within a second: 0, or -1 (logged) for any other value.
int ircut_mode_switch(int mode);
int fullcolor_mode_config(int on);
int fullcolor_mode_get(void);
// "PeopleMotion" arms the smart mode's colour phase: 0; any other event: non-zero.
int zel_app_event_trigger_ircut(const char *event, int length);
int set_hack_light_mode(int light_mode);

#ifdef __cplusplus
}
#endif
