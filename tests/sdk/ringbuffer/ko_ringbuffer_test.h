// Shared fixture of the frame ring buffer tests: channel parameters, frames that carry their own id,
// a replaceable monotonic clock, and clean-up of every channel after each case.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "common/ipc/ko_message.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/ringbuffer/ko_ringbuffer_stat.h"
#include "common/utils/ko_time_test.h"
#include "zel_test_support.h"

namespace ringtest {

inline ko_stream_chn_info video_info(unsigned ch, uint32_t kbps, uint32_t fps, uint32_t gop, uint32_t secs,
                                     ko_force_iframe_fn force = nullptr)
{
    ko_stream_chn_info info;
    memset(&info, 0, sizeof info);
    info.channel = ch;
    info.resolution = {864, 480};
    info.force_iframe = force;
    info.gop = gop;
    info.encode = 5;
    info.bitrate = kbps;
    info.fps = fps;
    info.seconds = secs;
    return info;
}

inline ko_stream_chn_info audio_info(unsigned ch, uint32_t kbps, uint32_t fps, uint32_t secs)
{
    ko_stream_chn_info info;
    memset(&info, 0, sizeof info);
    info.channel = ch;
    info.samplerate = 16000;
    info.samplebit = 16;
    info.encode = 1032;
    info.bitrate = kbps;
    info.fps = fps;
    info.seconds = secs;
    return info;
}

// A frame whose first four bytes are `id` and whose other bytes follow from it.
inline std::vector<uint8_t> payload(uint32_t id, uint32_t size)
{
    std::vector<uint8_t> b(size < 4 ? 4 : size);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = (uint8_t)(id * 31 + i * 7);
    memcpy(b.data(), &id, 4);
    return b;
}

inline uint32_t id_of(const ko_av_frame &f)
{
    uint32_t id;
    memcpy(&id, f.data, 4);
    return id;
}

inline int put(unsigned ch, uint32_t type, uint32_t id, uint32_t size = 64, uint64_t ts_us = 0)
{
    std::vector<uint8_t> b = payload(id, size);
    ko_av_frame f;
    memset(&f, 0, sizeof f);
    f.timestamp_us = ts_us;
    f.frame_tag = type == KO_FRAME_TYPE_AUDIO ? 0 : 2;
    f.frame_type = type;
    f.data = b.data();
    f.size = (uint32_t)b.size();
    return ringbuffer_put_frame(ch, &f);
}

// A monotonic clock the test moves by hand (microseconds).
inline std::atomic<uint64_t> g_fake_us{0};
inline uint64_t fake_tick() { return g_fake_us.load(); }

class Ring : public ::testing::Test {
protected:
    // Statistics registration needs the bus; without it ringbuffer_init answers -1.
    static void SetUpTestSuite() { ko_message_init(nullptr); }
    static void TearDownTestSuite() { ko_message_deinit(); }
    void SetUp() override { ringbuffer_stat_reset(); }
    void TearDown() override
    {
        for (unsigned c = 0; c < KO_STREAM_CHN_MAX; c++)
            ringbuffer_free(c);
        ko_time_set_tick_source(nullptr);
    }
    void use_fake_clock(uint64_t start_us)
    {
        g_fake_us = start_us;
        ko_time_set_tick_source(fake_tick);
    }

    int video(unsigned ch, unsigned user, ko_av_frame *f)
    {
        buf_.resize(ringbuffer_get_max_frame_size(ch) + 1);
        return ringbuffer_get_video_frame(ch, user, f, buf_.data(), (uint32_t)buf_.size());
    }
    int audio(unsigned ch, unsigned user, ko_av_frame *f)
    {
        buf_.resize(ringbuffer_get_max_frame_size(ch) + 1);
        return ringbuffer_get_audio_frame(ch, user, f, buf_.data(), (uint32_t)buf_.size());
    }

    std::vector<uint8_t> buf_;
};

} // namespace ringtest
