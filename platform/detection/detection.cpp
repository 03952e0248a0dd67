// The simulated detection library: reports come from a script (the test control or the file named
// by ZELMAR_DETECTION_SCRIPT) and are delivered on the library's own thread at their time after the
// start, as the real detector delivers what it sees in the frames. Lines appended to the script file
// while the library runs are taken within half a second (one already due runs at once), so that a
// user of the running camera can stage an event. Motion is not reported while the
// pan-tilt head moves (parameter 13), since the whole picture moves then.
#include "zel_detection.h"
#include "zel_detection_test.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kMotionCode = 2;
constexpr size_t kMaxReports = 4096;
constexpr int kMaxRegionText = 4096;
constexpr auto kScriptPoll = std::chrono::milliseconds(500);

struct Library {
    std::mutex lock;
    std::condition_variable wake;
    bool running = false;
    int starts = 0;
    unsigned generation = 0; // of the running thread: one left behind by a stop from its callback ends
    zel_algo_event_cb_t event_cb = nullptr;
    zel_algo_angle_cb_t angle_cb = nullptr;
    Clock::time_point started;
    std::vector<detection_report> reports; // ordered by time
    std::string script_path;               // of ZELMAR_DETECTION_SCRIPT, empty without one
    std::streamoff script_read = 0;         // bytes of whole lines taken from it
    std::map<int, std::vector<uint8_t>> params;
    std::thread thread;
    sim::Recorder recorder;
};

Library &lib()
{
    static Library *l = new Library; // lives for the process, like its thread
    return *l;
}

void log_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sim::vlog_error("detection", fmt, ap);
    va_end(ap);
}

void sort_reports(std::vector<detection_report> &reports)
{
    std::stable_sort(reports.begin(), reports.end(),
                     [](const detection_report &a, const detection_report &b) { return a.at_ms < b.at_ms; });
    if (reports.size() > kMaxReports)
        reports.resize(kMaxReports);
}

bool head_moving(Library &l)
{
    const auto it = l.params.find(ZEL_ALGO_PARAM_MOTOR_STATUS);
    int32_t status = 0;
    if (it != l.params.end())
        memcpy(&status, it->second.data(), sizeof status);
    return status == 1;
}

// Takes the whole lines added to the script file since the last look; with `to_end` a last line
// without its line end too (the file as it stands at the start).
void read_script_lines(Library &l, bool to_end = false)
{
    if (l.script_path.empty())
        return;
    std::ifstream in(l.script_path, std::ios::binary);
    if (!in) {
        if (l.script_read == 0)
            log_error("cannot read the script %s", l.script_path.c_str());
        return;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < l.script_read) // written anew: read from its start
        l.script_read = 0;
    if (size == l.script_read)
        return;
    in.seekg(l.script_read);
    std::string text(static_cast<size_t>(size - l.script_read), '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (!to_end) {
        const size_t end = text.rfind('\n');
        if (end == std::string::npos)
            return; // a line still being written
        text.resize(end + 1);
    }
    l.script_read += static_cast<std::streamoff>(text.size());
    std::vector<detection_report> reports;
    if (!detection_test_parse(text, &reports))
        log_error("the script %s has a line it cannot read; its reports up to there are used", l.script_path.c_str());
    l.reports.insert(l.reports.end(), reports.begin(), reports.end());
    sort_reports(l.reports);
}

void load_script_file(Library &l)
{
    const char *path = getenv("ZELMAR_DETECTION_SCRIPT");
    l.script_path = path ? path : "";
    l.script_read = 0;
    read_script_lines(l, true);
}

void detector_thread(unsigned generation)
{
    pthread_setname_np(pthread_self(), "algo_detect");
    Library &l = lib();
    std::unique_lock<std::mutex> g(l.lock);
    while (l.running && l.generation == generation) {
        read_script_lines(l);
        const auto poll = Clock::now() + kScriptPoll;
        if (l.reports.empty()) {
            if (l.script_path.empty())
                l.wake.wait(g);
            else
                l.wake.wait_until(g, poll);
            continue;
        }
        const detection_report next = l.reports.front();
        const auto due = l.started + std::chrono::milliseconds(next.at_ms);
        if (Clock::now() < due) {
            l.wake.wait_until(g, l.script_path.empty() ? due : std::min(due, poll));
            continue;
        }
        l.reports.erase(l.reports.begin());
        if (next.angle) {
            const zel_algo_angle_cb_t cb = l.angle_cb;
            if (!cb)
                continue;
            const zel_algo_angle_t angle{0, next.x1, next.y1};
            g.unlock();
            cb(&angle);
        } else {
            if (next.code == kMotionCode && head_moving(l))
                continue;
            const zel_algo_event_cb_t cb = l.event_cb;
            zel_algo_event_t event{};
            event.code = next.code;
            event.x1 = next.x1;
            event.y1 = next.y1;
            event.x2 = next.x2;
            event.y2 = next.y2;
            g.unlock();
            cb(&event);
        }
        g.lock();
    }
}

