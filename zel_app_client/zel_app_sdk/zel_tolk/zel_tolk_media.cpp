// The media path: every frame of the fetch threads is gated (camera on, first key frame) and put on
// its stream channel, audio encoded to Opus on the way. Each counter has one writer: the sequence and
// bit-rate window belong to the main-channel thread, the audio buffer to the audio thread.
#include "zel_app_sdk/zel_tolk/zel_tolk.h"

#include <atomic>
#include <cstring>
#include <new>

#include "app_sdk_porting/sdk_porting.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_sdk.h"
#include "zel_control/log/zel_log.h"
#include "zel_media.h"

namespace {

constexpr const char *TAG = "zel_tolk_media";
constexpr int kAudioOutBytes = 2560;
constexpr uint32_t kBitrateWindowMs = 300000;

// Written by the main-channel thread only; atomic so that a frame of another channel pushed on the
// wrong thread can never tear them.
std::atomic<uint32_t> g_last_client_seq{0};
std::atomic<uint32_t> g_window_start{0}; // 0: no window open
std::atomic<uint32_t> g_window_bytes{0};

void zel_tolk_media_bitrate_print(int length, uint64_t ts_ms)
{
    const uint32_t now = static_cast<uint32_t>(ts_ms);
    const uint32_t start = g_window_start.load(std::memory_order_relaxed);
    if (start == 0) {
        g_window_start.store(now, std::memory_order_relaxed);
    } else if (now - start > kBitrateWindowMs) {
        ZEL_LOGI(TAG, "test frame_size:%d duration:%d ", static_cast<int>(g_window_bytes.load()),
                 static_cast<int>(now - start));
        g_window_start.store(0, std::memory_order_relaxed);
        g_window_bytes.store(0, std::memory_order_relaxed);
    }
    g_window_bytes.fetch_add(static_cast<uint32_t>(length), std::memory_order_relaxed);
}

int _send_video_data(unsigned channel, ko_av_frame *frame)
{
    return _zel_ipc_stream_put_frame(channel, frame);
}

int _send_audio_data(const void *data, int length, uint32_t seq)
{
    device_sdk_info_t *device = get_device_info_pointer();
    ko_audio_codec *encoder = device ? __atomic_load_n(&device->audio_encoder, __ATOMIC_ACQUIRE) : nullptr;
    if (!encoder) {
        ZEL_LOGE(TAG, "struct dev info is NULL ");
        return -1;
    }
    // Never freed: the audio fetch thread is detached and may still be encoding here while the
    // process runs its exit handlers, after any destructor of this buffer would have run.
    static uint8_t *const out = new (std::nothrow) uint8_t[kAudioOutBytes];
    if (!out) {
        ZEL_LOGE(TAG, "opus_buff malloc fail ");
        return -1;
    }
    memset(out, 0, kAudioOutBytes);
    const int encoded = _zel_audio_encode_frame(&encoder, data, length, out, kAudioOutBytes);
    if (encoded <= 0) {
        ZEL_LOGE(TAG, "_zel_audio_encode_frame fail ");
        return -1;
    }
    ko_av_frame frame{};
    frame.seq_no = seq;
    frame.frame_type = KO_FRAME_TYPE_AUDIO;
    frame.data = out;
    frame.size = static_cast<uint32_t>(encoded);
    const int ret = _zel_ipc_stream_put_frame(4, &frame);
    if (ret != 0)
        ZEL_LOGE(TAG, " ko_ipc_stream_put_frame put audio frame error %d ", ret);
    return 0;
}

} // namespace

int zel_tolk_push_media_data(int channel, const void *data, int length, int type, int key, int ignored,
                             uint64_t ts_ms, uint32_t seq)
{
    return zel_tolk_media_push_data(channel, data, length, type, key, ignored, ts_ms, seq);
}

int zel_tolk_media_push_data(int channel, const void *data, int length, int type, int key, int, uint64_t ts_ms,
                             uint32_t seq)
{
    if (!data) {
        ZEL_LOGE(TAG, "stream data is null");
        return -1;
    }
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!info || __atomic_load_n(&info->power, __ATOMIC_ACQUIRE) == 0)
        return 0;
    const bool video = type == SDK_MEDIA_TYPE_VIDEO;
    if (!__atomic_load_n(&info->first_key_frame, __ATOMIC_ACQUIRE)) {
        if (!video || !key)
            return 0;
        __atomic_store_n(&info->first_key_frame, 1, __ATOMIC_RELEASE);
    }
    if (!video) {
        if (_send_audio_data(data, length, seq) != 0) {
            ZEL_LOGE(TAG, "Send this frame error ");
            return -1;
        }
        return 0;
    }
    if (channel == SDK_MEDIA_CHANNEL_MAIN) {
        if (key)
            ZEL_LOGI(TAG, "frame_type:%d datalen:%d frame type:%d key:%d time:%llu ,seq:%d ", type, length, type, key,
                     static_cast<unsigned long long>(ts_ms), static_cast<int>(seq));
        const uint32_t last = g_last_client_seq.exchange(seq, std::memory_order_relaxed);
        if (last != 0 && seq != last + 1)
            ZEL_LOGE(TAG, "current seq_num [%u] g_last_client_seq [%u] ", seq, last);
        zel_tolk_media_bitrate_print(length, ts_ms);
    }
    ko_av_frame frame{};
    frame.seq_no = seq;
    frame.frame_tag = 2;
    frame.frame_type = key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
    frame.data = const_cast<void *>(data);
    frame.size = static_cast<uint32_t>(length);
    if (_send_video_data(channel == SDK_MEDIA_CHANNEL_MAIN ? 0 : 1, &frame) != 0) {
        ZEL_LOGE(TAG, "Send this frame error ");
        return -1;
    }
    return 0;
}

void _setup_device_track_switch(int status)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!info)
        return;
    __atomic_store_n(&info->power, static_cast<uint32_t>(status), __ATOMIC_RELEASE);
    ZEL_LOGI(TAG, " set channel status:%d ", status);
    if (status == 0)
        __atomic_store_n(&info->first_key_frame, 0, __ATOMIC_RELEASE);
}

int zel_tolk_media_get_snap_cb(int, void **buffer, int *length, uint8_t *flag)
{
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    if (!info || __atomic_load_n(&info->power, __ATOMIC_ACQUIRE) != 1)
        return 0;
    if (!buffer || !length || !flag)
        return -1;
    const int len = zel_media_get_snapshot(buffer, length);
    if (len <= 0) {
        ZEL_LOGE(TAG, "zel_tolk_media_get_snapshot_v2 fail ");
        return -1;
    }
    ZEL_LOGI(TAG, "zel_tolk_media_get_snapshot_v2 data_len:%d ", len);
    *flag = 0;
    return 0;
}

int _set_request_keyframe(void)
{
    return sdk_porting_request_keyframe_all_chn();
}
