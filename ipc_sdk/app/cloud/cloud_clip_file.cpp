#include "app/cloud/cloud_clip_file.h"

#include "app/cloud/cloud_types.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/utils/ko_log.h"

namespace {

constexpr uint64_t kCutAfterUs = 2000 * 1000;
constexpr int kAudioPerVideo = 10;
constexpr uint32_t kDefaultSampleRate = 16000;

} // namespace

int32_t cloud_video_codec(uint32_t encode)
{
    return encode == 5 ? 35 : encode == 4 ? 33 : -1;
}

int cloud_clip_file::open(const cloud_clip_source &src, const char *path)
{
    abort();
    src_ = src;
    first_us_ = last_us_ = 0;
    has_ahead_ = false;
    video_frames_ = audio_frames_ = video_errors_ = audio_errors_ = 0;
    mp4_muxer_config_t c{};
    c.path = path;
    c.video_codec = cloud_video_codec(src.vinfo.encode);
    c.audio_channels = 1;
    c.width = src.vinfo.resolution.width;
    c.height = src.vinfo.resolution.height;
    c.video_time_scale = 90000;
    c.audio_time_scale = src.has_audio && src.ainfo.samplerate ? src.ainfo.samplerate : kDefaultSampleRate;
    muxer_ = mp4_muxer_init(&c);
    if (!muxer_) {
        KO_LOGE(CLOUD_MODULE, "creat mp4 file failed!\n");
        return -1;
    }
    vbuf_.resize(ringbuffer_get_max_frame_size(src.video));
    abuf_.resize(src.has_audio ? ringbuffer_get_max_frame_size(src.audio) : 0);
    return 0;
}

uint64_t cloud_clip_file::frame_us() const
{
    return src_.vinfo.fps ? 1000000 / src_.vinfo.fps : 50000;
}

uint64_t cloud_clip_file::duration_ms() const
{
    return video_frames_ ? (end_us() - first_us_) / 1000 : 0;
}

clip_step cloud_clip_file::step()
{
    if (!muxer_ || vbuf_.empty())
        return clip_step::idle;
    ko_av_frame f{};
    if (ringbuffer_get_video_frame(src_.video, CLOUD_READER, &f, vbuf_.data(), static_cast<uint32_t>(vbuf_.size())) != 0)
        return clip_step::idle;
    const bool key = f.frame_type == KO_FRAME_TYPE_I;
    // A file opens on a key frame; what comes before the first one cannot be decoded.
    if (!video_frames_ && !key)
        return clip_step::wrote;
    if (video_frames_ && key && f.timestamp_us > first_us_ + kCutAfterUs) {
        KO_LOGI(CLOUD_MODULE, "keyframe %d,   ms diff %llu, video frame over\n", 1,
                static_cast<unsigned long long>((f.timestamp_us - first_us_) / 1000));
        ringbuffer_mark_user_to_node(src_.video, CLOUD_READER, &f);
        return clip_step::cut;
    }
    if (mp4_muxer_update_video(muxer_, &f) != 0)
        video_errors_++;
    if (!video_frames_)
        first_us_ = f.timestamp_us;
    last_us_ = f.timestamp_us;
    video_frames_++;
    write_audio_before(f.timestamp_us);
    return clip_step::wrote;
}

void cloud_clip_file::write_audio_before(uint64_t video_us)
{
    if (!src_.has_audio || abuf_.empty())
        return;
    for (int i = 0; i < kAudioPerVideo; ++i) {
        if (!has_ahead_) {
            if (ringbuffer_get_audio_frame(src_.audio, CLOUD_READER, &ahead_, abuf_.data(),
                                           static_cast<uint32_t>(abuf_.size())) != 0)
                return;
            has_ahead_ = true;
        }
        if (ahead_.timestamp_us >= video_us)
            return; // it goes with a later video frame: kept, not read again
        has_ahead_ = false;
        if (ahead_.timestamp_us < first_us_)
            continue; // older than the file's first picture
        if (mp4_muxer_update_audio(muxer_, &ahead_) != 0)
            audio_errors_++;
        audio_frames_++;
    }
}

void cloud_clip_file::put_back_audio()
{
    if (has_ahead_)
        ringbuffer_mark_user_to_node(src_.audio, CLOUD_READER, &ahead_);
    has_ahead_ = false;
}

int cloud_clip_file::finish()
{
    mp4_muxer_t *m = muxer_;
    muxer_ = nullptr;
    return mp4_muxer_finish(m);
}

void cloud_clip_file::abort()
{
    if (muxer_)
        mp4_muxer_abort(muxer_);
    muxer_ = nullptr;
}
