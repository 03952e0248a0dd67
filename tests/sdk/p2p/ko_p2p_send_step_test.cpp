// One live-video send step at a time on scripted send-ring figures: dropping until a key frame,
// stream switching in both directions and its hold time, the congestion message without switching,
// saturated samples of a stalled phone, windows sized from the frame rate, and the frame header.
#include <string.h>

#include "common/utils/ko_time_test.h"
#include "p2p_lab.h"

namespace p2ptest {
namespace {

using ko_p2p::p2p_client;

std::atomic<uint64_t> g_now_us{0};
uint64_t fake_tick() { return g_now_us.load(); }

class SendStep : public P2pTest {
protected:
    void SetUp() override
    {
        P2pTest::SetUp();
        g_now_us = 1000000000ull;
        ko_time_set_tick_source(fake_tick);
    }
    void TearDown() override
    {
        ko_time_set_tick_source(nullptr);
        P2pTest::TearDown();
    }
    // A phone watching `channel` as a video start leaves it.
    void start(int channel, bool auto_switch)
    {
        c_.session = phone(0);
        c_.online = true;
        c_.channel = channel;
        ko_p2p::load_drop_params(c_.drop, channel);
        c_.drop.auto_switch = auto_switch;
        c_.drop.last_switch_ms = g_now_us / 1000;
    }
    void figures(int frames, int bytes)
    {
        Lab::get().frames_held = frames;
        Lab::get().bytes_held = bytes;
    }
    // Sends `n` frames (key frames when `key`) of the client's channel; the number that went out.
    size_t send(int n, bool key = false, uint32_t tag = 2)
    {
        const size_t before = Lab::get().frames.size();
        for (int i = 0; i < n; i++) {
            ko_av_frame f{};
            f.seq_no = ++seq_;
            f.timestamp_us = 123456789;
            f.frame_type = key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
            f.frame_tag = tag;
            f.data = payload_;
            f.size = sizeof payload_;
            ko_p2p::send_video_frame(c_, info_.stream_info[c_.channel.load()], f);
        }
        return Lab::get().frames.size() - before;
    }
    void advance_s(int s) { g_now_us += static_cast<uint64_t>(s) * 1000000; }

