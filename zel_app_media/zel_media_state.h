// The media app's run state shared by its threads: whether the board library is started, whether the
// loops run, the pauses that a stop cuts short, and the count of calls inside the board library, so
// that the stop closes the board only once every thread is out of it.
#pragma once

#include <atomic>
#include <chrono>

extern "C" int gs_zelmar_app_running;

namespace media {

constexpr const char *kTag = "ZEL_APP_MEIDA";

extern std::atomic<int> board_av_init_over;
extern std::atomic<int> media_thread_running;

// The fetch and OSD loops run while this holds.
bool loops_running();
// Sleeps `ms`, returning early (false) once the loops are told to stop.
bool pause_ms(int ms);
// The `reloading` byte of dev_status, read as the board side writes it.
bool reloading();

// One call into the board library. `entered()` is false once the stop began: the caller must not call.
class BoardCall {
public:
    BoardCall();
    ~BoardCall();
    BoardCall(const BoardCall &) = delete;
    BoardCall &operator=(const BoardCall &) = delete;
    bool entered() const { return entered_; }

private:
    bool entered_;
};

// A fetch or OSD loop for its lifetime, so that the stop can wait for it to end.
class LoopThread {
public:
    LoopThread();
    ~LoopThread();
    LoopThread(const LoopThread &) = delete;
    LoopThread &operator=(const LoopThread &) = delete;
};

// Opens the board gate for a start.
void open_board();
// Stops the loops and refuses new board calls, then waits up to `limit` until the loops ended and no
// call is inside the board; false when the limit passed first.
bool close_board(std::chrono::milliseconds limit);

// Ends the process from a media thread: the board is closed and the log flushed, then _exit(255),
// so that no exit handler runs under the threads that still live.
[[noreturn]] void end_process();

// Refusal of a wrapper while the board library is not started: logs "media no init, pls check\n"
// with the function name. True when the board is started.
bool board_ready(const char *func);

// Calls `board_fn` inside the gate when the board is started; -1 (refusal logged) otherwise.
template <typename F> int board_call(const char *func, F board_fn)
{
    if (!board_ready(func))
        return -1;
    BoardCall call;
    if (!call.entered()) {
        board_ready(func); // being closed: refused like a board that is not started
        return -1;
    }
    return board_fn();
}

} // namespace media
