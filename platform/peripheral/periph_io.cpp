// The simulated LEDs (on, off and blinking, with the take-over flag), keys pressed through the test
// control and delivered on the library's key thread, the IR-cut filter, the lights and the library start.
#include "periph_internal.h"
#include "zel_peripheral.h"
#include "zel_peripheral_test.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLeds = 2;   // LEDs 1 and 2
constexpr int kLights = 2; // light 1 is the IR light
constexpr int kKeys = 4;
constexpr size_t kMaxPendingKeys = 64;

struct Led {
    int mode = PERIPH_LED_OFF;
    int on_ms = 0;
    int off_ms = 0;
    bool taken_over = false;
    Clock::time_point since;
};

struct Io {
    std::mutex lock;
    bool started = false;
    std::array<Led, kLeds> leds;
    int ircut = -1;
    std::array<periph_light_state, kLights> lights;
    std::array<zel_key_cb_t, kKeys> key_cb{};
    std::deque<std::pair<int, int>> presses;
    std::condition_variable key_wake;
};

Io &io()
{
    static Io *s = new Io; // lives for the process, like the key thread
    return *s;
}

void key_thread()
{
    pthread_setname_np(pthread_self(), "periph_key");
    Io &s = io();
    std::unique_lock<std::mutex> g(s.lock);
    for (;;) {
        s.key_wake.wait(g, [&] { return !s.presses.empty(); });
        const auto [key, event] = s.presses.front();
        s.presses.pop_front();
        const zel_key_cb_t cb = s.key_cb[key];
        g.unlock();
        if (cb)
            cb(key, event);
        g.lock();
    }
}

// The LED record for `led`, or nullptr (logged) for an LED that does not exist.
Led *led_of(Io &s, int led, const char *func)
{
    if (led < 1 || led > kLeds) {
        periph::log_error("%s: no LED %d", func, led);
        return nullptr;
    }
    return &s.leds[led - 1];
}

int set_led(const char *func, int led, int flag, int mode, int on_ms, int off_ms)
{
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    Led *l = led_of(s, led, func);
    if (!l)
        return -1;
    if (l->taken_over && flag == 0)
        return 0; // a take-over pattern holds until the priority is released
    l->mode = mode;
    l->on_ms = on_ms;
    l->off_ms = off_ms;
    l->since = Clock::now();
    if (flag != 0)
        l->taken_over = true;
    return 0;
}

periph_light_state *light_of(Io &s, int light, const char *func)
{
    if (light < 1 || light > kLights) {
        periph::log_error("%s: no light %d", func, light);
        return nullptr;
    }
    return &s.lights[light - 1];
}

int switch_light(const char *func, int light, bool on)
{
    if (const int r = periph::action(func, std::to_string(light)))
        return r;
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    periph_light_state *l = light_of(s, light, func);
    if (!l)
        return -1;
    l->enabled = on;
    return 0;
}

} // namespace

namespace periph {

void log_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sim::vlog_error("peripheral", fmt, ap);
    va_end(ap);
}

sim::Recorder &recorder()
{
    static sim::Recorder *r = new sim::Recorder;
    return *r;
}

int action(const char *name, const std::string &args)
{
    recorder().record(std::string(name) + "(" + args + ")");
    int result = 0;
    return recorder().injected(name, &result) ? result : 0;
}

} // namespace periph

extern "C" {

int zel_api_peripheral_init(void)
{
    if (const int r = periph::action("zel_api_peripheral_init", ""))
        return r;
    Io &s = io();
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.started)
            return 0;
        try {
            std::thread(key_thread).detach();
        } catch (const std::system_error &e) {
            periph::log_error("cannot start the key thread: %s", e.what());
            return -1;
        }
        s.started = true;
    }
    return periph::ptz_start();
}

int zel_api_led_on(int led, int flag)
{
    if (const int r = periph::action("zel_api_led_on", std::to_string(led) + "," + std::to_string(flag)))
        return r;
    return set_led("zel_api_led_on", led, flag, PERIPH_LED_ON, 0, 0);
}

