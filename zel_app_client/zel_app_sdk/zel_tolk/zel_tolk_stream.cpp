// The three stream channels (main video, sub video, audio) and the audio codecs of the media path.
#include "zel_app_sdk/zel_tolk/zel_tolk.h"

#include <cstring>

#include "app_sdk_porting/sdk_porting.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"
#include "zel_db/zel_db.h"

namespace {

constexpr const char *TAG = "zel_tolk";

ko_video_resolution main_resolution()
{
    char hid[16];
    memset(hid, 0, sizeof hid);
    zel_api_db_get_value("ROM.hid", hid, 13);
    if (strncmp(hid, "900101", 6) == 0 || strncmp(hid, "900202", 6) == 0)
        return {2560, 1440};
    return {2880, 1620};
}

ko_stream_chn_info video_channel(uint32_t channel, ko_video_resolution resolution, uint32_t bitrate)
{
    ko_stream_chn_info c{};
    c.channel = channel;
    c.resolution = resolution;
    c.force_iframe = zel_tolk_req_key_frame_cb;
    c.gop = 60;
    c.encode = 5;
    c.bitrate = bitrate;
    c.fps = 20;
    c.seconds = 7;
    return c;
}

} // namespace

void zel_tolk_req_key_frame_cb(int channel)
{
    ZEL_LOGI(TAG, " req key frame channel:%d", channel);
    sdk_porting_request_keyframe_all_chn();
}

int zel_tolk_stream_init(void)
{
    device_sdk_info_t *device = get_device_info_pointer();
    if (!device || !get_zel_tolk_info_pointer()) {
        ZEL_LOGE(TAG, " device or zel_tolk_info is NULL ");
        return -1;
    }
    ko_stream_chn_info main = video_channel(0, main_resolution(), 2000);
    int ret = _zel_ipc_stream_chn_add(&main);
    if (ret < 0) {
        ZEL_LOGE(TAG, " add main stream error with %d ", ret);
        return -1;
    }
    ko_stream_chn_info sub = video_channel(1, {864, 480}, 300);
    ret = _zel_ipc_stream_chn_add(&sub);
    if (ret < 0) {
        ZEL_LOGE(TAG, " add sub stream error with %d ", ret);
        return -1;
    }
    ko_stream_chn_info audio{};
    audio.channel = 4;
    audio.samplerate = 16000;
    audio.samplebit = 16;
    audio.encode = KO_AUDIO_CODEC_OPUS;
    audio.bitrate = 256;
    audio.fps = 25;
    audio.seconds = 7;
    ret = _zel_ipc_stream_chn_add(&audio);
    if (ret < 0) {
        ZEL_LOGE(TAG, " add audio stream error with %d ", ret);
        return -1;
    }
    ZEL_LOGI(TAG, " stream_init success ");
    const ko_audio_param param = {16000, 16, KO_AUDIO_CODEC_OPUS};
    ko_audio_codec *encoder = _zel_audio_encode_init(&param);
    if (!encoder) {
        ZEL_LOGE(TAG, " _zel_audio_encode_init failed! ");
        return -1;
    }
    ko_audio_codec *decoder = _zel_audio_decode_init(&param);
    if (!decoder) {
        ZEL_LOGE(TAG, " _zel_audio_decode_init failed ");
        _zel_audio_encode_deinit(&encoder);
        return -1;
    }
    __atomic_store_n(&device->audio_encoder, encoder, __ATOMIC_RELEASE);
    __atomic_store_n(&device->audio_decoder, decoder, __ATOMIC_RELEASE);
    ZEL_LOGI(TAG, "audio encode init ok");
    ZEL_LOGI(TAG, "audio decode init ok");
    return 0;
}