// The length parameter `id` takes (-1 a JSON text), or 0 for an unknown id.
int expected_length(int id)
{
    switch (id) {
    case ZEL_ALGO_PARAM_HUMAN_SENSITIVITY:
    case ZEL_ALGO_PARAM_MOTION_SENSITIVITY:
    case ZEL_ALGO_PARAM_MOTOR_STATUS:
        return 4;
    case ZEL_ALGO_PARAM_KEY_AREA:
        return 16;
    case ZEL_ALGO_PARAM_HUMAN_REGION:
    case ZEL_ALGO_PARAM_MOTION_REGION:
        return -1;
    default:
        return 0;
    }
}

} // namespace

int zel_api_algo_init(zel_algo_event_cb_t event_cb, zel_algo_angle_cb_t angle_cb)
{
    Library &l = lib();
    l.recorder.record(std::string("zel_api_algo_init(") + (event_cb ? "event" : "null") + "," +
                      (angle_cb ? "angle" : "null") + ")");
    if (!event_cb) {
        log_error("zel_api_algo_init: no event callback");
        return -1;
    }
    std::lock_guard<std::mutex> g(l.lock);
    if (l.running)
        return 0;
    l.event_cb = event_cb;
    l.angle_cb = angle_cb;
    l.started = Clock::now();
    load_script_file(l);
    l.running = true;
    try {
        l.thread = std::thread(detector_thread, ++l.generation);
    } catch (const std::system_error &) {
        l.running = false;
        log_error("zel_api_algo_init: the detector thread cannot start");
        return -1;
    }
    ++l.starts;
    return 0;
}

int zel_api_algo_set_param(int id, const void *data, int length)
{
    Library &l = lib();
    l.recorder.record("zel_api_algo_set_param(" + std::to_string(id) + "," + std::to_string(length) + ")");
    const int expected = expected_length(id);
    if (expected == 0) {
        log_error("zel_api_algo_set_param: no parameter %d", id);
        return -1;
    }
    const bool fits = expected > 0 ? length == expected
                                   : length > 0 && length <= kMaxRegionText &&
                                         strnlen(static_cast<const char *>(data ? data : ""), length) ==
                                             static_cast<size_t>(length);
    if (!data || !fits) {
        log_error("zel_api_algo_set_param: parameter %d does not take %d bytes", id, length);
        return -1;
    }
    const auto *p = static_cast<const uint8_t *>(data);
    std::lock_guard<std::mutex> g(l.lock);
    l.params[id].assign(p, p + length);
    return 0;
}

int zel_api_algo_deinit(void)
{
    Library &l = lib();
    l.recorder.record("zel_api_algo_deinit()");
    std::thread stopping;
    {
        std::lock_guard<std::mutex> g(l.lock);
        if (!l.running)
            return 0;
        l.running = false;
        l.event_cb = nullptr;
        l.angle_cb = nullptr;
        if (l.thread.get_id() != std::this_thread::get_id())
            stopping = std::move(l.thread);
        else
            l.thread.detach(); // called from a callback: the thread ends when the callback returns
    }
    l.wake.notify_all();
    if (stopping.joinable())
        stopping.join();
    return 0;
}

void detection_test_script(const std::vector<detection_report> &reports)
{
    Library &l = lib();
    {
        std::lock_guard<std::mutex> g(l.lock);
        l.reports = reports;
        sort_reports(l.reports);
    }
    l.wake.notify_all();
}

bool detection_test_parse(const std::string &text, std::vector<detection_report> *out)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        std::istringstream words(line);
        detection_report r;
        std::string second;
        if (!(words >> r.at_ms >> second) || r.at_ms < 0)
            return false;
        if (second == "angle") {
            r.angle = true;
            if (!(words >> r.x1 >> r.y1))
                return false;
        } else {
            char *end = nullptr;
            const long code = strtol(second.c_str(), &end, 10);
            if (*end != '\0')
                return false;
            r.code = static_cast<int32_t>(code);
            if (words >> r.x1 && !(words >> r.y1 >> r.x2 >> r.y2))
                return false;
        }
        out->push_back(r);
    }
    return true;
}

std::vector<uint8_t> detection_test_param(int id)
{
    Library &l = lib();
    std::lock_guard<std::mutex> g(l.lock);
    const auto it = l.params.find(id);
    return it == l.params.end() ? std::vector<uint8_t>{} : it->second;
}

bool detection_test_running()
{
    std::lock_guard<std::mutex> g(lib().lock);
    return lib().running;
}

int detection_test_starts()
{
    std::lock_guard<std::mutex> g(lib().lock);
    return lib().starts;
}

std::vector<std::string> detection_test_calls()
{
    return lib().recorder.calls();
}

void detection_test_clear_calls()
{
    lib().recorder.clear_calls();
}