int zel_api_led_off(int led, int flag)
{
    if (const int r = periph::action("zel_api_led_off", std::to_string(led) + "," + std::to_string(flag)))
        return r;
    return set_led("zel_api_led_off", led, flag, PERIPH_LED_OFF, 0, 0);
}

int zel_api_led_blink(int led, int on_ms, int off_ms, int times)
{
    if (const int r = periph::action("zel_api_led_blink", std::to_string(led) + "," + std::to_string(on_ms) + "," +
                                                              std::to_string(off_ms) + "," + std::to_string(times)))
        return r;
    if (on_ms <= 0 || off_ms <= 0) {
        periph::log_error("zel_api_led_blink: on %d ms, off %d ms", on_ms, off_ms);
        return -1;
    }
    return set_led("zel_api_led_blink", led, 0, PERIPH_LED_BLINK, on_ms, off_ms);
}

int zel_api_led_priority_set(int priority)
{
    if (const int r = periph::action("zel_api_led_priority_set", std::to_string(priority)))
        return r;
    if (priority == 0) {
        Io &s = io();
        std::lock_guard<std::mutex> g(s.lock);
        for (Led &l : s.leds)
            l.taken_over = false;
    }
    return 0;
}

int zel_api_key_funcb_set(int key, zel_key_cb_t callback)
{
    if (const int r = periph::action("zel_api_key_funcb_set", std::to_string(key)))
        return r;
    if (key < 0 || key >= kKeys) {
        periph::log_error("zel_api_key_funcb_set: no key %d", key);
        return -1;
    }
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    s.key_cb[key] = callback;
    return 0;
}

int zel_api_ircut_switch(int on)
{
    if (const int r = periph::action("zel_api_ircut_switch", std::to_string(on)))
        return r;
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    s.ircut = on ? 1 : 0;
    return 0;
}

int zel_api_light_enable(int light)
{
    return switch_light("zel_api_light_enable", light, true);
}

int zel_api_light_disable(int light)
{
    return switch_light("zel_api_light_disable", light, false);
}

int zel_api_light_brightness_set(int light, int percent)
{
    if (const int r = periph::action("zel_api_light_brightness_set", std::to_string(light) + "," + std::to_string(percent)))
        return r;
    if (percent < 0 || percent > 100) {
        periph::log_error("zel_api_light_brightness_set: %d %% is not 0 to 100", percent);
        return -1;
    }
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    periph_light_state *l = light_of(s, light, "zel_api_light_brightness_set");
    if (!l)
        return -1;
    l->brightness = percent;
    return 0;
}

} // extern "C"

periph_led_state periph_test_led(int led)
{
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    periph_led_state out;
    if (led < 1 || led > kLeds)
        return out;
    const Led &l = s.leds[led - 1];
    out.mode = l.mode;
    out.on_ms = l.on_ms;
    out.off_ms = l.off_ms;
    out.taken_over = l.taken_over;
    if (l.mode == PERIPH_LED_ON) {
        out.lit = true;
    } else if (l.mode == PERIPH_LED_BLINK) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - l.since).count();
        out.lit = ms % (l.on_ms + l.off_ms) < l.on_ms;
    }
    return out;
}

void periph_test_press_key(int key, int event)
{
    Io &s = io();
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (key < 0 || key >= kKeys || s.presses.size() == kMaxPendingKeys)
            return;
        s.presses.emplace_back(key, event);
    }
    s.key_wake.notify_one();
}

int periph_test_ircut()
{
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    return s.ircut;
}

periph_light_state periph_test_light(int light)
{
    Io &s = io();
    std::lock_guard<std::mutex> g(s.lock);
    return light >= 1 && light <= kLights ? s.lights[light - 1] : periph_light_state{};
}

void periph_test_fail(const std::string &function, int result, int times)
{
    periph::recorder().fail(function, result, times);
}

std::vector<std::string> periph_test_calls()
{
    return periph::recorder().calls();
}

std::vector<sim::TimedCall> periph_test_timed_calls()
{
    return periph::recorder().timed_calls();
}

void periph_test_clear_calls()
{
    periph::recorder().clear_calls();
}
