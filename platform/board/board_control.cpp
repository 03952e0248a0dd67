// The simulated board's bookkeeping behind the test controls: call record, injected failures,
// scripted detection results and the speaker recording, each bounded. Where ZELMAR_BOARD_SPEAKER
// names a file, everything the speaker plays is also appended to it, for observers outside the
// process.
#include "board_control.h"

#include "boardav_test.h"
#include "sim_recorder.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>

namespace board {

namespace {

constexpr size_t kMaxSpeakerBytes = 16u << 20;

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

struct Control {
    sim::Recorder recorder;
    std::mutex lock; // the fields below
    std::deque<int> babycry;
    int isp_ev = 128;
    std::vector<uint8_t> speaker;
    bool sink_opened = false;
    std::unique_ptr<FILE, FileCloser> sink;
};

Control &control()
{
    static Control *c = new Control; // lives for the process, like the threads that use it
    return *c;
}

} // namespace

void log_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sim::vlog_error("boardav", fmt, ap);
    va_end(ap);
}

void record_call(const std::string &call)
{
    control().recorder.record(call);
}

bool injected(const std::string &function, int *result)
{
    return control().recorder.injected(function, result);
}

int next_babycry_result()
{
    Control &c = control();
    std::lock_guard<std::mutex> g(c.lock);
    if (c.babycry.empty())
        return 0;
    const int r = c.babycry.front();
    c.babycry.pop_front();
    return r;
}

int isp_ev()
{
    Control &c = control();
    std::lock_guard<std::mutex> g(c.lock);
    return c.isp_ev;
}

void speaker_write(const void *data, int len)
{
    Control &c = control();
    std::lock_guard<std::mutex> g(c.lock);
    const size_t room = kMaxSpeakerBytes - c.speaker.size();
    const size_t n = static_cast<size_t>(len) < room ? static_cast<size_t>(len) : room;
    const auto *p = static_cast<const uint8_t *>(data);
    c.speaker.insert(c.speaker.end(), p, p + n);
    if (!c.sink_opened) {
        c.sink_opened = true;
        const char *path = std::getenv("ZELMAR_BOARD_SPEAKER");
        if (path && *path) {
            c.sink.reset(std::fopen(path, "ab"));
            if (!c.sink)
                log_error("cannot open the speaker file %s", path);
        }
    }
    if (c.sink) {
        // Flushed at once: an observer sees each piece as it plays. A failed write ends the copy.
        if (std::fwrite(data, 1, static_cast<size_t>(len), c.sink.get()) != static_cast<size_t>(len) ||
            std::fflush(c.sink.get()) != 0) {
            log_error("cannot write the speaker file");
            c.sink.reset();
        }
    }
}

} // namespace board

using board::control;

void board_test_fail(const std::string &function, int result, int times)
{
    control().recorder.fail(function, result, times);
}

void board_test_clear_failures()
{
    control().recorder.clear_failures();
}

std::vector<std::string> board_test_calls()
{
    return control().recorder.calls();
}

std::vector<sim::TimedCall> board_test_timed_calls()
{
    return control().recorder.timed_calls();
}

void board_test_clear_calls()
{
    control().recorder.clear_calls();
}

void board_test_script_babycry(const std::vector<int> &results)
{
    std::lock_guard<std::mutex> g(control().lock);
    control().babycry.assign(results.begin(), results.end());
}

void board_test_set_isp_ev(int ev)
{
    std::lock_guard<std::mutex> g(control().lock);
    control().isp_ev = ev;
}

std::vector<uint8_t> board_test_speaker_audio()
{
    std::lock_guard<std::mutex> g(control().lock);
    return control().speaker;
}

void board_test_clear_speaker_audio()
{
    std::lock_guard<std::mutex> g(control().lock);
    control().speaker.clear();
}
