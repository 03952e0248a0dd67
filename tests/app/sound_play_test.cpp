// The speaker queue and its playing thread against the simulated speaker (which plays in real time):
// prompts reach the speaker byte for byte in order, from the language folder or the default one; the
// speaker and echo canceller go on once per batch and off 5 s after the last one ended, never while a
// batch plays; talk-back chunk sizes pick the board call; a full queue and "call_on" empty it; bad
// input is refused; the media stop waits for a playing item before it closes the board.
#include "media_test_env.h"

#include "zel_media.h"
#include "zel_sound_play.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;
using mediatest::call_count;
using mediatest::call_time;

constexpr int64_t kBytesPerMs = 32;

class SoundPlay : public ::testing::Test {
protected:
    void start(const zeltest::FactoryEntries &rom = {})
    {
        env_ = std::make_unique<mediatest::Env>(rom);
        ASSERT_EQ(zel_sound_play_init(), 0);
    }
    void TearDown() override
    {
        board_test_hold_speaker(false);
        zel_sound_play_deinit();
    }
    // Waits until the speaker has played `bytes` in all.
    static bool played(uint64_t bytes, std::chrono::milliseconds limit = 10s)
    {
        return zeltest::wait_until([&] { return board_test_speaker_state().bytes_played >= bytes; }, limit);
    }
    std::unique_ptr<mediatest::Env> env_;
};

std::vector<uint8_t> cat(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    std::vector<uint8_t> out(a);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

TEST_F(SoundPlay, TwoPromptsPlayInOrderWithTheSpeakerOnOnceAndOffFiveSecondsAfter)
{
    start();
    const auto ding = mediatest::prompt_bytes("ding"), ok = mediatest::prompt_bytes("qrcode_success");
    ASSERT_FALSE(ding.empty());
    ASSERT_NE(ding, ok);
    ASSERT_EQ(zel_api_sound_play_file(25), 0);
    ASSERT_EQ(zel_api_sound_play_file(26), 0);
    ASSERT_TRUE(played(ding.size() + ok.size()));
    EXPECT_EQ(board_test_speaker_audio(), cat(ding, ok));
    EXPECT_EQ(board_test_speaker_state().bytes_while_disabled, 0u);

    ASSERT_TRUE(zeltest::wait_until([] { return board_test_speaker_state().enabled == 0; }, 8s));
    EXPECT_EQ(call_count("enable_speaker"), 1u);
    EXPECT_EQ(call_count("enable_aec"), 1u);
    EXPECT_EQ(call_count("disable_aec"), 1u);
    const int64_t on = call_time("enable_speaker");
    const int64_t second = call_time("play_sound(" + std::to_string(ok.size()) + ")");
    ASSERT_GT(second, on);
    const int64_t second_end = second + static_cast<int64_t>(ok.size()) * 1000 / kBytesPerMs;
    const int64_t off = call_time("disable_speaker");
    EXPECT_NEAR(static_cast<double>(off - second_end), 5e6, 0.3e6 * zeltest::time_scale());
    EXPECT_EQ(board_test_speaker_state().aec, 0);
}

TEST_F(SoundPlay, BatchesStartedAsTheSwitchOffFallsDueNeverPlayOnADisabledSpeaker)
{
    start();
    const std::vector<uint8_t> chunk(640, 0x5a); // 20 ms
    ASSERT_EQ(zel_api_play_audio_data(chunk.data(), chunk.size()), 0);
    ASSERT_TRUE(played(chunk.size()));
    const int64_t first = call_time("play_sound_ex(640)");
    const auto due = std::chrono::steady_clock::time_point(std::chrono::microseconds(first)) + 20ms + 5s;
    for (const auto offset : {-40ms, -15ms, 0ms, 10ms, 35ms}) {
        std::this_thread::sleep_until(due + offset);
        ASSERT_EQ(zel_api_play_audio_data(chunk.data(), chunk.size()), 0);
    }
    ASSERT_TRUE(played(6 * chunk.size()));
    EXPECT_EQ(board_test_speaker_state().bytes_while_disabled, 0u);
    EXPECT_EQ(board_test_speaker_audio().size(), 6 * chunk.size());
}

TEST_F(SoundPlay, ChunksUpTo1280BytesGoToTheTalkBackCall)
{
    start();
    const std::vector<uint8_t> a(1280, 1), b(1281, 2);
    ASSERT_EQ(zel_api_play_audio_data(a.data(), a.size()), 0);
    ASSERT_EQ(zel_api_play_audio_data(b.data(), b.size()), 0);
    ASSERT_TRUE(played(a.size() + b.size()));
    EXPECT_EQ(call_count("play_sound_ex(1280)"), 1u);
    EXPECT_EQ(call_count("play_sound(1281)"), 1u);
    EXPECT_EQ(board_test_speaker_audio(), cat(a, b));
}

TEST_F(SoundPlay, TheFourHundredFirstPendingItemEmptiesTheQueue)
{
    start();
    board_test_hold_speaker(true);
    const std::vector<uint8_t> first(320, 7), item(320, 8);
    ASSERT_EQ(zel_api_play_audio_data(first.data(), first.size()), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return call_count("play_sound_ex") == 1; }, 2s)) << "taken and held";
    for (int i = 0; i < SOUND_QUEUE_SLOTS; ++i)
        ASSERT_EQ(zel_api_play_audio_data(item.data(), item.size()), 0) << i;
    EXPECT_EQ(zel_api_play_audio_data(item.data(), item.size()), -1);
    board_test_hold_speaker(false);
    ASSERT_TRUE(played(first.size()));
    std::this_thread::sleep_for(zeltest::scaled(200ms));
    EXPECT_EQ(board_test_speaker_audio(), first) << "the 400 pending and the new one were dropped";
    const std::vector<uint8_t> after(320, 9);
    ASSERT_EQ(zel_api_play_audio_data(after.data(), after.size()), 0) << "the next append starts an empty queue";
    ASSERT_TRUE(played(first.size() + after.size()));
    EXPECT_EQ(board_test_speaker_audio(), cat(first, after));
}

