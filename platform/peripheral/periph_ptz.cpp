// The simulated pan-tilt head: a model that moves at its set speed over time on the library's own
// thread, runs commands in order (a new command ends the running one), and calls the completion and
// status callbacks from that thread without holding its lock.
#include "periph_internal.h"
#include "zel_peripheral.h"
#include "zel_peripheral_test.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPanDegrees = 355.0;  // x from 0 to 100
constexpr double kTiltDegrees = 90.0;  // y from 0 to 100
constexpr double kUnitsPerSpeed = 20.0; // units per second for each step of speed
constexpr auto kTick = std::chrono::milliseconds(20);
constexpr size_t kMaxQueued = 16;

struct Command {
    int command;
    zel_ptz_cb_t callback;
    double tx, ty;             // target
    std::optional<zel_ptz_point_t> then; // calibration: where to go after the end stops
};

struct Head {
    std::mutex lock;
    std::condition_variable wake;
    bool started = false;
    double x = 50, y = 50;
    int speed = 2;
    int flip = 0;
    bool moving = false;
    bool fail_next = false;
    zel_ptz_status_cb_t status_cb = nullptr;
    std::deque<Command> queue;
    std::optional<Command> current;
};

Head &head()
{
    static Head *h = new Head; // lives for the process, like the head thread
    return *h;
}

double clamp(double v)
{
    return v < 0 ? 0 : v > 100 ? 100 : v;
}

// Ends the running command and tells its callback; called and returns with the lock held.
void finish(Head &h, std::unique_lock<std::mutex> &g, int event)
{
    Command c = *h.current;
    h.current.reset();
    zel_ptz_result_t result{event == ZEL_PTZ_EVENT_FAILED ? -1 : 0, static_cast<int32_t>(std::lround(h.x)),
                            static_cast<int32_t>(std::lround(h.y))};
    int code = c.command;
    g.unlock();
    if (c.callback)
        c.callback(event, &result, &code);
    g.lock();
}

void set_moving(Head &h, std::unique_lock<std::mutex> &g, bool moving)
{
    if (h.moving == moving)
        return;
    h.moving = moving;
    const zel_ptz_status_cb_t cb = h.status_cb;
    g.unlock();
    if (cb)
        cb(moving ? ZEL_PTZ_STATUS_RUNNING : ZEL_PTZ_STATUS_STOPPED);
    g.lock();
}

// Moves the head towards the running command's target for `seconds`; true once it is there.
bool advance(Head &h, double seconds)
{
    const double dx = h.current->tx - h.x, dy = h.current->ty - h.y;
    const double dist = std::sqrt(dx * dx + dy * dy);
    const double step = kUnitsPerSpeed * h.speed * seconds;
    if (dist <= step) {
        h.x = h.current->tx;
        h.y = h.current->ty;
        return true;
    }
    h.x += dx * step / dist;
    h.y += dy * step / dist;
    return false;
}

void head_thread()
{
    pthread_setname_np(pthread_self(), "periph_ptz");
    Head &h = head();
    std::unique_lock<std::mutex> g(h.lock);
    Clock::time_point last = Clock::now();
    for (;;) {
        if (!h.queue.empty()) {
            Command c = h.queue.front();
            h.queue.pop_front();
            if (h.current)
                finish(h, g, ZEL_PTZ_EVENT_STOPPED);
            if (c.command == ZEL_PTZ_CMD_STOP)
                continue;
            h.current = c;
            last = Clock::now();
            set_moving(h, g, true);
            if (h.fail_next && h.current) {
                h.fail_next = false;
                finish(h, g, ZEL_PTZ_EVENT_FAILED);
            }
            continue;
        }
        if (!h.current) {
            set_moving(h, g, false);
            if (h.queue.empty() && !h.current)
                h.wake.wait(g, [&] { return !h.queue.empty(); });
            continue;
        }
        h.wake.wait_for(g, kTick, [&] { return !h.queue.empty(); });
        if (!h.queue.empty())
            continue;
        const Clock::time_point now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - last).count();
        last = now;
        if (!advance(h, seconds))
            continue;
        if (h.current->then) {
            const zel_ptz_point_t p = *h.current->then;
            h.current->then.reset();
            h.current->tx = p.x;
            h.current->ty = p.y;
            continue;
        }
        finish(h, g, h.current->command == ZEL_PTZ_CMD_TURN ? ZEL_PTZ_EVENT_LIMIT : ZEL_PTZ_EVENT_ARRIVED);
    }
}

// A requested point; one outside the travel is refused, or for `to_travel_end` taken as far as the
// head goes, as a real head stops at its end stops.
bool read_point(const void *data, int length, zel_ptz_point_t *p, const char *func, bool to_travel_end = false)
{
    if (!data || length != static_cast<int>(sizeof *p)) {
        periph::log_error("%s: a position needs %zu bytes, got %d", func, sizeof *p, length);
        return false;
    }
    memcpy(p, data, sizeof *p);
    if (p->x >= 0 && p->x <= 100 && p->y >= 0 && p->y <= 100)
        return true;
    periph::log_error("%s: position [%d,%d] outside 0 to 100", func, p->x, p->y);
    if (!to_travel_end)
        return false;
    p->x = static_cast<int>(clamp(p->x));
    p->y = static_cast<int>(clamp(p->y));
    return true;
}

bool read_s32(const void *data, int length, int32_t *v, const char *func)
{
    if (!data || length != 4) {
        periph::log_error("%s: a value needs 4 bytes, got %d", func, length);
        return false;
    }
    memcpy(v, data, 4);
    return true;
}

