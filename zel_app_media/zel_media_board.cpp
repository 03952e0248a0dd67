// The media app's board wrappers: each refuses with "media no init, pls check\n" and -1 while the
// board library is not started (or is being closed), else passes its arguments on.
#include "zel_media.h"
#include "zel_media_state.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"

using media::board_call;

int zel_req_IDR_one(int chn)
{
    return board_call(__func__, [&] {
        ZEL_LOGI(media::kTag, "zel_req_IDR_one, chn:%d\n", chn);
        return req_IDR_one(chn);
    });
}

int zel_req_IDR(void)
{
    return board_call(__func__, [] {
        ZEL_LOGI(media::kTag, "zel_req_IDR   \n");
        return req_IDR();
    });
}

int zel_start_stream(int a, int b, int c)
{
    return board_call(__func__, [&] { return start_stream(a, b, c); });
}

int zel_stop_stream(int a, int b, int c)
{
    return board_call(__func__, [&] { return stop_stream(a, b, c); });
}

int zel_set_video_vflip(void)
{
    return board_call(__func__, set_video_Vflip);
}
int zel_set_video_nomal(void)
{
    return board_call(__func__, set_video_normal);
}
int zel_enable_osd(void)
{
    return board_call(__func__, enable_osd);
}
int zel_disable_osd(void)
{
    return board_call(__func__, disable_osd);
}
int zel_enable_wdr(void)
{
    return board_call(__func__, enable_wdr);
}
int zel_disable_wdr(void)
{
    return board_call(__func__, disable_wdr);
}
int zel_enable_speaker(void)
{
    return board_call(__func__, enable_speaker);
}
int zel_disable_speaker(void)
{
    return board_call(__func__, disable_speaker);
}

int zel_set_speaker_vol(int vol)
{
    return board_call(__func__, [&] { return set_speaker_vol(vol); });
}

int zel_play_sound(const void *data, int len, int)
{
    return board_call(__func__, [&] { return play_sound(data, len); });
}

int zel_get_isp_dnmode(int *mode)
{
    return board_call(__func__, [&] { return get_isp_dnmode(mode); });
}

int zel_get_isp_ev(int *ev)
{
    return board_call(__func__, [&] { return get_isp_ev(ev); });
}

int zel_set_isp_wb(int mode)
{
    return board_call(__func__, [&] { return set_isp_wb(mode); });
}

int zel_get_isp_wb(int *mode)
{
    return board_call(__func__, [&] { return get_isp_wb(mode); });
}

int zel_get_raw_frame(int chn, void *buf, int cap, int flag)
{
    return board_call(__func__, [&] { return get_raw_frame(chn, buf, cap, static_cast<uint8_t>(flag)); });
}
