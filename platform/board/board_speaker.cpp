// The simulated speaker: switched on and off with its echo canceller, volume and mute kept for the test
// view, and played in real time (16 kHz mono s16le: 32 bytes per millisecond) in 10-ms pieces, so a
// caller is held as long as the sound lasts. A test hold stalls playback between pieces; bytes that
// reach the speaker while it is switched off are counted.
#include "board_control.h"
#include "boardav.h"
#include "boardav_test.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBytesPerMs = 32;
constexpr int kPieceBytes = 10 * kBytesPerMs;
constexpr int kMaxChunkEx = 1280;

struct Speaker {
    std::mutex lock;
    std::condition_variable released;
    board_speaker_state state;
};

Speaker &speaker()
{
    static Speaker *s = new Speaker; // lives for the process, like the threads that play on it
    return *s;
}

int action(const char *name, const std::string &args = "")
{
    board::record_call(std::string(name) + "(" + args + ")");
    int result = 0;
    return board::injected(name, &result) ? result : 0;
}

// Records the call and, when it succeeds, applies `change` to the state.
template <typename F> int speaker_action(const char *name, const std::string &args, F change)
{
    const int r = action(name, args);
    if (r == 0) {
        std::lock_guard<std::mutex> g(speaker().lock);
        change(speaker().state);
    }
    return r;
}

void play(const uint8_t *data, int len)
{
    Speaker &s = speaker();
    Clock::time_point due = Clock::now();
    for (int done = 0; done < len;) {
        const int n = len - done < kPieceBytes ? len - done : kPieceBytes;
        {
            std::unique_lock<std::mutex> g(s.lock);
            if (s.state.held) {
                s.released.wait(g, [&] { return !s.state.held; });
                due = Clock::now();
            }
            if (s.state.enabled != 1)
                s.state.bytes_while_disabled += static_cast<uint64_t>(n);
            s.state.bytes_played += static_cast<uint64_t>(n);
        }
        board::speaker_write(data + done, n);
        due += std::chrono::microseconds(n * 1000 / kBytesPerMs);
        std::this_thread::sleep_until(due);
        done += n;
    }
}

} // namespace

extern "C" {

int enable_speaker(void)
{
    return speaker_action("enable_speaker", "", [](board_speaker_state &st) { st.enabled = 1; });
}

int disable_speaker(void)
{
    return speaker_action("disable_speaker", "", [](board_speaker_state &st) { st.enabled = 0; });
}

int enable_aec(void)
{
    return speaker_action("enable_aec", "", [](board_speaker_state &st) { st.aec = 1; });
}

int disable_aec(void)
{
    return speaker_action("disable_aec", "", [](board_speaker_state &st) { st.aec = 0; });
}

int set_speaker_vol(int vol)
{
    return speaker_action("set_speaker_vol", std::to_string(vol), [vol](board_speaker_state &st) { st.vol = vol; });
}

int set_speaker_mute(uint8_t mute)
{
    return speaker_action("set_speaker_mute", std::to_string(mute),
                          [mute](board_speaker_state &st) { st.mute = mute; });
}

int set_speaker_vol_percentage(int percent)
{
    if (percent < 0 || percent > 100) {
        action("set_speaker_vol_percentage", std::to_string(percent));
        board::log_error("set_speaker_vol_percentage: %d is not 0 to 100", percent);
        return -1;
    }
    return speaker_action("set_speaker_vol_percentage", std::to_string(percent),
                          [percent](board_speaker_state &st) { st.vol_percent = percent; });
}

int play_sound(const void *data, int len)
{
    const int r = action("play_sound", std::to_string(len));
    if (r != 0)
        return r;
    if (!data || len < 0) {
        board::log_error("play_sound: bad argument (len %d)", len);
        return -1;
    }
    play(static_cast<const uint8_t *>(data), len);
    return 0;
}

int play_sound_ex(const void *data, int len)
{
    const int r = action("play_sound_ex", std::to_string(len));
    if (r != 0)
        return r;
    if (!data || len < 0 || len > kMaxChunkEx) {
        board::log_error("play_sound_ex: bad argument (len %d)", len);
        return -1;
    }
    play(static_cast<const uint8_t *>(data), len);
    return 0;
}

} // extern "C"

board_speaker_state board_test_speaker_state()
{
    std::lock_guard<std::mutex> g(speaker().lock);
    return speaker().state;
}

void board_test_hold_speaker(bool hold)
{
    Speaker &s = speaker();
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.state.held = hold ? 1 : 0;
    }
    s.released.notify_all();
}
