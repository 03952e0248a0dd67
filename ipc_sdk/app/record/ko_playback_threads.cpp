// The two threads of a playback. "pb_v" reads under the handle's lock (applying the speed rule and
// moving to the next recorded period at the end of one), sends without it and sleeps out the frame's
// duration. "pb_a" sends audio only at speed 1 and never past the last video frame sent.
#include <stdlib.h>
#include <unistd.h>

#include <mutex>

#include "common/report_stat/ko_thread_alive.h"
#include "common/utils/ko_log.h"
#include "common/utils/ko_time.h"
#include "ko_playback_state.h"
#include "record_index.h"

namespace pb {
namespace {

constexpr const char *kModule = "KO PLAYBACK";
constexpr uint32_t kFirstDurationMs = 50;
constexpr uint64_t kMaxDelayMs = 200;
constexpr uint64_t kRefusedDelayMs = 100;
constexpr uint64_t kSlowAfterMs = 2000;
constexpr uint64_t kOvershootMs = 8;
constexpr int kOvershootsBeforeMeasure = 10;
constexpr uint32_t kEndSlackS = 20;
constexpr int kAudioPerPass = 8;

using Guard = std::unique_lock<std::mutex>;

void sleep_ms(uint64_t ms) { usleep(static_cast<useconds_t>(ms * 1000)); }

void drop(fmp4_frame_t *f)
{
    free(f->data);
    *f = fmp4_frame_t{};
}

enum class Step { frame, switched, end, failed };

// At the end of a period: the next recorded period, unless the request ends within this one.
Step next_period(ko_playback &h)
{
    KO_LOGI(kModule, "playback:frame video over\n");
    if (static_cast<uint64_t>(h.request.end_time) < static_cast<uint64_t>(h.period_start) + h.meta.duration_s + kEndSlackS) {
        KO_LOGI(kModule, "reach to end ts\n");
        return Step::end;
    }
    record_index_record_t next{};
    if (record_find_record_info(0, h.period_start, &next, 1) != 1) {
        close_reader(h);
        return Step::end;
    }
    return open_period(h, next.time) == 0 ? Step::switched : Step::failed;
}

// Applies the speed rule and reads the next video frame (lock held).
Step read_video(ko_playback &h, fmp4_frame_t *frame, uint32_t *duration_ms)
{
    if (!h.reader)
        return Step::end;
    int jump = 0;
    if (h.speed == 1) {
        h.gop_frames = 0;
        if (h.previous_speed != 1) {
            jump = fmp4_seek_I_frame_playback(h.reader);
            fmp4_demuxer_sync_video_audio(h.reader);
        }
    } else if (h.gop_frames >= ko_playback_frames_per_gop(h.samples, h.keys, h.meta.duration_s, h.speed)) {
        jump = fmp4_seek_I_frame_playback(h.reader);
        h.gop_frames = 0;
    }
    h.previous_speed = h.speed;
    if (jump == 1)
        KO_LOGI(kModule, "seek I frame end!\n");
    const int rc = jump != 0 ? 1 : fmp4_demuxer_read_video(h.reader, frame, duration_ms);
    if (rc == 1)
        return next_period(h);
    if (rc < 0) {
        KO_LOGE(kModule, "playback:mp4 demuxer read error\n");
        count(kMp4FrameVErr);
        return Step::end;
    }
    count(kMp4FrameV);
    h.gop_frames++;
    frame->timestamp_ms = frame->timestamp_ms > h.origin_ms ? frame->timestamp_ms - h.origin_ms : 0;
    return Step::frame;
}

// Sleeps out what is left of the frame's duration, learning the system's oversleep when it keeps
// overshooting.
struct Pacer {
    int overshoots = 0;
    uint64_t sys_delay = 0;

