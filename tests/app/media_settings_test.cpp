// The media app's image and speaker side: the stored settings applied at start, every agent key sent
// by an outside app (the Python peer) seen on the board, the pan-tilt head and the settings; the
// refusals before the board starts; snapshots that stay intact per thread; day/night requests that
// take effect in the order they were made.
#include "media_test_env.h"

#include "agent_server.h"
#include "agent_server_test.h"
#include "sdk_porting_double.h"
#include "zel_db/zel_db.h"
#include "zel_media.h"
#include "zel_peripheral_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;
using mediatest::store;
using mediatest::setting;
using mediatest::call_count;

class MediaSettings : public ::testing::Test {
protected:
    void SetUp() override { env_ = std::make_unique<mediatest::Env>(); }
    void TearDown() override
    {
        if (started_)
            zel_media_deinit();
    }
    void create()
    {
        ASSERT_NE(media_app_create(0), nullptr);
        started_ = true;
        ASSERT_TRUE(zeltest::wait_until([] { return agent_server_subscribers("set_ldc_cmd") > 0; }, 10s));
    }
    // Runs the agent peer with `messages`; its output.
    std::string send(const std::vector<std::string> &messages) { return mediatest::agent_send(messages); }
    // Sends `messages`, then a WDR switch as a barrier: once the board shows it, the messages before
    // it were handled (one receive thread, in order).
    void send_then_barrier(const std::vector<std::string> &messages)
    {
        barrier_ = 1 - barrier_;
        std::vector<std::string> all(messages);
        all.push_back("set_wdr_config_from_app=" + std::to_string(barrier_));
        send(all);
        ASSERT_TRUE(zeltest::wait_until([&] { return board_test_image_state().wdr == barrier_; }, 5s));
    }
    std::unique_ptr<mediatest::Env> env_;
    bool started_ = false;
    int barrier_ = 0;
};

TEST_F(MediaSettings, StoredSettingsAreAppliedAtStart)
{
    store("NVM.VIDEO:wdr", "1");
    store("NVM.VIDEO:flip", "1");
    store("NVM.VIDEO:watermark", "0");
    store("NVM.IPC:ldc_status", "1");
    store("NVM.IPC:speaker_volume", "70");
    store("NVM.IPC:speaker_mute", "1");
    create();
    const board_image_state image = board_test_image_state();
    EXPECT_EQ(image.wdr, 1);
    EXPECT_EQ(image.flip, 1);
    EXPECT_EQ(image.osd, 0);
    EXPECT_EQ(image.ldc, 1);
    const board_speaker_state speaker = board_test_speaker_state();
    EXPECT_EQ(speaker.vol_percent, 70);
    EXPECT_EQ(speaker.mute, 1);
}

TEST_F(MediaSettings, FlipFromTheAppTurnsTheImageTheHeadAndItsStoredPosition)
{
    store("NVM.VIDEO:flip", "0");
    store("NVM.IPC:motor", "[30,80]");
    create();
    const std::string out = send({"set_flip_config_from_app=1"});
    EXPECT_NE(out.find("sent {\"method\":\"set_flip_config_from_app\",\"params\":1}"), std::string::npos) << out;
    ASSERT_TRUE(zeltest::wait_until([] { return board_test_image_state().flip == 1; }, 5s));
    ASSERT_TRUE(zeltest::wait_until([] { return setting("NVM.IPC:motor") == "[70,20]"; }, 5s));
    EXPECT_EQ(periph_test_head().flip, 1);
    EXPECT_EQ(setting("NVM.VIDEO:flip"), "1");

    send_then_barrier({"set_flip_config_from_app=1"});
    EXPECT_EQ(call_count("set_video_Vflip"), 1u) << "an equal flip changes nothing";
    EXPECT_EQ(setting("NVM.IPC:motor"), "[70,20]");

    send_then_barrier({"21=0"});
    EXPECT_EQ(board_test_image_state().flip, 0);
    EXPECT_EQ(periph_test_head().flip, 0);
    EXPECT_EQ(setting("NVM.VIDEO:flip"), "0");
    EXPECT_EQ(setting("NVM.IPC:motor"), "[30,80]");
}

class MediaSettingsBadPosition : public MediaSettings, public ::testing::WithParamInterface<const char *> {};

