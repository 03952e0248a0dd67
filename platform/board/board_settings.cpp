// The simulated image, ISP and audio-detection controls: each call is recorded (and can be made to
// fail); what a successful call switched is kept, so that the getters and the test view report it.
#include "board_control.h"
#include "boardav.h"
#include "boardav_test.h"

#include <atomic>
#include <mutex>
#include <string>

namespace {

std::atomic<int> g_dnmode{0};
std::atomic<int> g_wb{0};
std::atomic<uint64_t> g_osd_updates{0};

std::mutex g_image_lock;
board_image_state g_image;

// Records "name(args)" and gives the injected result, or 0.
int action(const char *name, const std::string &args = "")
{
    board::record_call(std::string(name) + "(" + args + ")");
    int result = 0;
    return board::injected(name, &result) ? result : 0;
}

// An image switch: recorded, and kept in the view when it succeeds.
int image_switch(const char *name, int board_image_state::*field, int value)
{
    const int r = action(name);
    if (r == 0) {
        std::lock_guard<std::mutex> g(g_image_lock);
        g_image.*field = value;
    }
    return r;
}

} // namespace

extern "C" {

int set_video_Vflip(void) { return image_switch("set_video_Vflip", &board_image_state::flip, 1); }
int set_video_normal(void) { return image_switch("set_video_normal", &board_image_state::flip, 0); }
int enable_logo(void) { return image_switch("enable_logo", &board_image_state::logo, 1); }
int disable_logo(void) { return image_switch("disable_logo", &board_image_state::logo, 0); }
int enable_osd(void) { return image_switch("enable_osd", &board_image_state::osd, 1); }
int disable_osd(void) { return image_switch("disable_osd", &board_image_state::osd, 0); }
int enable_ldc(void) { return image_switch("enable_ldc", &board_image_state::ldc, 1); }
int disable_ldc(void) { return image_switch("disable_ldc", &board_image_state::ldc, 0); }
int enable_wdr(void) { return image_switch("enable_wdr", &board_image_state::wdr, 1); }
int disable_wdr(void) { return image_switch("disable_wdr", &board_image_state::wdr, 0); }
int set_soc_lsd_threshold(int sensitivity) { return action("set_soc_lsd_threshold", std::to_string(sensitivity)); }

// The time stamp is redrawn every 500 ms: counted, not recorded per call.
int osd_update_timestamp(int)
{
    int result = 0;
    if (board::injected("osd_update_timestamp", &result))
        return result;
    ++g_osd_updates;
    return 0;
}

int set_isp_dnmode(int mode)
{
    const int r = action("set_isp_dnmode", std::to_string(mode));
    if (r == 0)
        g_dnmode = mode;
    return r;
}

int get_isp_dnmode(int *mode)
{
    if (!mode)
        return -1;
    *mode = g_dnmode;
    return 0;
}

int get_isp_ev(int *ev)
{
    if (!ev)
        return -1;
    *ev = board::isp_ev();
    return 0;
}

int set_isp_wb(int mode)
{
    const int r = action("set_isp_wb", std::to_string(mode));
    if (r == 0)
        g_wb = mode;
    return r;
}

int get_isp_wb(int *mode)
{
    if (!mode)
        return -1;
    *mode = g_wb;
    return 0;
}

int get_soc_babycry_result(int *result)
{
    int r = 0;
    if (board::injected("get_soc_babycry_result", &r))
        return r;
    if (!result)
        return -1;
    *result = board::next_babycry_result();
    return 0;
}

} // extern "C"

board_image_state board_test_image_state()
{
    std::lock_guard<std::mutex> g(g_image_lock);
    board_image_state state = g_image;
    state.dnmode = g_dnmode;
    return state;
}

uint64_t board_test_osd_updates()
{
    return g_osd_updates;
}
