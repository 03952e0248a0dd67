// The shared-buffer broadcaster: endpoints made, started and destroyed on "nas_ev", callbacks there
// too, broadcasts from the media threads.
#include "zel_shbf.h"

#include <errno.h>
#include <unistd.h>

#include <ev.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/nas/ko_nas_ev.h"
#include "boardav.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_thread.h"
#include "zel_media_state.h"
#include "zel_sound_play.h"
#include "zelmar/zel_path.h"

shbf_server_t shbf_server[SHBF_TYPE_COUNT];

namespace {

constexpr const char *TAG = "zel_shbf";
constexpr const char *kEndpoints[SHBF_TYPE_COUNT] = {"/run/video_mainstream", "/run/video_substream",
                                                     "/run/video_rawstream", "/run/jpeg_snap",
                                                     "/run/audio_in",        "/run/audio_play"};
constexpr char kKeyFrameRequest[] = "REQ_IDR";
constexpr int kErrorCountWrap = 10;

std::atomic<int> g_broadcast_errors{0};

bool valid_type(int type)
{
    return type >= 0 && type < SHBF_TYPE_COUNT;
}

// "REQ_IDR" exactly, with or without its NUL.
bool is_key_frame_request(const void *data, int len)
{
    const int text = static_cast<int>(sizeof kKeyFrameRequest) - 1;
    return data && (len == text || len == text + 1) && memcmp(data, kKeyFrameRequest, static_cast<size_t>(len)) == 0;
}

void destroy_on_loop(struct ev_loop *, void *arg)
{
    auto *server = static_cast<shbf_server_t *>(arg);
    std::lock_guard<std::mutex> hold(server->lock);
    shbfev_brd_destroy(server->handle);
    server->handle = nullptr;
    server->count = 0;
}

int on_closed(shbfev_brd_t *, int, int, int, const void *, int, void *user)
{
    auto *server = static_cast<shbf_server_t *>(user);
    server->count = 0;
    ZEL_LOGI(TAG, "Server %d Closed\n", server->type);
    // Only this endpoint ends: the default loop goes on serving every other watcher. It is destroyed
    // once the library has left its callback.
    ko_nas_ev_post(destroy_on_loop, server);
    return 0;
}

int on_new_receiver(shbfev_brd_t *, int, int receiver, int, const void *, int, void *user)
{
    auto *server = static_cast<shbf_server_t *>(user);
    const int count = ++server->count;
    ZEL_LOGI(TAG, "broadcaster %d get new receiver: %d, total count %d\n", server->type, receiver, count);
    return 0;
}

int on_receiver_closed(shbfev_brd_t *, int, int receiver, int, const void *, int, void *user)
{
    auto *server = static_cast<shbf_server_t *>(user);
    const int count = --server->count;
    ZEL_LOGW(TAG, "broadcaster %d receiver %d closed, total count %d\n", server->type, receiver, count);
    return 0;
}

int on_receiver_error(shbfev_brd_t *, int, int receiver, int err, const void *, int, void *)
{
    ZEL_LOGE(TAG, "receiver error: %d: %s\n", receiver, strerror(err));
    return err == EAGAIN ? -1 : 0;
}

int play_message(const void *data, int len)
{
    if (!data || len < 1)
        return 0;
    auto *item = static_cast<sound_item_t *>(malloc(sizeof(sound_item_t)));
    auto *bytes = static_cast<uint8_t *>(malloc(static_cast<size_t>(len)));
    if (!item || !bytes) {
        ZEL_LOGE(TAG, "%s(), %d: malloc error\n", __func__, __LINE__);
        free(item);
        free(bytes);
        return -1;
    }
    memcpy(bytes, data, static_cast<size_t>(len));
    item->data = bytes;
    item->len = len;
    message_queue_append(item);
    return 0;
}

int on_message(shbfev_brd_t *, int, int, int, const void *data, int len, void *user)
{
    auto *server = static_cast<shbf_server_t *>(user);
    if (server->type == SHBF_TYPE_AUDIO_PLAY)
        return play_message(data, len);
    if (is_key_frame_request(data, len))
        req_IDR();
    return 0;
}

struct StartRequest {
    int type;
    int result;
};

// On "nas_ev": creates the type's broadcaster, hooks its events and starts it on the default loop.
void start_on_loop(struct ev_loop *loop, void *arg)
{
    auto *request = static_cast<StartRequest *>(arg);
    shbf_server_t &server = shbf_server[request->type];
    const std::string path = zel_path(kEndpoints[request->type]);
    shbfev_brd_t *handle = shbfev_brd_create(path.c_str());
    if (!handle) {
        request->result = -1;
        return;
    }
    server.type = request->type;
    server.count = 0;
    shbfev_brd_event(handle, SHBF_BRD_CLOSED, on_closed, &server);
    shbfev_brd_event(handle, SHBF_BRD_NEW_RECEIVER, on_new_receiver, &server);
    shbfev_brd_event(handle, SHBF_BRD_RECEIVER_CLOSED, on_receiver_closed, &server);
    shbfev_brd_event(handle, SHBF_BRD_RECEIVER_ERROR, on_receiver_error, &server);
    shbfev_brd_event(handle, SHBF_BRD_MESSAGE, on_message, &server);
    const int rc = shbfev_brd_start(loop, handle);
    if (rc < 0) {
        ZEL_LOGE(TAG, "shbf %d start error %d\n", request->type, rc);
        shbfev_brd_destroy(handle);
        request->result = rc;
        return;
    }
    std::lock_guard<std::mutex> hold(server.lock);
    server.handle = handle;
    request->result = 0;
}

int shbf_init(int type)
{
    StartRequest request{type, -1};
    if (ko_nas_ev_call(start_on_loop, &request) != 0)
        return -1;
    return request.result;
}

void destroy_all(int below)
{
    for (int type = 0; type < below; ++type)
        ko_nas_ev_call(destroy_on_loop, &shbf_server[type]);
}

void break_loop(struct ev_loop *loop, void *)
{
    ev_break(loop, EVBREAK_ALL);
}

} // namespace

