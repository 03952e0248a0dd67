// Test-only controls of the simulated day/night library: the scene's light level and the hold times,
// and the record of every call with its arguments.
#pragma once

#include "sim_recorder.h"

#include <string>
#include <vector>

enum {
    DAYNIGHT_NIGHT_BELOW = 20, // a level below this is dark
    DAYNIGHT_DAY_ABOVE = 40,   // a level above this is bright
    DAYNIGHT_TOO_DARK = 5,     // below this, at night, a brighter IR light is asked for
};

// The light the sensor sees, 0 to 100 (100 at the start of the process).
void daynight_test_set_level(int level);
// The hold times that get-params reports and the decisions use (10 s each by default).
void daynight_test_set_holds(int night_to_day_s, int day_to_night_s);
std::vector<std::string> daynight_test_calls();
void daynight_test_clear_calls();
