// The simulated day/night library: a scene light level that tests set, and the time since it last
// crossed into the dark or the bright band, measured on the monotonic clock.
#include "zel_daynight.h"
#include "zel_daynight_test.h"

#include <chrono>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

struct Scene {
    std::mutex lock;
    int level = 100;
    int night_to_day_s = 10;
    int day_to_night_s = 10;
    Clock::time_point dark_since;   // valid while the level is dark
    Clock::time_point bright_since; // valid while the level is bright
    sim::Recorder recorder;
};

Scene &scene()
{
    static Scene *s = new Scene;
    return *s;
}

bool dark(int level)
{
    return level < DAYNIGHT_NIGHT_BELOW;
}

bool bright(int level)
{
    return level > DAYNIGHT_DAY_ABOVE;
}

bool held(Clock::time_point since, int hold_s)
{
    return Clock::now() - since >= std::chrono::seconds(hold_s);
}

} // namespace

int zel_api_day_night_switch_get_params(zel_day_night_params_t *params)
{
    Scene &s = scene();
    s.recorder.record(std::string("zel_api_day_night_switch_get_params(") + (params ? "params" : "null") + ")");
    if (!params)
        return -1;
    std::lock_guard<std::mutex> g(s.lock);
    params->night_to_day_hold_s = static_cast<uint16_t>(s.night_to_day_s);
    params->day_to_night_hold_s = static_cast<uint16_t>(s.day_to_night_s);
    params->night_threshold = DAYNIGHT_NIGHT_BELOW;
    params->day_threshold = DAYNIGHT_DAY_ABOVE;
    return 0;
}

int zel_api_reach_day(int mode, int *step, int colour)
{
    Scene &s = scene();
    s.recorder.record("zel_api_reach_day(" + std::to_string(mode) + "," + (step ? "step" : "null") + "," +
                      std::to_string(colour) + ")");
    std::lock_guard<std::mutex> g(s.lock);
    if (bright(s.level) && held(s.bright_since, s.night_to_day_s))
        return 1;
    if (step)
        *step = s.level < DAYNIGHT_TOO_DARK ? 1 : 0;
    return 0;
}

int zel_api_reach_night(int mode, int full_colour)
{
    Scene &s = scene();
    s.recorder.record("zel_api_reach_night(" + std::to_string(mode) + "," + std::to_string(full_colour) + ")");
    std::lock_guard<std::mutex> g(s.lock);
    return dark(s.level) && held(s.dark_since, s.day_to_night_s) ? 1 : 0;
}

void daynight_test_set_level(int level)
{
    Scene &s = scene();
    std::lock_guard<std::mutex> g(s.lock);
    const auto now = Clock::now();
    if (dark(level) && !dark(s.level))
        s.dark_since = now;
    if (bright(level) && !bright(s.level))
        s.bright_since = now;
    s.level = level;
}

void daynight_test_set_holds(int night_to_day_s, int day_to_night_s)
{
    Scene &s = scene();
    std::lock_guard<std::mutex> g(s.lock);
    s.night_to_day_s = night_to_day_s;
    s.day_to_night_s = day_to_night_s;
}

std::vector<std::string> daynight_test_calls()
{
    return scene().recorder.calls();
}

void daynight_test_clear_calls()
{
    scene().recorder.clear_calls();
}