    p2p_client c_;
    uint32_t seq_ = 0;
    char payload_[100] = {0};
};

TEST_F(SendStep, DefaultFiguresFollowTheStreamInformation)
{
    start(0, false);
    const ko_p2p::drop_state &d = c_.drop;
    EXPECT_EQ(d.vfps, 20);
    EXPECT_EQ(d.short_len, 60);
    EXPECT_EQ(d.long_len, 100);
    EXPECT_EQ(d.max_frames, 135) << "(20 + 25) x 60 / 20 with the audio rate read as 0";
    EXPECT_EQ(d.resume_frames, 45);
    EXPECT_EQ(d.max_bytes, 257024);
    g_sdk_info = nullptr;
    ko_p2p::load_drop_params(c_.drop, 0);
    EXPECT_EQ(c_.drop.max_frames, 135) << "the default set without stream information";
    EXPECT_EQ(c_.drop.long_len, 320);
}

TEST_F(SendStep, DroppingEndsOnAKeyFrameBelowTheResumeFigures)
{
    start(0, false);
    figures(150, 1000);
    EXPECT_EQ(send(3), 0u) << "frames held above the maximum: dropping";
    EXPECT_TRUE(c_.drop.dropping);
    figures(44, 51199);
    EXPECT_EQ(send(1), 0u) << "below the resume figures a non-key frame is still dropped";
    EXPECT_EQ(send(1, true), 1u) << "the key frame ends it";
    EXPECT_FALSE(c_.drop.dropping);
    EXPECT_EQ(c_.drop.drop_episodes, 1u);
    EXPECT_EQ(c_.drop.dropped, 4u);
    EXPECT_EQ(send(5), 5u);
    figures(10, 257000);
    EXPECT_EQ(send(1), 0u) << "bytes held plus the frame above the maximum";
    EXPECT_EQ(c_.drop.drop_episodes, 2u);
}

TEST_F(SendStep, AutomaticSwitchStepsDownOnceAndHoldsFourSeconds)
{
    start(0, true);
    advance_s(5);
    figures(40, 1000); // 40 >= 1.5 x 20: congested
    EXPECT_EQ(send(60), 59u) << "on main nothing is dropped but the frame in hand when the switch clears the rings";
    EXPECT_EQ(c_.channel.load(), 1);
    EXPECT_EQ(c_.drop.auto_switches, 1u);
    EXPECT_EQ(Lab::get().clears, 1);
    for (int i = 0; i < 60; i++)
        EXPECT_EQ(c_.drop.short_win[i], 0) << "stepping down clears the short window";
    send(120);
    EXPECT_EQ(c_.channel.load(), 1) << "not again within 4 s";
    advance_s(5);
    send(60);
    EXPECT_EQ(c_.channel.load(), 2) << "sub to third with three streams";
    advance_s(5);
    send(60);
    EXPECT_EQ(c_.channel.load(), 2) << "nothing below third";
    EXPECT_EQ(c_.drop.auto_switches, 2u);
}

TEST_F(SendStep, AReaderRestartedBehindWhatWasSentSendsNothingTwice)
{
    start(0, false);
    ASSERT_EQ(send(1, true), 1u);
    ASSERT_EQ(send(3), 3u);
    seq_ = 0; // a forced key frame restarts the reader at the recent key frame, already sent
    EXPECT_EQ(send(1, true), 0u);
    EXPECT_EQ(send(4), 1u) << "only the frame not sent yet";
    ko_av_frame audio{};
    audio.seq_no = 7;
    audio.timestamp_us = 123456789;
    audio.frame_type = KO_FRAME_TYPE_AUDIO;
    audio.data = payload_;
    audio.size = 10;
    ko_p2p::send_audio_frame(c_, info_.stream_info[4], audio);
    ko_p2p::send_audio_frame(c_, info_.stream_info[4], audio); // the newest audio frame again
    EXPECT_EQ(c_.audio_frames, 1u);
}

TEST_F(SendStep, IdleLinkStepsUpAndFillsTheLongWindow)
{
    start(2, true);
    advance_s(5);
    figures(0, 0);
    send(20);
    EXPECT_EQ(c_.channel.load(), 1);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(c_.drop.long_win[i], 255);
    advance_s(5);
    send(100);
    EXPECT_EQ(c_.channel.load(), 0) << "once the long window holds only idle samples again";
}

TEST_F(SendStep, TwoStreamsStopAtSub)
{
    set_streams(2);
    start(0, true);
    advance_s(5);
    figures(40, 1000);
    send(60);
    ASSERT_EQ(c_.channel.load(), 1);
    advance_s(5);
    send(60);
    EXPECT_EQ(c_.channel.load(), 1);
}

TEST_F(SendStep, ThirdStreamNeverDrops)
{
    start(2, true);
    figures(500, 10000000);
    EXPECT_EQ(send(50), 50u) << "the send ring refuses what does not fit";
    EXPECT_EQ(c_.drop.dropped, 0u);
}

TEST_F(SendStep, StalledPhoneSamplesSaturateAndCongestionIsTold)
{
    start(0, false);
    advance_s(10);
    figures(300, 0); // 300 mod 256 = 44 would read as light, 280 mod 256 = 24 as idle
    send(1);
    EXPECT_EQ(c_.drop.short_win[0], 255);
    figures(280, 0);
    send(59);
    const std::vector<Sent> sent = Lab::get().sent();
    ASSERT_EQ(sent.size(), 1u) << "without automatic switching the phone is told once";
    EXPECT_EQ(sent[0].code, 276);
    EXPECT_EQ(sent[0].data, std::string(4, '\0'));
    send(60);
    EXPECT_EQ(Lab::get().sent().size(), 1u) << "not again within 9 s";
}

TEST_F(SendStep, WindowsFollowTheFrameRate)
{
    for (uint32_t fps : {15u, 30u}) {
        SCOPED_TRACE(fps);
        info_.stream_info[0].fps = fps;
        info_.stream_info[1].fps = fps;
        start(0, true);
        const int vfps = static_cast<int>(fps);
        EXPECT_EQ(c_.drop.short_len, 3 * vfps);
        EXPECT_EQ(c_.drop.long_len, 5 * vfps);
        EXPECT_EQ(c_.drop.max_frames, (vfps + 25) * (60 / vfps));
        EXPECT_EQ(c_.drop.resume_frames, vfps + 25);
        advance_s(5);
        figures(2 * vfps, 1000);
        send(3 * vfps);
        EXPECT_EQ(c_.channel.load(), 1) << "congested over one short window";
        for (int i = 0; i < 3 * vfps; i++)
            ASSERT_EQ(c_.drop.short_win[i], 0);
        for (int i = 3 * vfps; i < ko_p2p::kLongWindowMax; i++)
            ASSERT_EQ(c_.drop.short_win[i], 0) << "nothing beyond the window";
        advance_s(5);
        figures(0, 0);
        send(5 * vfps);
        EXPECT_EQ(c_.channel.load(), 0);
        for (int i = 0; i < 5 * vfps; i++)
            ASSERT_EQ(c_.drop.long_win[i], 255);
        for (int i = 5 * vfps; i < ko_p2p::kLongWindowMax; i++)
            ASSERT_EQ(c_.drop.long_win[i], 0) << "nothing beyond the window";
    }
}

TEST_F(SendStep, HeaderCarriesTimesFlagsAndTheResolution)
{
    info_.stream_info[0].resolution = {1088, 1080};
    start(0, false);
    ASSERT_EQ(send(1, true, 2 | 4), 1u);
    vasq_frame_info h = Lab::get().frames.back();
    EXPECT_EQ(h.length, 100u);
    EXPECT_EQ(h.codec_id, 5u);
    EXPECT_EQ(h.seq, 1u);
    EXPECT_EQ(h.time_ms, 123456u);
    EXPECT_EQ(h.time_s, 123u);
    EXPECT_EQ(h.flags, 1u | 0x2000u | 0x8000u | 9u << 17);
    EXPECT_EQ(h.extra, 0u);
    info_.stream_info[0].resolution = {1000, 1000};
    ASSERT_EQ(send(1, false, 0), 1u);
    h = Lab::get().frames.back();
    EXPECT_EQ(h.flags, 15u << 17);
    EXPECT_EQ(h.extra, 1000u << 16 | 1000u);
    info_.stream_info[0].resolution = {2560, 1440};
    send(1);
    EXPECT_EQ(Lab::get().frames.back().flags >> 17, 7u);
}

} // namespace
} // namespace p2ptest