TEST_P(MediaSettingsBadPosition, IsLeftAsItIs)
{
    store("NVM.VIDEO:flip", "0");
    store("NVM.IPC:motor", GetParam());
    create();
    send_then_barrier({"set_flip_config_from_app=1"});
    EXPECT_EQ(board_test_image_state().flip, 1);
    EXPECT_EQ(setting("NVM.IPC:motor"), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Positions, MediaSettingsBadPosition,
                         ::testing::Values("junk", "[30]", "[130,20]", "[-1,5]", "[30,80]x"));

TEST_F(MediaSettings, WatermarkFollowsTheSwitchMemberAndIgnoresOtherText)
{
    create();
    send_then_barrier({"set_logo_watermark_from_app={\"switch\":0}"});
    EXPECT_EQ(board_test_image_state().osd, 0);
    send_then_barrier({"26={\"switch\":1}"});
    EXPECT_EQ(board_test_image_state().osd, 1);
    const size_t calls = call_count("disable_osd") + call_count("enable_osd");
    send_then_barrier({"26=not json", "26={\"switch\":\"off\"}", "26={\"other\":0}", "26=[0]"});
    EXPECT_EQ(board_test_image_state().osd, 1);
    EXPECT_EQ(call_count("disable_osd") + call_count("enable_osd"), calls);
}

TEST_F(MediaSettings, SpeakerKeyAppliesTheStoredMuteOrVolume)
{
    store("NVM.IPC:speaker_mute", "0");
    store("NVM.IPC:speaker_volume", "40");
    create();
    store("NVM.IPC:speaker_mute", "1");
    store("NVM.IPC:speaker_volume", "55");
    send_then_barrier({"set_speaker_vol=mute"});
    EXPECT_EQ(board_test_speaker_state().mute, 1);
    EXPECT_EQ(board_test_speaker_state().vol_percent, 40) << "mute leaves the volume";
    send_then_barrier({"set_speaker_vol=80"});
    EXPECT_EQ(board_test_speaker_state().vol_percent, 55) << "the volume comes from the settings";
}

TEST_F(MediaSettings, SpeakerStatusSwitchesTheSubVideoFlag)
{
    create();
    send_then_barrier({"set_speaker_status=video_on"});
    EXPECT_EQ(__atomic_load_n(&dev_status.sub_video_switch, __ATOMIC_ACQUIRE), 1);
    send_then_barrier({"34=video_off"});
    EXPECT_EQ(__atomic_load_n(&dev_status.sub_video_switch, __ATOMIC_ACQUIRE), 0);
}

TEST_F(MediaSettings, WdrLensCorrectionAndTheIgnoredHotConfiguration)
{
    create();
    send_then_barrier({"set_ldc_cmd=1"});
    EXPECT_EQ(board_test_image_state().ldc, 1);
    send_then_barrier({"41=0"});
    EXPECT_EQ(board_test_image_state().ldc, 0);
    board_test_clear_calls();
    send_then_barrier({"set_hot_config_from_cloud={\"video\":{\"bitrate\":1}}"});
    const auto calls = board_test_calls();
    EXPECT_EQ(calls.size(), 1u) << "only the barrier's WDR call";
}

// A hostile app on the bus: wrong types, oversized text and a flood. The module keeps its state sane,
// stays registered and serves the next message.
TEST_F(MediaSettings, JunkAndFloodsFromAnotherAppLeaveTheModuleServing)
{
    store("NVM.VIDEO:flip", "0");
    store("NVM.IPC:motor", "[30,80]");
    create();
    const board_image_state before = board_test_image_state();
    std::vector<std::string> junk{"21=\"one\"",
                                  "21=[1]",
                                  "21=null",
                                  "26=12",
                                  "26=null",
                                  "33=7",
                                  "33=null",
                                  "34=[\"call_on\"]",
                                  "37=\"1\"",
                                  "41={}",
                                  "26={\"switch\":\"" + std::string(60000, 'x') + "\"}"};
    for (int i = 0; i < 300; ++i)
        junk.push_back("22=flood" + std::to_string(i));
    send_then_barrier(junk);
    const board_image_state after = board_test_image_state();
    EXPECT_EQ(after.flip, before.flip);
    EXPECT_EQ(after.osd, before.osd);
    EXPECT_EQ(setting("NVM.IPC:motor"), "[30,80]");
    send_then_barrier({"set_ldc_cmd=1"});
    EXPECT_EQ(board_test_image_state().ldc, 1);
}

// The agent server goes away and comes back: the module connects and registers again.
TEST_F(MediaSettings, TheModuleRejoinsARestartedAgentServer)
{
    create();
    agent_server_stop();
    ASSERT_EQ(agent_server_init(), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return agent_server_subscribers("set_ldc_cmd") > 0; }, 15s));
    send_then_barrier({"set_ldc_cmd=1"});
    EXPECT_EQ(board_test_image_state().ldc, 1);
}

TEST_F(MediaSettings, WrappersRefuseBeforeTheBoardStarts)
{
    const int one = 1;
    board_test_clear_calls();
    EXPECT_EQ(zel_set_video_vflip(), -1);
    EXPECT_EQ(zel_req_IDR(), -1);
    EXPECT_EQ(zel_req_IDR_one(0), -1);
    int mode = -1;
    EXPECT_EQ(zel_get_isp_dnmode(&mode), -1);
    EXPECT_EQ(zel_set_isp_dnmode(1), -1);
    void *jpeg = nullptr;
    int len = 0;
    EXPECT_EQ(zel_media_get_snapshot(&jpeg, &len), -1);
    zel_wdr_set("1");
    EXPECT_EQ(handle_zel_media_message(41, &one), 0);
    EXPECT_TRUE(board_test_calls().empty()) << "no board call before the start";
}

