// The simulated image, ISP, speaker and audio-detection controls: each call is recorded (and can be
// made to fail); the ISP mode and white balance are kept so that their getters report them, and
// everything played goes to the speaker recording.
#include "board_control.h"
#include "boardav.h"

#include <atomic>
#include <string>

namespace {

std::atomic<int> g_dnmode{0};
std::atomic<int> g_wb{0};

// Records "name(args)" and gives the injected result, or 0.
int action(const char *name, const std::string &args = "")
{
    board::record_call(std::string(name) + "(" + args + ")");
    int result = 0;
    return board::injected(name, &result) ? result : 0;
}

} // namespace

extern "C" {

int set_video_Vflip(void) { return action("set_video_Vflip"); }
int set_video_normal(void) { return action("set_video_normal"); }
int enable_logo(void) { return action("enable_logo"); }
int disable_logo(void) { return action("disable_logo"); }
int enable_osd(void) { return action("enable_osd"); }
int disable_osd(void) { return action("disable_osd"); }
int enable_ldc(void) { return action("enable_ldc"); }
int disable_ldc(void) { return action("disable_ldc"); }
int enable_wdr(void) { return action("enable_wdr"); }
int disable_wdr(void) { return action("disable_wdr"); }
int enable_speaker(void) { return action("enable_speaker"); }
int disable_speaker(void) { return action("disable_speaker"); }
int enable_aec(void) { return action("enable_aec"); }
int disable_aec(void) { return action("disable_aec"); }
int set_speaker_vol(int vol) { return action("set_speaker_vol", std::to_string(vol)); }
int set_soc_lsd_threshold(int sensitivity) { return action("set_soc_lsd_threshold", std::to_string(sensitivity)); }
int set_speaker_mute(uint8_t mute) { return action("set_speaker_mute", std::to_string(mute)); }

// The time stamp is redrawn every 500 ms; only its failure injection is kept, not a record per call.
int osd_update_timestamp(int)
{
    int result = 0;
    return board::injected("osd_update_timestamp", &result) ? result : 0;
}

int set_speaker_vol_percentage(int percent)
{
    const int r = action("set_speaker_vol_percentage", std::to_string(percent));
    if (r == 0 && (percent < 0 || percent > 100)) {
        board::log_error("set_speaker_vol_percentage: %d is not 0 to 100", percent);
        return -1;
    }
    return r;
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

int play_sound(const void *data, int len)
{
    const int r = action("play_sound", std::to_string(len));
    if (r != 0)
        return r;
    if (!data || len < 0) {
        board::log_error("play_sound: bad argument (len %d)", len);
        return -1;
    }
    board::speaker_write(data, len);
    return 0;
}

int play_sound_ex(const void *data, int len)
{
    const int r = action("play_sound_ex", std::to_string(len));
    if (r != 0)
        return r;
    if (!data || len < 0 || len > 1280) {
        board::log_error("play_sound_ex: bad argument (len %d)", len);
        return -1;
    }
    board::speaker_write(data, len);
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
