// The frame path: one fetch thread per video channel and one for audio take encoded frames from the
// board into fixed buffers and push each to the app-client library, plus the OSD time-stamp loop.
// A channel that keeps failing ends the process (media::end_process).
#include "zel_media.h"
#include "zel_media_state.h"

#include "boardav.h"
#include "sdk_media_frame.h"
#include "zel_control/log/zel_log.h"

#include <pthread.h>

#include <cstdio>
#include <cstring>

// Until the app-client library is linked, pushes go nowhere (as frames before the client is up).
extern "C" int sdk_porting_push_stream_data(sdk_media_frame_t *frame) __attribute__((weak));

using media::kTag;

namespace {

constexpr int kMainBytes = 524288;
constexpr int kSubBytes = 256000;
constexpr int kAudioBytes = 1280;
constexpr int kVideoFailLimit = 200; // exceeded by the count before a failure: the process ends
constexpr int kAudioFailLimit = 260;
constexpr uint32_t kFpsEvery = 1200;

uint8_t g_main_buf[kMainBytes];
uint8_t g_sub_buf[kSubBytes];
uint8_t g_audio_buf[kAudioBytes];

int push(sdk_media_frame_t *frame)
{
    return sdk_porting_push_stream_data ? sdk_porting_push_stream_data(frame) : 0;
}

// Logs the frame rate every kFpsEvery frames, from the time stamps of two logged frames.
class FpsLog {
public:
    void frame(uint64_t ts_us, const char *func, int chn)
    {
        if (count_++ % kFpsEvery != 0)
            return;
        if (last_us_ != 0 && ts_us > last_us_) {
            const double fps = kFpsEvery / (static_cast<double>(ts_us - last_us_) / 1e6);
            if (chn >= 0)
                ZEL_LOGI(kTag, "%s(),video chn %d, fps: %04f\n", func, chn, fps);
            else
                ZEL_LOGI(kTag, "%s(), fps: %04f\n", func, fps);
        }
        last_us_ = ts_us;
    }

private:
    uint32_t count_ = 0;
    uint64_t last_us_ = 0;
};

} // namespace

void *video_stream_thread(void *arg)
{
    const int chn = *static_cast<int *>(arg);
    char name[16];
    snprintf(name, sizeof name, "video%d", chn);
    pthread_setname_np(pthread_self(), name);
    media::LoopThread alive;
    media::pause_ms(1000);
    uint8_t *buffer = chn == 1 ? g_sub_buf : g_main_buf;
    const int size = chn == 1 ? kSubBytes : kMainBytes;
    memset(buffer, 0, size);
    ZEL_LOGI(kTag, "shbf_index is : %d, shbf_size is %d \n", chn, size);

    int failures = 0;
    bool wait_key = false;
    uint32_t seq = 0;
    FpsLog fps;
    while (media::loops_running()) {
        if (media::reloading()) {
            __atomic_store_n(&chn_status[chn], 1, __ATOMIC_RELEASE);
            media::pause_ms(20);
            continue;
        }
        if (__atomic_load_n(&chn_status[chn], __ATOMIC_ACQUIRE) == 1)
            __atomic_store_n(&chn_status[chn], 0, __ATOMIC_RELEASE);

        board_video_frame_info_t info{};
        int ret;
        {
            media::BoardCall call;
            if (!call.entered())
                break;
            ret = get_video_stream(chn, buffer, size, &info);
        }
        if (ret < 0 || info.length <= 0) {
            if (ret == -1) {
                if (failures > kVideoFailLimit) {
                    ZEL_LOGE(kTag, " %s, fetch video %d error for %d times, exit \n", __func__, chn, failures);
                    media::end_process();
                }
                ++failures;
            } else if (ret == -2) {
                zel_req_IDR_one(chn);
                wait_key = true;
            }
            media::pause_ms(20);
            continue;
        }
        failures = 0;
        if (wait_key && !info.key_frame) {
            media::pause_ms(20);
            continue;
        }
        wait_key = false;
        fps.frame(info.timestamp, __func__, chn);

        sdk_media_frame_t frame{};
        frame.data = buffer;
        frame.len = info.length;
        frame.stream = 0;
        frame.channel = chn == 0 ? SDK_MEDIA_CHANNEL_MAIN : SDK_MEDIA_CHANNEL_SUB;
        frame.ts_ms = info.timestamp / 1000;
        frame.seq = ++seq;
        frame.key = info.key_frame ? 1 : 0;
        frame.kind = info.frame_type == 0 ? 1 : 0;
        frame.type = SDK_MEDIA_TYPE_VIDEO;
        if (const int r = push(&frame))
            ZEL_LOGE(kTag, " sdk_porting_push_stream_data video fail ret:%d \n", r);
        media::pause_ms(40);
    }
    return nullptr;
}

void *fetch_audio_thread(void *)
{
    pthread_setname_np(pthread_self(), "fetch_audio");
    media::LoopThread alive;
    int failures = 0;
    uint32_t count = 0;
    FpsLog fps;
    while (media::loops_running()) {
        if (media::reloading()) {
            media::pause_ms(20);
            continue;
        }
        memset(g_audio_buf, 0, sizeof g_audio_buf);
        board_audio_frame_info_t info{};
        int ret;
        {
            media::BoardCall call;
            if (!call.entered())
                break;
            ret = get_audio_stream_ex(g_audio_buf, kAudioBytes, &info);
        }
        if (ret < 0 || info.length <= 0) {
            if (failures > kAudioFailLimit) {
                ZEL_LOGE(kTag, " get_audio_stream failed more than 260 times \n");
                media::media_thread_running = 0;
                media::end_process();
            }
            ++failures;
            media::pause_ms(100);
            continue;
        }
        failures = 0;
        fps.frame(info.timestamp, __func__, -1);

        sdk_media_frame_t frame{};
        frame.data = g_audio_buf;
        frame.len = info.length;
        frame.stream = 1;
        frame.channel = SDK_MEDIA_CHANNEL_AUDIO;
        frame.ts_ms = info.timestamp / 1000;
        frame.seq = count++;
        frame.type = SDK_MEDIA_TYPE_AUDIO;
        if (const int r = push(&frame))
            ZEL_LOGE(kTag, " sdk_porting_push_stream_data audio fail ret:%d \n", r);
    }
    return nullptr;
}

void *osd_display_thread(void *)
{
    pthread_setname_np(pthread_self(), "OSD");
    media::LoopThread alive;
    while (media::loops_running()) {
        {
            media::BoardCall call;
            if (!call.entered())
                break;
            osd_update_timestamp(3);
        }
        media::pause_ms(500);
    }
    return nullptr;
}
