// Stream dispatch: the stream object, its media thread with one receiver per enabled channel, and
// what the receivers do with frames, snapshots and events.
#include "zel_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <ev.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "zel_control/log/zel_log.h"
#include "zel_stream_dispatch.h"
#include "zelmar/zel_path.h"

using zel_stream_internal::Dispatcher;

namespace {

const char *const kTag = "model_zel_formal_stream";

enum Slot { kMain, kSub, kAudio, kPlay, kMotion, kSnapshot, kVoice, kSlots };

} // namespace

struct zel_stream {
    uint8_t cap[ZEL_STREAM_CAP_SIZE] = {};
    std::atomic<int> mode{0};
    std::atomic<bool> first_key[2] = {};
    std::string snapshot_path;
    std::unique_ptr<Dispatcher> dispatcher;
    struct ev_loop *loop = nullptr;
    ev_async stop_async{};
    std::thread media;
    shbfev_rcv_t *rcv[kSlots] = {};
    zel_stream_frame_cb callback = nullptr;
    void *user = nullptr;
    std::mutex callbacks_mutex;
    zel_stream_event_cb motion = nullptr;
    zel_stream_event_cb voice = nullptr;
    zel_stream_snapshot_cb snapshot = nullptr;
};

namespace {

bool on(const zel_stream_t *s, int index) { return s->cap[index] == 1; }
bool direct(const zel_stream_t *s) { return on(s, ZEL_STREAM_CAP_DIRECT); }
bool pull(const zel_stream_t *s) { return on(s, ZEL_STREAM_CAP_PULL); }

// Whether the mode and capabilities keep frames of a video stream.
bool keeps(const zel_stream_t *s, int stream)
{
    int mode = s->mode;
    if (stream == ZEL_STREAM_SUB)
        return mode != 0 && on(s, ZEL_STREAM_CAP_SUB);
    return mode != 1 && on(s, ZEL_STREAM_CAP_MAIN) && s->cap[ZEL_STREAM_CAP_MAIN_EXTRA] == 0;
}

bool audio_on(const zel_stream_t *s) { return on(s, ZEL_STREAM_CAP_AUDIO) || on(s, ZEL_STREAM_CAP_RAW_AUDIO); }

void update_participants(zel_stream_t *s)
{
    if (s->dispatcher)
        s->dispatcher->set_participants(keeps(s, ZEL_STREAM_MAIN), keeps(s, ZEL_STREAM_SUB), audio_on(s));
}

void video_frame(zel_stream_t *s, int stream, shbf_frame_t *f)
{
    if (f->length == 0 || f->length > SHBF_MAX_FRAME) {
        ZEL_LOGW(kTag, "frame length:%d is zero or big the max frame len.", static_cast<int>(f->length));
        shbf_free(f);
        return;
    }
    if (!keeps(s, stream)) {
        shbf_free(f);
        return;
    }
    bool wait_key = on(s, ZEL_STREAM_CAP_WAIT_KEY);
    if (wait_key && !s->first_key[stream]) {
        if (!f->key) {
            shbf_free(f);
            return;
        }
        s->first_key[stream] = true;
    }
    if (direct(s)) {
        s->callback(f, 0, stream, s->user);
        shbf_free(f);
        return;
    }
    if (s->dispatcher->push(stream, f) != 0 && wait_key)
        s->first_key[stream] = false; // queueing resumes at the next key frame
}

void on_main(shbfev_rcv_t *, int, shbf_frame_t *f, void *user) { video_frame(static_cast<zel_stream_t *>(user), 0, f); }
void on_sub(shbfev_rcv_t *, int, shbf_frame_t *f, void *user) { video_frame(static_cast<zel_stream_t *>(user), 1, f); }

void on_audio(shbfev_rcv_t *, int, shbf_frame_t *f, void *user)
{
    auto *s = static_cast<zel_stream_t *>(user);
    if (f->length == 0 || f->length > SHBF_MAX_FRAME) {
        ZEL_LOGW(kTag, "audio frame length is zero or big the max frame len.\n");
        shbf_free(f);
    } else if (direct(s)) {
        s->callback(f, 1, ZEL_STREAM_AUDIO, s->user);
        shbf_free(f);
    } else {
        s->dispatcher->push(ZEL_STREAM_AUDIO, f);
    }
}

// The producer went away: what is queued belongs to a stream that no longer runs.
void on_closed(shbfev_rcv_t *, int, shbf_frame_t *, void *user)
{
    auto *s = static_cast<zel_stream_t *>(user);
    if (s->dispatcher)
        s->dispatcher->clear();
    s->first_key[0] = s->first_key[1] = false;
}

void on_event(shbfev_rcv_t *rcv, int, shbf_frame_t *f, void *user)
{
    auto *s = static_cast<zel_stream_t *>(user);
    int value = 0;
    if (f->length >= 4)
        value = static_cast<int>(f->data[0] | (f->data[1] << 8) | (f->data[2] << 16) |
                                 (static_cast<uint32_t>(f->data[3]) << 24));
    zel_stream_event_cb cb;
    {
        std::lock_guard<std::mutex> g(s->callbacks_mutex);
        cb = rcv == s->rcv[kMotion] ? s->motion : s->voice;
    }
    if (cb)
        cb(value, s->user);
    shbf_free(f);
}

// Each snapshot replaces the file whole: written beside it, then renamed over it.
bool write_snapshot(const std::string &path, const shbf_frame_t *f)
{
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        ZEL_LOGE(kTag, " snapshot open %s failed: %s", tmp.c_str(), strerror(errno));
        return false;
    }
    size_t done = 0;
    while (done < f->length) {
        ssize_t w = write(fd, f->data + done, f->length - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += static_cast<size_t>(w);
    }
    bool ok = done == f->length;
    if (!ok)
        ZEL_LOGE(kTag, " snapshot_callback write error:need write:%d, writed:%d\n", static_cast<int>(f->length),
                 static_cast<int>(done));
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void on_snapshot(shbfev_rcv_t *, int, shbf_frame_t *f, void *user)
{
    auto *s = static_cast<zel_stream_t *>(user);
    zel_stream_snapshot_cb cb;
    {
        std::lock_guard<std::mutex> g(s->callbacks_mutex);
        cb = s->snapshot;
    }
    if (on(s, ZEL_STREAM_CAP_SNAPSHOT_FILE)) {
        if (write_snapshot(s->snapshot_path, f) && cb)
            cb(s->snapshot_path.c_str(), static_cast<int>(s->snapshot_path.size()), s->user);
    } else if (cb) {
        cb(f->data, static_cast<int>(f->length), s->user);
    }
    shbf_free(f);
}

void on_stop(struct ev_loop *loop, ev_async *, int) { ev_break(loop, EVBREAK_ALL); }

struct Channel {
    Slot slot;
    const char *path;
    shbfev_rcv_cb data;
};

bool open_receivers(zel_stream_t *s)
{
    const Channel channels[] = {
        {kMain, "/run/video_mainstream", on_main},
        {kSub, "/run/video_substream", on_sub},
        {kAudio, on(s, ZEL_STREAM_CAP_RAW_AUDIO) ? "/run/audio_in_raw" : "/run/audio_in", on_audio},
        {kPlay, "/run/audio_play", nullptr},
        {kMotion, "/run/md_event", on_event},
        {kSnapshot, "/run/jpeg_snap", on_snapshot},
        {kVoice, "/run/lsd_event", on_event},
    };
    const bool wanted[kSlots] = {
        on(s, ZEL_STREAM_CAP_MAIN), on(s, ZEL_STREAM_CAP_SUB), audio_on(s), on(s, ZEL_STREAM_CAP_AUDIO_PLAY),
        on(s, ZEL_STREAM_CAP_MOTION), on(s, ZEL_STREAM_CAP_SNAPSHOT) || on(s, ZEL_STREAM_CAP_SNAPSHOT_FILE),
        on(s, ZEL_STREAM_CAP_VOICE)};
    for (const Channel &c : channels) {
        if (!wanted[c.slot])
            continue;
        shbfev_rcv_t *r = shbfev_rcv_create(s->loop, zel_path(c.path).c_str());
        if (!r)
            return false;
        s->rcv[c.slot] = r;
        if (c.data) {
            shbfev_rcv_event(r, SHBF_RCV_DATA, c.data, s);
            if (c.data == on_event)
                shbfev_rcv_event(r, SHBF_RCV_EVENT, c.data, s);
        }
        if (c.slot == kMain || c.slot == kSub || c.slot == kAudio)
            shbfev_rcv_event(r, SHBF_RCV_CLOSE, on_closed, s);
        shbfev_rcv_start(r);
    }
    return true;
}

void close_receivers(zel_stream_t *s)
{
    for (shbfev_rcv_t *&r : s->rcv) {
        shbfev_rcv_destroy(r);
        r = nullptr;
    }
}

void release(zel_stream_t *s)
{
    if (s->media.joinable()) {
        ev_async_send(s->loop, &s->stop_async);
        s->media.join(); // nothing of the stream is freed while its media thread runs
    }
    if (s->dispatcher)
        s->dispatcher->stop();
    close_receivers(s);
    if (s->loop) {
        ev_loop_destroy(s->loop);
        shbf_rcv_global_exit();
    }
    s->dispatcher.reset();
    delete s;
}

int send_on(zel_stream_t *s, Slot slot, const void *msg, int len)
{
    return s->rcv[slot] ? shbfev_rcv_send_message(s->rcv[slot], msg, len) : -1;
}

} // namespace

extern "C" zel_stream_t *zel_stream_init(int mode, zel_stream_frame_cb callback, void *user)
{
    if (mode < 0 || mode > 2) {
        ZEL_LOGE(kTag, "Zel stream init fail.");
        return nullptr;
    }
    auto *s = new zel_stream;
    s->mode = mode;
    s->callback = callback;
    s->user = user;
    return s;
}

extern "C" int zel_stream_set_capability(zel_stream_t *s, const uint8_t capability[ZEL_STREAM_CAP_SIZE])
{
    if (!s || !capability || s->loop) {
        ZEL_LOGE(kTag, "Init zel stream cability fail.");
        return -1;
    }
    memcpy(s->cap, capability, ZEL_STREAM_CAP_SIZE);
    if ((direct(s) || !pull(s)) && !s->callback) {
        ZEL_LOGE(kTag, "Init zel stream cability fail.");
        release(s);
        return -1;
    }
    if (!direct(s)) {
        s->dispatcher = std::make_unique<Dispatcher>(s->callback, s->user, pull(s));
        update_participants(s);
        if (s->dispatcher->start() != 0) {
            release(s);
            return -1;
        }
    }
    if (on(s, ZEL_STREAM_CAP_SNAPSHOT_FILE))
        s->snapshot_path = zel_path(ZEL_STREAM_SNAPSHOT_PATH);
    s->loop = ev_loop_new(EVFLAG_AUTO);
    if (!s->loop || shbf_rcv_global_init() != 0 || !open_receivers(s)) {
        ZEL_LOGE(kTag, "Create media thread error.");
        release(s);
        return -1;
    }
    ev_async_init(&s->stop_async, on_stop);
    ev_async_start(s->loop, &s->stop_async);
    try {
        s->media = std::thread([s] {
            pthread_setname_np(pthread_self(), "zel_stream_media_source");
            ev_run(s->loop, 0);
        });
    } catch (...) {
        ZEL_LOGE(kTag, "Create media thread error.");
        release(s);
        return -1;
    }
    return 0;
}

extern "C" int zel_stream_switch_stream_type(zel_stream_t *s, int mode)
{
    if (!s || mode < 0 || mode > 2)
        return -1;
    if (s->mode == 2) {
        ZEL_LOGW(kTag, "Switch stream type refused: both streams are on");
        return -1;
    }
    s->mode = mode;
    update_participants(s);
    ZEL_LOGI(kTag, "Switch stream type success ... %d", mode);
    return 0;
}

extern "C" int zel_stream_seek_I_frame(zel_stream_t *s, int index)
{
    return s && s->dispatcher ? s->dispatcher->seek_key(index) : -1;
}

extern "C" shbf_frame_t *zel_stream_request_frame_info(zel_stream_t *s, int index, int kind)
{
    if (!s || !pull(s) || !s->dispatcher) {
        ZEL_LOGW(kTag, "stream_support_request_get is not set, please set is true");
        return nullptr;
    }
    return s->dispatcher->pull(index, kind);
}

extern "C" int zel_stream_request_next_frame(zel_stream_t *s, int kind, shbf_frame_t *frame)
{
    if (!s || !pull(s)) {
        ZEL_LOGW(kTag, "stream_support_request_get is not set, please set is true");
        return -1;
    }
    if (kind != 0 && kind != 1) {
        ZEL_LOGW(kTag, " Unkonw request type!");
        return -1;
    }
    shbf_free(frame);
    return 0;
}

namespace {

int set_event_callback(zel_stream_t *s, zel_stream_event_cb zel_stream::*slot, zel_stream_event_cb callback)
{
    if (!s)
        return -1;
    std::lock_guard<std::mutex> g(s->callbacks_mutex);
    s->*slot = callback;
    return 0;
}

} // namespace

extern "C" int zel_stream_register_motion_detect(zel_stream_t *s, zel_stream_event_cb callback)
{
    return set_event_callback(s, &zel_stream::motion, callback);
}

extern "C" int zel_stream_register_voice_detect(zel_stream_t *s, zel_stream_event_cb callback)
{
    return set_event_callback(s, &zel_stream::voice, callback);
}

extern "C" int zel_stream_request_snapshot(zel_stream_t *s, zel_stream_snapshot_cb callback)
{
    if (!s)
        return -1;
    {
        std::lock_guard<std::mutex> g(s->callbacks_mutex);
        s->snapshot = callback;
    }
    ZEL_LOGI(kTag, "Snapshot callback set success ...");
    return send_on(s, kSnapshot, "REQ_SNAPSHOT_R", 14);
}

extern "C" int zel_stream_request_keyframe(zel_stream_t *s)
{
    if (!s)
        return -1;
    int mode = s->mode;
    if (mode == 2)
        ZEL_LOGI(kTag, "Change stream type == %d", mode);
    int rc = 0;
    if (mode != 1)
        rc |= send_on(s, kMain, "REQ_IDR", 7);
    if (mode != 0)
        rc |= send_on(s, kSub, "REQ_IDR", 7);
    return rc ? -1 : 0;
}

extern "C" int zel_stream_play_audio(zel_stream_t *s, const void *data, int length)
{
    if (!s || !data || length <= 0 || length > SHBF_MAX_MESSAGE)
        return -1;
    return send_on(s, kPlay, data, length);
}

extern "C" void zel_stream_uninit(zel_stream_t *s)
{
    if (!s)
        return;
    release(s);
    ZEL_LOGI(kTag, "Release zel_stream success.");
}