TEST_F(SoundPlay, CallOnEmptiesTheQueue)
{
    start();
    board_test_hold_speaker(true);
    const std::vector<uint8_t> a(320, 1), b(320, 2);
    ASSERT_EQ(zel_api_play_audio_data(a.data(), a.size()), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return call_count("play_sound_ex") == 1; }, 2s));
    ASSERT_EQ(zel_api_play_audio_data(b.data(), b.size()), 0);
    ASSERT_EQ(zel_api_play_audio_data(b.data(), b.size()), 0);
    EXPECT_EQ(handle_zel_media_message(34, "call_on"), 0);
    board_test_hold_speaker(false);
    ASSERT_TRUE(played(a.size()));
    std::this_thread::sleep_for(zeltest::scaled(200ms));
    EXPECT_EQ(board_test_speaker_audio(), a);
}

TEST_F(SoundPlay, AnItemAppendedWhileTheQueueRanEmptyPlaysAtOnce)
{
    start();
    const std::vector<uint8_t> a(320, 1);
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        const auto before = board_test_speaker_state().bytes_played;
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(zel_api_play_audio_data(a.data(), a.size()), 0);
        ASSERT_TRUE(played(before + a.size(), 1s)) << "waited for a later append";
        EXPECT_LT(std::chrono::steady_clock::now() - sent, zeltest::scaled(200ms));
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
    }
}

TEST_F(SoundPlay, PromptsComeFromTheLanguageFolder)
{
    start({{"language", "en"}});
    const auto ding = mediatest::prompt_bytes("ding", "en");
    ASSERT_NE(ding, mediatest::prompt_bytes("ding"));
    ASSERT_EQ(zel_api_sound_play_file(25), 0);
    ASSERT_TRUE(played(ding.size()));
    EXPECT_EQ(board_test_speaker_audio(), ding);
}

class SoundPlayBadLanguage : public SoundPlay, public ::testing::WithParamInterface<const char *> {};

TEST_P(SoundPlayBadLanguage, FallsBackToTheDefaultFolder)
{
    start({{"language", GetParam()}});
    const auto alarm = mediatest::prompt_bytes("alarm1");
    ASSERT_EQ(zel_api_sound_play_file(22), 0);
    ASSERT_TRUE(played(alarm.size()));
    EXPECT_EQ(board_test_speaker_audio(), alarm);
}

// A folder that does not exist, and a language of 7 characters.
INSTANTIATE_TEST_SUITE_P(Languages, SoundPlayBadLanguage, ::testing::Values("xx", "english"));

TEST_F(SoundPlay, BadInputIsRefused)
{
    start();
    EXPECT_EQ(zel_api_sound_play_file(-1), -1);
    EXPECT_EQ(zel_api_sound_play_file(SOUND_PROMPT_COUNT), -1);
    const uint8_t byte = 0;
    EXPECT_EQ(zel_api_play_audio_data(nullptr, 10), -1);
    EXPECT_EQ(zel_api_play_audio_data(&byte, 0), -1);
    EXPECT_EQ(zel_api_play_audio_data(&byte, -5), -1);
    EXPECT_EQ(message_queue_append(nullptr), -1);
    zeltest::run_command("rm '" + env_->root().path("/mnt/data/sound/ota") + "'");
    EXPECT_EQ(zel_api_sound_play_file(21), -1) << "missing file";
    std::this_thread::sleep_for(zeltest::scaled(100ms));
    EXPECT_EQ(board_test_speaker_state().bytes_played, 0u);
}

TEST_F(SoundPlay, NothingIsTakenBeforeInitOrAfterDeinit)
{
    env_ = std::make_unique<mediatest::Env>();
    const uint8_t byte = 1;
    EXPECT_EQ(zel_api_play_audio_data(&byte, 1), -1);
    EXPECT_EQ(zel_api_sound_play_file(25), -1);
    ASSERT_EQ(zel_sound_play_init(), 0);
    zel_sound_play_deinit();
    EXPECT_EQ(zel_api_play_audio_data(&byte, 1), -1);
    EXPECT_EQ(zel_api_sound_play_file(25), -1);
}

// The stop closes the board only after the item that is playing has left the board.
TEST_F(SoundPlay, MediaStopWaitsForThePlayingItem)
{
    env_ = std::make_unique<mediatest::Env>();
    ASSERT_EQ(zel_media_init(), 0);
    board_test_hold_speaker(true);
    const std::vector<uint8_t> a(640, 3);
    ASSERT_EQ(zel_api_play_audio_data(a.data(), a.size()), 0);
    ASSERT_TRUE(zeltest::wait_until([] { return call_count("play_sound_ex") == 1; }, 2s));
    std::thread stop([] { zel_media_deinit(); });
    std::this_thread::sleep_for(zeltest::scaled(300ms));
    EXPECT_EQ(call_count("board_system_exit"), 0u) << "closed under a playing item";
    const int64_t released = mediatest::now_us();
    board_test_hold_speaker(false);
    stop.join();
    const int64_t closed = call_time("board_system_exit");
    ASSERT_GT(closed, 0);
    EXPECT_GE(closed, released + 20 * 1000) << "the 20-ms item ended first";
    EXPECT_EQ(zel_set_video_vflip(), -1) << "the board is stopped";
}

} // namespace
