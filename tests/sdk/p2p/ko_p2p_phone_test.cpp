// Phones on real sessions: the service starts the streaming server, which asks the daemon (this
// test on the message bus) for the vendor and logs in to the transport servers of loopback; phones
// (vasq_phone.py) authorise, watch live video from the frame ring, talk, ask for the audio format
// and move the head through the app client's callback, and leave; a listen refused while a phone
// watches does not keep the next phones out.
#include <json-c/json.h>

#include <algorithm>
#include <set>
#include <thread>

#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/utils/ko_crc32.h"
#include "common/utils/ko_time.h"
#include "p2p_sessions.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

std::mutex g_lock;
std::vector<std::pair<int, std::string>> g_user_cmds; // (code, payload) the app client got

// The app client's part for the head: 274 answered with 275.
int user_cmd(int slot, int code, const char *data, int length)
{
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_user_cmds.emplace_back(code, std::string(data, static_cast<size_t>(length)));
    }
    const char reply[] = R"({"operation":6,"result":0})";
    return code == 274 ? ko_p2p_user_cmd_send(slot, 275, reply, sizeof reply) : 0;
}

std::atomic<int> g_talk_frames{0}, g_talk_bytes{0}, g_talk_misnamed{0};
std::atomic<uint64_t> g_talk_stamp_min{UINT64_MAX}, g_talk_stamp_max{0};
void talk_back(ko_p2p_audio_frame *frame, uint32_t seq, int media_type)
{
    g_talk_frames++;
    g_talk_bytes += frame->len;
    if (seq != frame->seq || media_type != 4 || frame->media_type != 4)
        g_talk_misnamed++;
    g_talk_stamp_min = std::min(g_talk_stamp_min.load(), frame->time_ms);
    g_talk_stamp_max = std::max(g_talk_stamp_max.load(), frame->time_ms);
}

class Phones : public SessionTest {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> g(g_lock);
            g_user_cmds.clear();
        }
        param_.user_recv_cmd = user_cmd;
        param_.recv_audio = talk_back;
        SessionTest::SetUp();
    }
};

TEST_F(Phones, LiveVideoStartsOnAKeyFrameAndStopsAndTheSlotIsFreed)
{
    ASSERT_TRUE(authorised(0));
    command(0, 258, R"({"videoquality":2})");
    ASSERT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= 30; }, 20s));
    const auto got = frames(0);
    EXPECT_EQ(got[0].seq % kSessionGop, 1) << "the first frame is a key frame";
    for (size_t i = 1; i < got.size(); i++)
        ASSERT_EQ(got[i].seq, got[i - 1].seq + 1) << "contiguous at " << i;
    for (const auto &f : got) {
        const std::vector<uint8_t> b = frame_payload(static_cast<uint32_t>(f.seq));
        ASSERT_EQ(f.length, static_cast<int64_t>(b.size()));
        ASSERT_EQ(f.crc, static_cast<int64_t>(ko_crc32_finish(ko_crc32_update(ko_crc32_init(), b.data(), b.size()))))
            << "seq " << f.seq;
    }
    command(0, 259, "");
    ASSERT_TRUE(zeltest::wait_until([&] { return !ko_p2p::g_vasq_ctrl.slots[0].video_on.load(); }, 10s));
    std::this_thread::sleep_for(300ms);
    const size_t stopped = frames(0).size();
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(frames(0).size(), stopped + 1) << "259 stops the video";
    phones_[0]->command(R"({"cmd":"disconnect"})");
    EXPECT_TRUE(zeltest::wait_until([&] { return phones_online() == 0; }, 15s)) << "the slot is free again";
}

TEST_F(Phones, LiveAudioStartsAndStops)
{
    ko_stream_chn_info &a = info_.stream_info[4];
    a.bitrate = 32;
    a.fps = 25;
    a.seconds = 4;
    ASSERT_EQ(ringbuffer_init(&a), 0);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<uint8_t> b(80, 0x5a);
        while (!stop.load()) {
            ko_av_frame f{};
            f.frame_type = KO_FRAME_TYPE_AUDIO;
            f.data = b.data();
            f.size = static_cast<uint32_t>(b.size());
            ringbuffer_put_frame(4, &f);
            std::this_thread::sleep_for(40ms);
        }
    });
    auto audio_frames = [&] {
        Json r = phones_[0]->received();
        json_object *list = member(member(r.get(), "frames"), "3");
        return list ? json_object_array_length(list) : 0;
    };
    const bool linked = authorised(0);
    if (linked) {
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(audio_frames(), 0u) << "no audio before 260";
        command(0, 260, "");
        EXPECT_TRUE(zeltest::wait_until([&] { return audio_frames() >= 10; }, 20s)) << "260 starts the audio";
        command(0, 261, "");
        EXPECT_TRUE(zeltest::wait_until([&] { return !ko_p2p::g_vasq_ctrl.slots[0].audio_on.load(); }, 10s));
        std::this_thread::sleep_for(300ms);
        const size_t stopped = audio_frames();
        std::this_thread::sleep_for(500ms);
        EXPECT_LE(audio_frames(), stopped + 1) << "261 stops the audio";
    }
    stop = true;
    producer.join();
    ringbuffer_free(4);
    ASSERT_TRUE(linked);
}