extern "C" void *zel_shbf_thread(void *)
{
    for (int type = 0; type < SHBF_TYPE_COUNT; ++type) {
        const int rc = shbf_init(type);
        if (rc != 0) {
            ZEL_LOGE(TAG, "shbf_init(%d) fail %d, quit.\n", type, rc);
            destroy_all(type);
            return nullptr;
        }
    }
    while (__atomic_load_n(&gs_zelmar_app_running, __ATOMIC_ACQUIRE))
        sleep(1);
    destroy_all(SHBF_TYPE_COUNT);
    return nullptr;
}

extern "C" void zel_shbf_init(void)
{
    const int ret = zel_thread_start_detached(zel_shbf_thread, nullptr);
    if (ret != 0)
        ZEL_LOGE(TAG, "zel_shbf_thread create failed, ret = %d\n", ret);
}

extern "C" void *shbfev_alloc(int type, int size)
{
    if (!valid_type(type))
        return nullptr;
    std::lock_guard<std::mutex> hold(shbf_server[type].lock);
    return shbf_server[type].handle ? shbfev_brd_alloc(shbf_server[type].handle, size) : nullptr;
}

extern "C" int broadcast_av(int type, void *buf)
{
    if (!buf)
        return -1;
    if (!valid_type(type)) {
        ZEL_LOGE(TAG, "broadcast to unknown type %d\n", type);
        shbf_free(buf);
        return -1;
    }
    shbf_server_t &server = shbf_server[type];
    std::lock_guard<std::mutex> hold(server.lock);
    if (!server.handle || server.count.load() < 1) {
        shbf_free(buf);
        return 0;
    }
    if (shbfev_brd_broadcast(server.handle, buf) < 0) {
        ZEL_LOGE(TAG, "shbf_brd_broadcast error\n");
        shbf_free(buf);
        if (++g_broadcast_errors > kErrorCountWrap)
            g_broadcast_errors = 0;
        return -1;
    }
    g_broadcast_errors = 0;
    return 0;
}

extern "C" void sig_stop_ev(void)
{
    if (ko_nas_ev_on_loop())
        ev_break(EV_DEFAULT, EVBREAK_ALL);
    else
        ko_nas_ev_post(break_loop, nullptr);
}