// Target of a turn or step in `direction` from (x, y), image flip applied.
bool direction_target(const Head &h, int direction, double amount, double *tx, double *ty)
{
    if (direction < 0 || direction > 3)
        return false;
    if (h.flip)
        direction ^= 1;
    *tx = h.x;
    *ty = h.y;
    switch (direction) {
    case ZEL_PTZ_PAN_NEG: *tx = clamp(h.x - amount * 100 / kPanDegrees); break;
    case ZEL_PTZ_PAN_POS: *tx = clamp(h.x + amount * 100 / kPanDegrees); break;
    case ZEL_PTZ_TILT_NEG: *ty = clamp(h.y - amount * 100 / kTiltDegrees); break;
    default: *ty = clamp(h.y + amount * 100 / kTiltDegrees); break;
    }
    return true;
}

} // namespace

namespace periph {

int ptz_start()
{
    Head &h = head();
    std::lock_guard<std::mutex> g(h.lock);
    if (h.started)
        return 0;
    try {
        std::thread(head_thread).detach();
    } catch (const std::system_error &e) {
        log_error("cannot start the pan-tilt thread: %s", e.what());
        return -1;
    }
    h.started = true;
    return 0;
}

} // namespace periph

extern "C" {

int zel_api_ptz_control(int command, int direction, void *data, int length, zel_ptz_cb_t callback)
{
    std::string args = std::to_string(command) + "," + std::to_string(direction) + "," + std::to_string(length);
    // A requested point is part of the record, also one the head then refuses.
    zel_ptz_point_t asked{};
    if ((command == ZEL_PTZ_CMD_GOTO || command == ZEL_PTZ_CMD_CALIBRATE) && data &&
        length == static_cast<int>(sizeof asked)) {
        memcpy(&asked, data, sizeof asked);
        args += ",[" + std::to_string(asked.x) + "," + std::to_string(asked.y) + "]";
    }
    if (const int r = periph::action("zel_api_ptz_control", args))
        return r;
    Head &h = head();
    std::unique_lock<std::mutex> g(h.lock);
    if (!h.started) {
        periph::log_error("zel_api_ptz_control: library not started");
        return -1;
    }
    Command c{command, callback, 0, 0, std::nullopt};
    zel_ptz_point_t p{};
    int32_t degrees = 0;
    switch (command) {
    case ZEL_PTZ_CMD_STOP:
        break;
    case ZEL_PTZ_CMD_CALIBRATE:
        if (!read_point(data, length, &p, "zel_api_ptz_control", true))
            return -1;
        c.then = p; // first to the end stops at 0, 0
        break;
    case ZEL_PTZ_CMD_GOTO:
        if (!read_point(data, length, &p, "zel_api_ptz_control"))
            return -1;
        c.tx = p.x;
        c.ty = p.y;
        break;
    case ZEL_PTZ_CMD_TURN:
        if (!direction_target(h, direction, 2 * kPanDegrees, &c.tx, &c.ty)) {
            periph::log_error("zel_api_ptz_control: turn direction %d", direction);
            return -1;
        }
        break;
    case ZEL_PTZ_CMD_STEP:
        if (!read_s32(data, length, &degrees, "zel_api_ptz_control") || degrees < 0 ||
            !direction_target(h, direction, degrees, &c.tx, &c.ty)) {
            periph::log_error("zel_api_ptz_control: step of %d degrees in direction %d", degrees, direction);
            return -1;
        }
        break;
    default:
        periph::log_error("zel_api_ptz_control: unknown command %d", command);
        return -1;
    }
    if (h.queue.size() == kMaxQueued) {
        periph::log_error("zel_api_ptz_control: %zu commands already waiting", kMaxQueued);
        return -1;
    }
    h.queue.push_back(c);
    g.unlock();
    h.wake.notify_one();
    return 0;
}

int zel_api_ptz_prop_set(int property, void *data, int length)
{
    if (const int r = periph::action("zel_api_ptz_prop_set", std::to_string(property) + "," + std::to_string(length)))
        return r;
    Head &h = head();
    std::lock_guard<std::mutex> g(h.lock);
    int32_t v = 0;
    zel_ptz_point_t p{};
    switch (property) {
    case ZEL_PTZ_PROP_SPEED:
        if (!read_s32(data, length, &v, "zel_api_ptz_prop_set") || v < 1 || v > 10) {
            periph::log_error("zel_api_ptz_prop_set: speed %d is not 1 to 10", v);
            return -1;
        }
        h.speed = v;
        return 0;
    case ZEL_PTZ_PROP_POSITION:
        if (!read_point(data, length, &p, "zel_api_ptz_prop_set"))
            return -1;
        h.x = p.x;
        h.y = p.y;
        return 0;
    case ZEL_PTZ_PROP_FLIP:
        if (!read_s32(data, length, &v, "zel_api_ptz_prop_set") || (v != 0 && v != 1)) {
            periph::log_error("zel_api_ptz_prop_set: flip %d is not 0 or 1", v);
            return -1;
        }
        h.flip = v;
        return 0;
    case ZEL_PTZ_PROP_STATUS_CB:
        h.status_cb = reinterpret_cast<zel_ptz_status_cb_t>(data);
        return 0;
    default:
        periph::log_error("zel_api_ptz_prop_set: unknown property %d", property);
        return -1;
    }
}

} // extern "C"

periph_head_state periph_test_head()
{
    Head &h = head();
    std::lock_guard<std::mutex> g(h.lock);
    periph_head_state s;
    s.x = h.x;
    s.y = h.y;
    // A command accepted but not yet taken up by the motor counts as moving: the head is not at rest.
    s.moving = h.moving || !h.queue.empty();
    s.speed = h.speed;
    s.flip = h.flip;
    return s;
}

void periph_test_fail_next_move()
{
    Head &h = head();
    std::lock_guard<std::mutex> g(h.lock);
    h.fail_next = true;
}
