// The stream channels: the application adds a video or audio channel with its parameters (kept in
// the information record), puts encoded frames into its ring buffer, and deletes it again.
#include <mutex>

#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/sdk/ko_sdk_internal.h"
#include "common/utils/ko_log.h"

namespace {

std::mutex g_stream_lock;

constexpr uint32_t kSecondsDefault = 9;
constexpr uint32_t kSecondsMax = 20;
constexpr uint32_t kFpsMax = 30;
constexpr uint32_t kEncodeMax = 1032;
constexpr uint32_t kSamplerateMax = 47999;

bool channel_exists(unsigned chn)
{
    return chn < KO_STREAM_CHN_MAX && chn != 3;
}

bool is_audio(unsigned chn)
{
    return chn == 4 || chn == 8;
}

// Checks 7 and 8 of an add: the parameters of the channel's kind; -5 or 0.
int check_kind(const ko_stream_chn_info *info, ko_sdk_info *record)
{
    if (!is_audio(info->channel)) {
        if (info->encode < 1 || info->encode > kEncodeMax) {
            KO_LOGE(KO_IPC_MODULE, "invalid video encode %d\n", static_cast<int>(info->encode));
            return KO_SDK_ERR_PARAM;
        }
        if (info->gop == 0 || info->gop % info->fps != 0) {
            KO_LOGE(KO_IPC_MODULE, "invalid video gop %d\n", static_cast<int>(info->gop));
            return KO_SDK_ERR_PARAM;
        }
        ++record->video_chn_count;
        KO_LOGI(KO_IPC_MODULE, "add video channel , encode : %d, resolution:w %d,h %d\n", static_cast<int>(info->encode),
                info->resolution.width, info->resolution.height);
        return 0;
    }
    if (info->samplerate < 1 || info->samplerate > kSamplerateMax) {
        KO_LOGE(KO_IPC_MODULE, "invalid audio samplerate %d\n", static_cast<int>(info->samplerate));
        return KO_SDK_ERR_PARAM;
    }
    if (info->samplebit != 8 && info->samplebit != 16) {
        KO_LOGE(KO_IPC_MODULE, "invalid audio samplebit %d\n", static_cast<int>(info->samplebit));
        return KO_SDK_ERR_PARAM;
    }
    KO_LOGI(KO_IPC_MODULE, "add audio channel , samplerate : %d, samplebit %d\n", static_cast<int>(info->samplerate),
            static_cast<int>(info->samplebit));
    return 0;
}

} // namespace

extern "C" ko_stream_chn_info *ko_ipc_get_stream_info(unsigned chn)
{
    ko_sdk_info *record = g_sdk_info;
    if (!record || !channel_exists(chn)) {
        KO_LOGE(KO_IPC_MODULE, "g_sdk_info=%p,chn=%d\n", static_cast<void *>(record), static_cast<int>(chn));
        return nullptr;
    }
    return &record->stream_info[chn];
}

bool ko_sdk::stream_info_copy(unsigned chn, ko_stream_chn_info *out)
{
    std::lock_guard<std::mutex> guard(g_stream_lock);
    const ko_stream_chn_info *stored = ko_ipc_get_stream_info(chn);
    if (!stored)
        return false;
    *out = *stored;
    return true;
}

extern "C" int ko_ipc_stream_chn_add(ko_stream_chn_info *info)
{
    std::lock_guard<std::mutex> guard(g_stream_lock);
    if (!info) {
        KO_LOGE(KO_IPC_MODULE, "stream in null \n");
        return KO_SDK_ERR_PARAM;
    }
    ko_sdk_info *record = g_sdk_info;
    if (!record || !record->valid) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    const unsigned chn = info->channel;
    if (!channel_exists(chn)) {
        KO_LOGE(KO_IPC_MODULE, "invalid media channel %d\n", static_cast<int>(chn));
        return KO_SDK_ERR_PARAM;
    }
    if (record->chn_inited[chn]) {
        KO_LOGE(KO_IPC_MODULE, "media channel %d already init\n", static_cast<int>(chn));
        return KO_SDK_ERR_BUSY;
    }
    if (info->fps < 1 || info->fps > kFpsMax) {
        KO_LOGE(KO_IPC_MODULE, "invalid media channel fps %d\n", static_cast<int>(info->fps));
        return KO_SDK_ERR_PARAM;
    }
    if (record->stream_info[chn].seconds != 0) {
        KO_LOGE(KO_IPC_MODULE, "media channel %d already exit\n", static_cast<int>(chn));
        return KO_SDK_ERR_PARAM;
    }
    if (const int ret = check_kind(info, record))
        return ret;
    if (info->seconds < 1 || info->seconds > kSecondsMax)
        info->seconds = kSecondsDefault;
    const int ret = ringbuffer_init(info);
    if (ret != 0)
        KO_LOGW(KO_IPC_MODULE, "ringbuffer_init of channel %d gave %d\n", static_cast<int>(chn), ret);
    if (ret != 0 && ret != -1) { // -1 is only the statistics registration: the ring works all the same
        if (!is_audio(chn))
            --record->video_chn_count;
        return ret;
    }
    record->chn_inited[chn] = 1;
    record->stream_info[chn] = *info;
    return 0;
}

extern "C" int ko_ipc_stream_chn_del(unsigned chn)
{
    std::lock_guard<std::mutex> guard(g_stream_lock);
    ko_sdk_info *record = g_sdk_info;
    if (!record || !record->valid) {
        KO_LOGE(KO_IPC_MODULE, "please ko_ipc_sdk_init first\n");
        return -1;
    }
    if (!channel_exists(chn)) {
        KO_LOGE(KO_IPC_MODULE, "invalid media channel %d\n", static_cast<int>(chn));
        return KO_SDK_ERR_PARAM;
    }
    if (!record->chn_inited[chn]) {
        KO_LOGE(KO_IPC_MODULE, "media channel %d is not initialized\n", static_cast<int>(chn));
        return -1;
    }
    record->chn_inited[chn] = 0;
    record->stream_info[chn] = ko_stream_chn_info{};
    ringbuffer_free(chn);
    if (is_audio(chn)) {
        KO_LOGI(KO_IPC_MODULE, "del audio channel %d success\n", static_cast<int>(chn));
    } else {
        --record->video_chn_count;
        KO_LOGI(KO_IPC_MODULE, "del video channel %d success\n", static_cast<int>(chn));
    }
    return 0;
}

extern "C" int ko_ipc_stream_put_frame(unsigned chn, ko_av_frame *frame)
{
    if (!frame || !frame->data) {
        KO_LOGE(KO_IPC_MODULE, "%s argument error.\n", "ko_ipc_stream_put_frame");
        return KO_SDK_ERR_PARAM;
    }
    if (!channel_exists(chn)) {
        KO_LOGE(KO_IPC_MODULE, "invalid stream chn %d\n", static_cast<int>(chn));
        return KO_SDK_ERR_PARAM;
    }
    return ringbuffer_put_frame(chn, frame);
}
