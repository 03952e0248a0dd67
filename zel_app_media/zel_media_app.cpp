// The media app object (app 6) and the start and stop of the board library with the media threads.
#include "zel_media.h"
#include "zel_media_state.h"
#include "zel_sound_play.h"

#include "boardav.h"
#include "zel_app_agent_loop.h"
#include "zel_app_assert.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_thread.h"
#include "zel_db/zel_db.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

using media::kTag;

media_dev_status_t dev_status = {{3, 50}, {1, 0, 1, 1, 0, 0}, 0, 0, 0, {0, 0, 0}};
int chn_index[2] = {0, 1};
int chn_status[2] = {0, 0};
app_object_t *g_media_mgr = nullptr;

namespace {

// Long enough for a prompt that is playing to end; the board is closed after it either way.
constexpr std::chrono::milliseconds kStopLimit{5000};

int media_destory(app_object_t *obj, int, int, int, int)
{
    ZEL_APP_ASSERT(g_media_mgr != NULL);
    ZEL_APP_ASSERT(obj != NULL);
    ZEL_LOGI(kTag, "destory");
    free(obj);
    g_media_mgr = nullptr;
    return 0;
}

int media_user_event(app_object_t *obj, int, int, int, int)
{
    ZEL_LOGI(kTag, "destory");
    ZEL_APP_ASSERT(obj != NULL);
    return 0;
}

} // namespace

int create_fetch_stream_thread(void)
{
    for (int &chn : chn_index) {
        const int ret = zel_thread_start_detached(video_stream_thread, &chn);
        ZEL_LOGI(kTag, "pthread_create ret = %d \n", ret);
        if (ret != 0) {
            ZEL_LOGE(kTag, "Create chn %d  video_stream_thread error \n", chn);
            return ret;
        }
    }
    return 0;
}

int create_fetch_audio_thread(void)
{
    const int ret = zel_thread_start_detached(fetch_audio_thread, nullptr);
    ZEL_LOGI(kTag, " %s(), ret is %d\n", __func__, ret);
    if (ret != 0) {
        ZEL_LOGE(kTag, " crete fetch_audio_thread failed \n");
        media::end_process(); // the video threads run already
    }
    return 0;
}

int create_osd_thread(void)
{
    const int ret = zel_thread_start_detached(osd_display_thread, nullptr);
    if (ret != 0)
        ZEL_LOGE(kTag, "Create %s error\n", "osd_display_thread");
    return ret;
}

int zel_media_init(void)
{
    char hid[8];
    memset(hid, 0, sizeof hid);
    zel_api_db_get_value("ROM.hid", hid, sizeof hid);
    if (strncmp(hid, "900101", 6) == 0 || strncmp(hid, "900202", 6) == 0) {
        ZEL_LOGI(kTag, " video res is 2560 * 1440  \n");
        set_main_stream_info();
    }
    media::open_board();
    int result = board_system_init(1, 0);
    usleep(10 * 1000);
    if (result == 0)
        media::board_av_init_over = 1;
    result |= zel_sound_play_init();
    result |= zel_media_db_get_init();

    media::media_thread_running = 1;
    create_fetch_stream_thread();
    create_fetch_audio_thread();
    create_osd_thread();
    if (result != 0)
        ZEL_LOGE(kTag, " zel_media_init failed, ret = %d \n", result);
    return result;
}

int zel_media_deinit(void)
{
    ZEL_LOGI(kTag, " enter zel_media_deinit \n");
    zel_sound_play_deinit();
    if (!media::close_board(kStopLimit))
        ZEL_LOGE(kTag, " media threads still inside the board after %lld ms, closing it anyway \n",
                 static_cast<long long>(kStopLimit.count()));
    ZEL_LOGI(kTag, " before board_system_exit \n");
    board_system_exit();
    ZEL_LOGI(kTag, " exit zel_media_deinit \n");
    media::board_av_init_over = 0;
    return 0;
}

app_object_t *media_app_create(int)
{
    g_media_mgr = static_cast<app_object_t *>(calloc(1, sizeof(app_object_t)));
    ZEL_APP_ASSERT(g_media_mgr != NULL);
    if (app_object_init(g_media_mgr, APP_ID_MEDIA) != 0) {
        free(g_media_mgr);
        g_media_mgr = nullptr;
        ZEL_LOGE(kTag, "app_object_init fail");
        ZEL_APP_ABORT();
    }
    g_media_mgr->on_destroy = media_destory;
    g_media_mgr->user_event = media_user_event;

    zel_media_init();
    if (zel_thread_start_detached(start_zel_media_recv_from_agent_thread, nullptr) != 0) {
        ZEL_LOGE(kTag, "start_zel_media_recv_from_agent_thread err!");
        app_object_t *obj = g_media_mgr;
        obj->invoke(obj, APP_CMD_DESTROY, 0, 0, 0);
        return nullptr;
    }
    return g_media_mgr;
}