TEST_F(MediaSettings, SnapshotIsAJpegOfTheSubStreamSize)
{
    create();
    void *jpeg = nullptr;
    int len = 0;
    ASSERT_GT(zel_media_get_snapshot(&jpeg, &len), 0);
    const std::string path = env_->root().path("/tmp/snap.jpg");
    std::ofstream(path, std::ios::binary).write(static_cast<const char *>(jpeg), len);
    std::string size;
    zeltest::run_command("ffprobe -v error -show_entries stream=width,height -of csv=p=0 '" + path + "'", &size);
    EXPECT_EQ(size, "864,480\n");
    EXPECT_EQ(g_jpeg_is_getting, 1);
}

TEST_F(MediaSettings, ASnapshotLongerThanTheBufferGivesNoBytes)
{
    create();
    void *jpeg = nullptr;
    int len = -1;
    board_test_misreport_jpeg_length(131073);
    EXPECT_EQ(zel_media_get_snapshot(&jpeg, &len), 0);
    EXPECT_EQ(len, 0);
    board_test_misreport_jpeg_length(131072);
    EXPECT_EQ(zel_media_get_snapshot(&jpeg, &len), 131072) << "exactly the buffer is fine";
}

// A snapshot taken on one thread, even a failed one, leaves the JPEG another thread still holds.
TEST_F(MediaSettings, SnapshotsOnTwoThreadsEachStayIntact)
{
    create();
    void *mine = nullptr;
    int mine_len = 0;
    ASSERT_GT(zel_media_get_snapshot(&mine, &mine_len), 0);
    const std::vector<uint8_t> want(static_cast<uint8_t *>(mine), static_cast<uint8_t *>(mine) + mine_len);
    std::thread([] {
        board_test_fail("get_jpeg_snap", -1, 1);
        void *other = nullptr;
        int other_len = -1;
        EXPECT_EQ(zel_media_get_snapshot(&other, &other_len), 0);
        EXPECT_EQ(other_len, 0);
    }).join();
    EXPECT_TRUE(std::equal(want.begin(), want.end(), static_cast<uint8_t *>(mine)));

    std::atomic<int> torn{0};
    auto taker = [&] {
        for (int i = 0; i < 30; ++i) {
            void *p = nullptr;
            int n = 0;
            if (zel_media_get_snapshot(&p, &n) != static_cast<int>(want.size()) ||
                !std::equal(want.begin(), want.end(), static_cast<uint8_t *>(p)))
                ++torn;
            std::this_thread::yield();
            if (!std::equal(want.begin(), want.end(), static_cast<uint8_t *>(p)))
                ++torn;
        }
    };
    std::thread a(taker), b(taker);
    a.join();
    b.join();
    EXPECT_EQ(torn, 0);
}

TEST_F(MediaSettings, DayNightRequestsTakeEffectInOrder)
{
    ASSERT_EQ(zel_media_init(), 0);
    started_ = true;
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(zel_set_isp_dnmode(i % 2), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return call_count("set_isp_dnmode") == 6; }, 5s));
    std::vector<std::string> want, got;
    for (int i = 0; i < 6; ++i)
        want.push_back("set_isp_dnmode(" + std::to_string(i % 2) + ")");
    for (const std::string &c : board_test_calls())
        if (c.rfind("set_isp_dnmode", 0) == 0)
            got.push_back(c);
    EXPECT_EQ(got, want);
    int mode = -1;
    ASSERT_EQ(zel_get_isp_dnmode(&mode), 0);
    EXPECT_EQ(mode, 1);

    // A burst beyond what may wait drops the oldest waiting requests, never the newest.
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(zel_set_isp_dnmode(i == 39 ? 0 : 1), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return board_test_image_state().dnmode == 0; }, 5s));
    std::this_thread::sleep_for(zeltest::scaled(100ms));
    EXPECT_EQ(board_test_calls().back(), "set_isp_dnmode(0)");
}

TEST_F(MediaSettings, AFailedDayNightSwitchIsRetriedAfterTenSecondsUnlessANewerOneCame)
{
    ASSERT_EQ(zel_media_init(), 0);
    started_ = true;
    board_test_fail("set_isp_dnmode", -1, 1);
    ASSERT_EQ(zel_set_isp_dnmode(1), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return call_count("set_isp_dnmode(1)") == 2; }, 13s));
    const auto calls = board_test_timed_calls();
    std::vector<int64_t> at;
    for (const sim::TimedCall &c : calls)
        if (c.text == "set_isp_dnmode(1)")
            at.push_back(c.mono_us);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_NEAR(static_cast<double>(at[1] - at[0]), 10e6, 0.5e6 * zeltest::time_scale());

    board_test_fail("set_isp_dnmode", -1, 1);
    ASSERT_EQ(zel_set_isp_dnmode(0), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return call_count("set_isp_dnmode(0)") == 1; }, 2s));
    ASSERT_EQ(zel_set_isp_dnmode(1), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return call_count("set_isp_dnmode(1)") == 3; }, 2s));
    std::this_thread::sleep_for(zeltest::scaled(11s));
    EXPECT_EQ(call_count("set_isp_dnmode(0)"), 1u) << "the newer request took the retry's place";
    int mode = -1;
    ASSERT_EQ(zel_get_isp_dnmode(&mode), 0);
    EXPECT_EQ(mode, 1);
}

} // namespace