    void wait(uint64_t want)
    {
        if (want > kMaxDelayMs) {
            KO_LOGW(kModule, "warning : frame delay %u %llu %u is too big then max %u \n", 0u,
                    static_cast<unsigned long long>(want), 0u, static_cast<unsigned>(kMaxDelayMs));
            want = kMaxDelayMs;
        }
        want = want > sys_delay ? want - sys_delay : 0;
        if (want == 0)
            return;
        const uint64_t t0 = vexa_time_tick_ms();
        sleep_ms(want);
        const uint64_t slept = vexa_time_tick_ms() - t0;
        if (slept < want + kOvershootMs) {
            overshoots = 0;
            return;
        }
        if (++overshoots > kOvershootsBeforeMeasure && sys_delay == 0) {
            sys_delay = slept - want;
            KO_LOGW(kModule, "--###-- warning , sys_delay is %d\n", static_cast<int>(sys_delay));
        }
    }
};

// Audio plays at speed 1 only, and only once the video thread has read at speed 1: coming back from
// a faster speed, it first moves the audio to the key frame it jumps to (lock held).
bool audio_plays(const ko_playback &h) { return h.state == kPlaying && h.speed == 1 && h.previous_speed == 1; }

} // namespace

void *video_thread(void *arg)
{
    ko_playback &h = *static_cast<ko_playback *>(arg);
    fmp4_frame_t frame{};
    bool holding = false;
    uint32_t duration_ms = kFirstDurationMs;
    uint64_t last_taken = vexa_time_tick_ms();
    Pacer pacer;
    bool failed = false;
    for (;;) {
        thread_alive_update_status(THREAD_ALIVE_WAITING, 0);
        count(kVStep1);
        const uint64_t t0 = vexa_time_tick_ms();
        Step step = Step::frame;
        {
            Guard guard(h.lock);
            if (h.state == kStopping)
                break;
            if (h.state == kPaused) {
                guard.unlock();
                sleep_ms(20);
                continue;
            }
            if (!holding) {
                step = read_video(h, &frame, &duration_ms);
                holding = step == Step::frame;
            }
        }
        if (step == Step::switched) {
            report(h, KO_PLAYBACK_NEXT_FILE);
            continue;
        }
        if (step != Step::frame) {
            failed = step == Step::failed;
            break;
        }
        count(kVStep2);
        uint64_t delay;
        if (h.callbacks.video(&frame, &h.meta, h.user) == 0) {
            count(kVFrameSend);
            {
                Guard guard(h.lock);
                h.video_sent = true;
                h.last_video_us = frame.timestamp_ms * 1000;
            }
            drop(&frame);
            holding = false;
            last_taken = vexa_time_tick_ms();
            const uint64_t spent = last_taken - t0;
            delay = duration_ms > spent ? duration_ms - spent : 0;
            count(kVStep3);
        } else {
            count(kVFrameSendErr);
            delay = kRefusedDelayMs;
            if (vexa_time_tick_ms() - last_taken > kSlowAfterMs) {
                KO_LOGW(kModule, "p2p network speed is slow!!!\n");
                last_taken = vexa_time_tick_ms();
            }
        }
        pacer.wait(delay);
    }
    drop(&frame);
    bool stopped;
    {
        Guard guard(h.lock);
        close_reader(h);
        h.state = kStopping;
        stopped = h.stop_requested;
    }
    // A next recording that could not be opened is told as a failure, and still as the end.
    if (!stopped) {
        count(kStopEnd);
        if (failed)
            report(h, KO_PLAYBACK_FAILED);
        report(h, KO_PLAYBACK_END);
    }
    KO_LOGI(kModule, "thread_playback video exit\n");
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

void *audio_thread(void *arg)
{
    ko_playback &h = *static_cast<ko_playback *>(arg);
    fmp4_frame_t frame{};
    bool holding = false;
    uint32_t held_period = 0;
    for (;;) {
        thread_alive_update_status(THREAD_ALIVE_WAITING, 0);
        count(kAStep1);
        Guard guard(h.lock);
        if (h.state == kStopping)
            break;
        if (!audio_plays(h)) {
            drop(&frame);
            holding = false;
            guard.unlock();
            sleep_ms(100);
            continue;
        }
        if (holding && held_period != h.file_switches) {
            drop(&frame);
            holding = false;
        }
        for (int n = 0; n < kAudioPerPass && audio_plays(h); n++) {
            if (!holding) {
                if (h.audio_ended || !h.reader)
                    break;
                const int rc = fmp4_demuxer_read_audio(h.reader, &frame, nullptr);
                if (rc != 0) {
                    // The end of this period's audio, or audio it cannot give: the next period's
                    // audio plays again.
                    if (rc < 0)
                        count(kMp4FrameAErr);
                    h.audio_ended = true;
                    break;
                }
                count(kMp4FrameA);
                frame.timestamp_ms = frame.timestamp_ms > h.origin_ms ? frame.timestamp_ms - h.origin_ms : 0;
                holding = true;
                held_period = h.file_switches;
            }
            if (!h.video_sent || frame.timestamp_ms * 1000 > h.last_video_us)
                break;
            count(kAStep2);
            const ko_playback_meta_t meta = h.meta;
            guard.unlock();
            const int rc = frame.data && h.callbacks.audio ? h.callbacks.audio(&frame, &meta, h.user, 1) : 0;
            count(rc == 0 ? kAFrameSend : kAFrameSendErr);
            drop(&frame);
            holding = false;
            guard.lock();
            if (held_period != h.file_switches)
                break;
        }
        count(kAStep3);
        guard.unlock();
        sleep_ms(20);
    }
    drop(&frame);
    KO_LOGI(kModule, "thread_playback audio exit\n");
    thread_alive_update_status(THREAD_ALIVE_LEAVING, 0);
    return nullptr;
}

} // namespace pb
