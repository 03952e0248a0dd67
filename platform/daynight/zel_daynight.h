// The day/night library: whether the scene has turned to day or to night, judged from the light the
// sensor sees and held for a while before it counts, and whether the IR light should be brighter.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zel_day_night_params {
    uint16_t night_to_day_hold_s; // how long the scene must stay bright before it is day
    uint16_t day_to_night_hold_s; // how long the scene must stay dark before it is night
    uint16_t night_threshold;     // light level below which the scene is dark
    uint16_t day_threshold;       // light level above which the scene is bright
} zel_day_night_params_t;

// Fills *params: 0, or -1 for a null record.
int zel_api_day_night_switch_get_params(zel_day_night_params_t *params);
// Non-zero once the scene has stayed bright for the night-to-day hold. When it answers 0 and `step`
// is given, *step is set non-zero while the scene is too dark for the IR light as it is. `colour` is
// non-zero while the camera shows a night scene in colour.
int zel_api_reach_day(int mode, int *step, int colour);
// Non-zero once the scene has stayed dark for the day-to-night hold.
int zel_api_reach_night(int mode, int full_colour);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(zel_day_night_params_t) == 8, "the day/night parameters are 8 bytes");
#endif
