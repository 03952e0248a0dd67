// Live sending: the "p2p_v" and "p2p_a" threads read each watching phone's frames from the frame
// ring, and each video frame first passes the congestion check of the phone's send ring, which
// drops frames until a key frame or moves the phone between the main, sub and third stream.
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "app/p2p/ko_p2p_internal.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/sdk/ko_sdk.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"

namespace ko_p2p {

namespace {

enum { kQueryClearRings = 4, kQueryBytesHeld = 13, kQueryFramesHeld = 14, kCmdNetworkStatus = 276 };

int stream_count()
{
    const ko_sdk_info *info = ko_ipc_get_sdk_info();
    return info ? info->video_chn_count : 1;
}

// Every one of the first `len` samples satisfies `pred`.
template <typename Pred> bool all_of(const std::array<uint8_t, kLongWindowMax> &w, int len, Pred pred)
{
    return std::all_of(w.begin(), w.begin() + len, pred);
}

void switch_to(p2p_client &c, int channel, uint64_t now_ms)
{
    ops().query(c.session, kQueryClearRings, nullptr);
    c.channel = channel;
    ringbuffer_reset_user_state(static_cast<unsigned>(channel), static_cast<unsigned>(c.reader));
    c.drop.last_switch_ms = now_ms;
}

// Moves the client between streams when its send ring stays congested or idle; false when the
// frame is to be sent without the drop check.
bool auto_switch(p2p_client &c, int streams, uint64_t now_ms)
{
    drop_state &d = c.drop;
    const int vfps = d.vfps;
    if (now_ms - d.last_switch_ms <= 4000 || d.samples % static_cast<uint32_t>(vfps) != 0)
        return c.channel == 1;
    const uint32_t now_s = static_cast<uint32_t>(now_ms / 1000);
    const int chn = c.channel;
    if (all_of(d.short_win, d.short_len, [&](uint8_t s) { return s * 2 >= 3 * vfps; })) {
        if (chn == 0 || (chn == 1 && streams >= 3)) {
            KO_LOGI(KO_P2P_MODULE, chn == 0 ? "SID[%d], auto switch video to sub time: %u\n"
                                            : "SID[%d], auto switch video to third time: %u\n",
                    c.index, now_s);
            // The whole window: 60 and 100 samples at 20 fps, as long as the windows at any other rate.
            std::fill_n(d.short_win.begin(), d.short_len, 0);
            d.auto_switches++;
            switch_to(c, chn + 1, now_ms);
        } else if (chn == 2 && streams < 3) {
            KO_LOGI(KO_P2P_MODULE, "SID[%d], it's third now, can not reduce bitrate any more, time: %d\n", c.index,
                    static_cast<int>(now_s));
            d.last_switch_ms = now_ms;
        } else {
            KO_LOGI(KO_P2P_MODULE, "no need to switch!!!\n");
        }
    } else if (all_of(d.long_win, d.long_len, [&](uint8_t s) { return s * 10 <= 3 * vfps; }) && chn > 0) {
        KO_LOGI(KO_P2P_MODULE, chn == 2 ? "SID[%d], auto switch video to sub, time: %u\n"
                                        : "SID[%d], auto switch video to main, time: %u\n",
                c.index, now_s);
        std::fill_n(d.long_win.begin(), d.long_len, 255);
        switch_to(c, chn - 1, now_ms);
    }
    return c.channel == 1;
}

// Without automatic switching the phone is told that its link is congested.
void tell_congestion(p2p_client &c, int streams, uint64_t now_ms)
{
    drop_state &d = c.drop;
    if (now_ms - d.last_switch_ms <= 9000 || d.samples % static_cast<uint32_t>(d.vfps) != 0 ||
        !all_of(d.short_win, d.short_len, [&](uint8_t s) { return s * 2 >= 3 * d.vfps; }))
        return;
    const int lowest = streams >= 3 ? 2 : 1;
    if (c.channel >= lowest) {
        KO_LOGI(KO_P2P_MODULE, "no need to switch!!!\n");
        return;
    }
    uint8_t zero[4] = {0, 0, 0, 0};
    const int rc = ops().cmd_send(c.session, kCmdNetworkStatus, zero, sizeof zero);
    if (rc != 0)
        KO_LOGW(KO_P2P_MODULE, "sent network status error %d\n", rc);
    d.last_switch_ms = now_ms;
}

// True when the frame is to be dropped.
bool drop_check(p2p_client &c, bool key, uint32_t size, int bytes_held, int frames_held)
{
    drop_state &d = c.drop;
    if (!d.dropping) {
        if (frames_held < d.max_frames - 1 && static_cast<int64_t>(bytes_held) + size <= d.max_bytes)
            return false;
        KO_LOGW(KO_P2P_MODULE, "begin to drop frame...\n");
        d.dropping = true;
        d.drop_episodes++;
    }
    if (bytes_held >= d.resume_bytes || frames_held >= d.resume_frames)
        return true;
    if (!key) {
        if (bytes_held < d.force_key_bytes) {
            KO_LOGI(KO_P2P_MODULE, "force key frame\n");
            force_key_frame(c);
        }
        if (bytes_held == 0)
            KO_LOGI(KO_P2P_MODULE, "this is no data to send, nFrameCntInBuf: %u, rbuf_size: %u\n",
                    static_cast<unsigned>(frames_held), static_cast<unsigned>(bytes_held));
        return true;
    }
    KO_LOGI(KO_P2P_MODULE, "drop frame end, rbuf_size: %d\n", bytes_held);
    d.dropping = false;
    return false;
}

// A frame of the stream at or before the last one sent (a stream set up anew counts from 1 again,
// with newer time stamps).
bool sent_before(const sent_mark &m, int channel, const ko_av_frame &frame)
{
    return m.channel == channel && frame.seq_no <= m.seq && frame.timestamp_us <= m.time_us;
}

void note_sent(sent_mark &m, int channel, const ko_av_frame &frame) { m = {channel, frame.seq_no, frame.timestamp_us}; }

vasq_frame_info header_of(const ko_stream_chn_info &info, const ko_av_frame &frame)
{
    vasq_frame_info h{};
    h.length = frame.size;
    h.codec_id = info.encode;
    h.seq = frame.seq_no;
    h.time_ms = frame.timestamp_us / 1000;
    h.time_s = static_cast<uint32_t>(h.time_ms / 1000);
    return h;
}

// The reader's buffer of a send thread: grown to the largest frame of the channels read, never per frame.
void *reader_buffer(std::vector<uint8_t> &buf, unsigned channel)
{
    const uint32_t need = ringbuffer_get_max_frame_size(channel);
    if (buf.size() < need)
        buf.resize(need);
    return buf.data();
}

std::mutex g_watch_mutex;
std::condition_variable g_watch_cv;

// A slot that takes these frames (`on` is its video or audio switch).
bool watched(std::atomic<bool> p2p_client::*on)
{
    const vasq_ctrl &v = g_vasq_ctrl;
    for (int i = 0; i < v.max_sessions; i++)
        if ((v.slots[i].*on).load())
            return true;
    return false;
}

template <typename Step> void *send_loop(std::atomic<int> &progress, std::atomic<bool> p2p_client::*on, Step step)
{
    vasq_ctrl &v = g_vasq_ctrl;
    std::vector<uint8_t> buf;
    while (v.running.load()) {
        {
            // Nothing to read while no phone takes these frames: sleep until one starts.
            std::unique_lock<std::mutex> g(g_watch_mutex);
            g_watch_cv.wait(g, [&] { return !v.running.load() || watched(on); });
        }
        progress = 1;
        for (int i = 0; i < v.max_sessions && v.running.load(); i++) {
            p2p_client &c = v.slots[i];
            // A slot busy with a command is skipped: its frames wait in the ring.
            std::shared_lock<std::shared_mutex> g(c.lock, std::try_to_lock);
            if (!g.owns_lock() || !v.alive.load() || !c.online.load() || !c.session || c.mode.load() != kModeLive)
                continue;
            step(c, buf);
        }
        progress = 2;
        usleep(10 * 1000);
    }
    return nullptr;
}

} // namespace

void wake_senders()
{
    // Taken so that a sender between its test and its wait does not miss the change.
    { std::lock_guard<std::mutex> g(g_watch_mutex); }
    g_watch_cv.notify_all();
}

int resolution_code(int width, int height)
{
    static const struct {
        int w, h, code;
    } kSizes[] = {{1920, 1080, 1}, {1280, 720, 2},  {640, 360, 3},   {2304, 1296, 4},  {864, 480, 5},  {1080, 1920, 6},
                  {2560, 1440, 7}, {720, 1280, 8},  {1088, 1080, 9}, {1536, 1536, 10}, {480, 480, 11}};
    for (const auto &s : kSizes)
        if (s.w == width && s.h == height)
            return s.code;
    return 15;
}

void force_key_frame(p2p_client &c)
{
    KO_LOGI(KO_P2P_MODULE, "user %d reset video chn %d & audio ...\n", c.index, c.channel.load());
    ringbuffer_reset_user_state(static_cast<unsigned>(c.channel.load()), static_cast<unsigned>(c.reader));
    ringbuffer_reset_user_state(kAudioChannel, static_cast<unsigned>(c.reader));
}

void load_drop_params(drop_state &d, int channel)
{
    d = drop_state{};
    ko_stream_chn_info *vinfo = ko_ipc_get_stream_info(static_cast<unsigned>(channel));
    ko_stream_chn_info *ainfo = ko_ipc_get_stream_info(kAudioChannel);
    if (!vinfo || !ainfo) {
        KO_LOGW(KO_P2P_MODULE, "null pointer vinfo %p, ainfo %p", static_cast<void *>(vinfo),
                static_cast<void *>(ainfo));
        KO_LOGW(KO_P2P_MODULE, "update   strategy param fail, use default param!\n");
        return;
    }
    if (vinfo->fps == 0)
        vinfo->fps = 20;
    if (vinfo->gop == 0)
        vinfo->gop = 60;
    const int vfps = std::clamp(static_cast<int>(vinfo->fps), 1, static_cast<int>(kMaxVfps));
    const int afps = ainfo->fps ? static_cast<int>(ainfo->fps) : 25;
    const int gop = static_cast<int>(vinfo->gop);
    KO_LOGI(KO_P2P_MODULE, "vfps %d, afps %d, gop %d!\n", vfps, afps, gop);
    d.vfps = vfps;
    d.short_len = 3 * vfps;
    d.long_len = 5 * vfps;
    d.max_frames = (vfps + afps) * (gop / vfps);
    d.resume_frames = afps + vfps;
}

void send_video_frame(p2p_client &c, const ko_stream_chn_info &info, const ko_av_frame &frame)
{
    drop_state &d = c.drop;
    const int channel = c.channel.load();
    if (sent_before(d.video_sent, channel, frame))
        return;
    const bool key = frame.frame_type == KO_FRAME_TYPE_I;
    if (key)
        KO_LOGI(KO_P2P_MODULE, "try to send I frame seq %u to client %d, size %u\n", frame.seq_no, c.index,
                frame.size);
    int bytes_held = 0, frames_held = 0;
    ops().query(c.session, kQueryBytesHeld, &bytes_held);
    ops().query(c.session, kQueryFramesHeld, &frames_held);
    // A stalled phone holds hundreds of frames: the sample saturates instead of wrapping.
    const uint8_t sample = static_cast<uint8_t>(std::clamp(frames_held, 0, 255));
    d.short_win[d.samples % static_cast<uint32_t>(d.short_len)] = sample;
    d.long_win[d.samples % static_cast<uint32_t>(d.long_len)] = sample;
    d.samples++;
    const int streams = stream_count();
    const uint64_t now_ms = vexa_time_tick_ms();
    bool check_drop = true;
    if (d.auto_switch && streams > 1)
        check_drop = auto_switch(c, streams, now_ms);
    else
        tell_congestion(c, streams, now_ms);
    // A switch cleared the rings: a frame of the old stream would now lack its references.
    if (c.channel.load() != channel || (check_drop && drop_check(c, key, frame.size, bytes_held, frames_held))) {
        d.dropped++;
        return;
    }
    vasq_frame_info h = header_of(info, frame);
    const int width = info.resolution.width, height = info.resolution.height;
    int code = 0;
    if (width < 1 || height < 1)
        KO_LOGE(KO_P2P_MODULE, "set video res param err,frame_info(%p),w %d,h %d...\n", static_cast<void *>(&h), width,
                height);
    else
        code = resolution_code(width, height);
    h.flags = (key ? 1u : 0u) | ((frame.frame_tag & 2) ? 0x2000u : 0u) | ((frame.frame_tag & 4) ? 0x8000u : 0u) |
              static_cast<uint32_t>(code) << 17;
    if (code == 15)
        h.extra = static_cast<uint32_t>(info.resolution.height) << 16 | info.resolution.width;
    const int rc = ops().video_send(c.session, &h, frame.data);
    if (rc != 0) {
        KO_LOGE(KO_P2P_MODULE, "=====>>>>>> vasq send error: %d, session:%p, videoChn: %d, size: %d\n", rc,
                static_cast<void *>(c.session), channel, static_cast<int>(frame.size));
        return;
    }
    note_sent(d.video_sent, channel, frame);
    if (c.video_frames % 100 == 0)
        KO_LOGI(KO_P2P_MODULE, "client %d send video frame num %u\n", c.index, c.video_frames + 1);
    c.video_frames++;
    c.video_bytes += frame.size;
    if (key)
        KO_LOGI(KO_P2P_MODULE, "I frame seq %u to client %d, size %u ok\n", frame.seq_no, c.index, frame.size);
}

void send_audio_frame(p2p_client &c, const ko_stream_chn_info &info, const ko_av_frame &frame)
{
    static std::atomic<uint32_t> sent{0};
    if (sent_before(c.drop.audio_sent, kAudioChannel, frame))
        return;
    vasq_frame_info h = header_of(info, frame);
    h.flags = (info.samplerate == 16000 ? 0x18u : 0u) | (info.samplebit != 8 ? 0x80u : 0u);
    const int rc = ops().video_send(c.session, &h, frame.data);
    if (rc != 0) {
        KO_LOGE(KO_P2P_MODULE, "SID  vasq send audio error %d\n", rc);
        c.audio_errors++;
        return;
    }
    note_sent(c.drop.audio_sent, kAudioChannel, frame);
    c.audio_frames++;
    c.audio_bytes += frame.size;
    if (++sent % 100 == 0)
        KO_LOGI(KO_P2P_MODULE, "send audio frame %u\n", sent.load());
}

void *video_thread(void *)
{
    return send_loop(g_vasq_ctrl.v_send, &p2p_client::video_on, [](p2p_client &c, std::vector<uint8_t> &buf) {
        if (!c.video_on.load())
            return;
        const unsigned chn = static_cast<unsigned>(c.channel.load());
        ko_stream_chn_info *info = ko_ipc_get_stream_info(chn);
        if (!info || ringbuffer_is_ready(chn) != 0)
            return;
        ko_av_frame frame{};
        void *data = reader_buffer(buf, chn);
        if (ringbuffer_try_get_video_frame(chn, static_cast<unsigned>(c.reader), &frame, data,
                                           static_cast<uint32_t>(buf.size())) == 0)
            send_video_frame(c, *info, frame);
    });
}

void *audio_thread(void *)
{
    return send_loop(g_vasq_ctrl.a_send, &p2p_client::audio_on, [](p2p_client &c, std::vector<uint8_t> &buf) {
        if (!c.audio_on.load())
            return;
        ko_stream_chn_info *info = ko_ipc_get_stream_info(kAudioChannel);
        if (!info || ringbuffer_is_ready(kAudioChannel) != 0)
            return;
        ko_av_frame frame{};
        void *data = reader_buffer(buf, kAudioChannel);
        if (ringbuffer_get_audio_frame(kAudioChannel, static_cast<unsigned>(c.reader), &frame, data,
                                       static_cast<uint32_t>(buf.size())) == 0)
            send_audio_frame(c, *info, frame);
    });
}

} // namespace ko_p2p
