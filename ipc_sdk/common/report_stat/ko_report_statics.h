// The statistics reporter: asks every SDK module once an hour for its counters over the message
// bus, answers the daemon's "tolk.stat" and reports the system's own figures as "sys.info".
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int ko_report_statics_init(void);
int ko_report_statics_deinit(void);
// Forces the report turn of one module (0: of all): 0, or -1 for a uid above 14 and, for 0, while a
// forced turn is still pending.
int report_single_triger(uint32_t uid);
// The statistics timer's tick (once a second); exposed so that tests can drive the schedule.
void statics_timer_cb(int timer_id, void *user);

#ifdef __cplusplus
}
#endif