TEST_F(Phones, AStalledPhoneDoesNotHoldUpTheOther)
{
    ASSERT_TRUE(authorised(0));
    ASSERT_TRUE(authorised(1));
    phones_[1]->command(R"({"cmd":"stop_reading","channel":2})");
    command(1, 258, R"({"videoquality":2})");
    command(0, 258, R"({"videoquality":2})");
    ASSERT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= 20; }, 20s));
    // The stalled phone's send ring fills, and it restarts its video again and again meanwhile.
    for (int i = 0; i < 6; i++) {
        command(1, 258, R"({"videoquality":2})");
        std::this_thread::sleep_for(300ms);
    }
    const size_t before = frames(0).size();
    std::this_thread::sleep_for(2s);
    const auto got = frames(0);
    EXPECT_GE(got.size(), before + 20) << "about 40 frames in 2 s";
    for (size_t i = 1; i < got.size(); i++)
        ASSERT_EQ(got[i].seq, got[i - 1].seq + 1) << "no frame of the watching phone lost at " << i;
}

TEST_F(Phones, AListenRefusedWhileAPhoneWatchesTakesTheNextPhoneWhileTheFirstWatchesOn)
{
    ASSERT_TRUE(authorised(0));
    command(0, 258, R"({"videoquality":2})");
    ASSERT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= 5; }, 20s));
    // The servers call the camera's id out of date: the listen for the next phone ends with -9, which
    // it reports to them.
    const int since = net_.server_log_size();
    net_.server(R"({"cmd":"udp_script","server":-1,"result":254})");
    net_.server(R"({"cmd":"udp_send","server":0,"to":"camera","msg":"dev_lgn_ack","result":254})");
    ASSERT_TRUE(net_.server_wait(R"({"type":249})", since, 40000).get());
    net_.server(R"({"cmd":"udp_script","server":-1,"result":0})");
    const size_t watched = frames(0).size();
    EXPECT_TRUE(authorised(1)) << "a new phone links within the retry period and its login";
    EXPECT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= watched + 10; }, 10s)) << "the first watches on";
    EXPECT_EQ(phones_online(), 2);
}

TEST_F(Phones, CommandsOnRealSessions)
{
    ASSERT_TRUE(authorised(0));
    ASSERT_TRUE(authorised(1));
    command(0, 262, "{}");
    command(1, 262, "{}");
    ASSERT_TRUE(wait_reply(0, 263) && wait_reply(1, 263));
    std::multiset<std::string> answers{replies(0, 263)[0], replies(1, 263)[0]};
    EXPECT_EQ(answers, (std::multiset<std::string>{std::string(4, '\0'), std::string("\xff\xff\xff\xff", 4)}));
    const int talker = replies(0, 263)[0] == std::string(4, '\0') ? 0 : 1;
    g_talk_frames = g_talk_bytes = 0;
    const uint64_t talk_start = vexa_time_tick_ms();
    phones_[static_cast<size_t>(talker)]->command(R"({"cmd":"talk","channel":3,"frames":10,"size":160})");
    EXPECT_TRUE(zeltest::wait_until([] { return g_talk_frames.load() == 10; }, 10s)) << "talk-back reaches the app";
    EXPECT_EQ(g_talk_bytes.load(), 1600);
    EXPECT_EQ(g_talk_misnamed.load(), 0) << "each frame comes with its sequence and media type 4";
    EXPECT_GE(g_talk_stamp_min.load(), talk_start) << "the phone's time stamps";
    EXPECT_LE(g_talk_stamp_max.load(), vexa_time_tick_ms());
    command(0, 267, "");
    ASSERT_TRUE(wait_reply(0, 268));
    EXPECT_EQ(replies(0, 268)[0], std::string("g711a", 6));
    command(1, 272, "");
    ASSERT_TRUE(wait_reply(1, 273));
    Json info(json_tokener_parse(replies(1, 273)[0].c_str()));
    EXPECT_EQ(zeltest::string_member(info.get(), "did"), vasqtest::kDid);
    command(1, 274, R"({"operation":6})");
    ASSERT_TRUE(wait_reply(1, 275)) << "the app client's answer reaches the phone";
    EXPECT_EQ(replies(1, 275)[0], std::string(R"({"operation":6,"result":0})") + '\0');
    std::lock_guard<std::mutex> g(g_lock);
    ASSERT_EQ(g_user_cmds.size(), 1u);
    EXPECT_EQ(g_user_cmds[0].second, R"({"operation":6})");
}

} // namespace
} // namespace p2ptest
