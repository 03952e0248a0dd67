// The stored image and speaker settings applied to the board at start (media_db_get, in its order),
// their setters, and the hot-configuration status.
#include "zel_media.h"
#include "zel_media_state.h"

#include "boardav.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

#include <cstdlib>
#include <cstring>

using media::kTag;

namespace {

constexpr int kValueBytes = 1536;

// A setter's body: refused while the board is not started, nothing for a NULL text.
template <typename F> void apply(const char *func, const char *value, F set)
{
    if (!value)
        return;
    media::board_call(func, [&] {
        set(atoi(value));
        return 0;
    });
}

} // namespace

const media_db_row_t media_db_get[6] = {
    {"NVM.VIDEO:wdr", zel_wdr_set},
    {"NVM.VIDEO:flip", zel_video_flip_set},
    {"NVM.VIDEO:watermark", zel_osd_set},
    {"NVM.IPC:ldc_status", zel_video_ldc_set},
    {"NVM.IPC:speaker_volume", zel_video_speaker_set},
    {"NVM.IPC:speaker_mute", zel_video_speaker_mute_set},
};

void zel_wdr_set(const char *value)
{
    apply(__func__, value, [](int on) { on == 1 ? enable_wdr() : disable_wdr(); });
}

void zel_video_flip_set(const char *value)
{
    apply(__func__, value, [](int on) { on == 1 ? set_video_Vflip() : set_video_normal(); });
}

void zel_osd_set(const char *value)
{
    apply(__func__, value, [](int on) { on == 1 ? enable_osd() : disable_osd(); });
}

void zel_video_ldc_set(const char *value)
{
    apply(__func__, value, [](int on) { on == 1 ? enable_ldc() : disable_ldc(); });
}

void zel_video_speaker_set(const char *value)
{
    apply(__func__, value, [value](int percent) {
        ZEL_LOGI(kTag, "KEY_NVM_IPC_SPEAKER_VOLUME:%s ", value);
        set_speaker_vol_percentage(percent);
    });
}

void zel_video_speaker_mute_set(const char *value)
{
    apply(__func__, value, [value](int mute) {
        ZEL_LOGI(kTag, "KEY_NVM_IPC_SPEAKER_MUTE:%s ", value);
        set_speaker_mute(mute != 0);
    });
}

void zel_video_osd_logo_set(const char *value)
{
    apply(__func__, value, [](int on) { on != 0 ? enable_logo() : disable_logo(); });
}

int zel_get_hot_config_status(void)
{
    return media::reloading() ? 1 : 0;
}

int zel_media_db_get_init(void)
{
    int ret = 0;
    for (const media_db_row_t &row : media_db_get) {
        if (!row.setter)
            continue;
        char value[kValueBytes];
        memset(value, 0, sizeof value);
        ret = zel_api_db_get_value(row.key, value, sizeof value);
        if (ret != 0) {
            ZEL_LOGE(kTag, "get %s value failed , ret = %d \n", row.key, ret);
            continue;
        }
        row.setter(value);
    }
    return ret;
}
