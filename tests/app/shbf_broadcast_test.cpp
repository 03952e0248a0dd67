// The media app's shared-buffer broadcaster on the "nas_ev" loop against Python receivers written from
// the wire format: frames arrive whole with their flags and time stamps, messages back ask for key
// frames or play audio, a receiver that never reads costs only itself, and an endpoint that fails
// takes nothing else of the default loop with it.
#include <ev.h>
#include <errno.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/nas/ko_nas_ev.h"
#include "boardav_test.h"
#include "media_test_env.h"
#include "shbf_test.h"
#include "zel_shbf.h"
#include "zel_sound_play.h"

extern "C" int gs_zelmar_app_running;
int gs_zelmar_app_running = 1;

namespace {

using namespace std::chrono_literals;

struct TestFrame {
    std::vector<uint8_t> bytes;
    bool key;
    uint64_t ts;
};

std::vector<uint8_t> wire(const std::vector<TestFrame> &frames)
{
    std::vector<uint8_t> out;
    for (const TestFrame &f : frames) {
        uint8_t h[16];
        const uint32_t len = static_cast<uint32_t>(f.bytes.size()), flags = f.key ? 1 : 0;
        for (int i = 0; i < 4; ++i) {
            h[i] = static_cast<uint8_t>(len >> (8 * i));
            h[4 + i] = static_cast<uint8_t>(flags >> (8 * i));
        }
        for (int i = 0; i < 8; ++i)
            h[8 + i] = static_cast<uint8_t>(f.ts >> (8 * i));
        out.insert(out.end(), h, h + 16);
        out.insert(out.end(), f.bytes.begin(), f.bytes.end());
    }
    return out;
}

void destroy_all(struct ev_loop *, void *)
{
    for (shbf_server_t &server : shbf_server) {
        std::lock_guard<std::mutex> hold(server.lock);
        shbfev_brd_destroy(server.handle);
        server.handle = nullptr;
    }
}

class Broadcaster : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_ = std::make_unique<mediatest::Env>();
        ASSERT_EQ(zel_sound_play_init(), 0);
        ASSERT_EQ(ko_nas_ev_start(), 0);
        zel_shbf_init();
        ASSERT_TRUE(zeltest::wait_until([] { return created() == SHBF_TYPE_COUNT; }, 10s));
    }
    void TearDown() override
    {
        ko_nas_ev_stop(destroy_all, nullptr);
        zel_sound_play_deinit();
    }
    static int created()
    {
        int n = 0;
        for (shbf_server_t &server : shbf_server) {
            std::lock_guard<std::mutex> hold(server.lock);
            n += server.handle != nullptr;
        }
        return n;
    }
    std::string endpoint(const char *name) const { return env_->root().path(std::string("/run/") + name); }
    // A Python receiver of `name`; mode "receive" (into /tmp/<name>.bin) or "stall".
    std::unique_ptr<zeltest::ChildProcess> receiver(const char *name, const std::string &mode, int type,
                                                    const std::string &message_hex = "")
    {
        const int before = shbf_server[type].count;
        std::vector<std::string> args{endpoint(name), mode};
        if (mode == "receive")
            args.push_back(out(name));
        if (!message_hex.empty())
            args.push_back(message_hex);
        const std::string log = env_->root().path(std::string("/tmp/") + name + "_" + mode + ".log");
        auto child = std::make_unique<zeltest::ChildProcess>(zeltest::python_peer("shbf_peer.py", args),
                                                             std::vector<std::string>{}, log);
        EXPECT_TRUE(zeltest::wait_until([&] { return shbf_server[type].count > before; }, 10s));
        return child;
    }
    std::string out(const char *name) const { return env_->root().path(std::string("/tmp/") + name + ".bin"); }
    static std::vector<uint8_t> read(const std::string &path) { return mediatest::read_bytes(path); }
    static void *frame(int type, const TestFrame &f)
    {
        auto *shbf = static_cast<shbf_frame_t *>(shbfev_alloc(type, static_cast<int>(f.bytes.size())));
        if (!shbf)
            return nullptr;
        memcpy(shbf->data, f.bytes.data(), f.bytes.size());
        shbf->length = static_cast<uint32_t>(f.bytes.size());
        shbf->key = f.key ? 1 : 0;
        shbf->timestamp = f.ts;
        return shbf;
    }
    std::unique_ptr<mediatest::Env> env_;
};

std::vector<TestFrame> some_frames(size_t count, size_t size)
{
    std::vector<TestFrame> frames;
    uint32_t seed = 12345;
    for (size_t i = 0; i < count; ++i) {
        TestFrame f{std::vector<uint8_t>(size + i * 37), i % 5 == 0, 1700000000000ull + i * 40};
        for (uint8_t &b : f.bytes)
            b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
        frames.push_back(std::move(f));
    }
    return frames;
}

TEST_F(Broadcaster, AReceiverGetsEveryFrameWithItsFlagsAndTimeStamp)
{
    auto main_rx = receiver("video_mainstream", "receive", SHBF_TYPE_VIDEO_MAIN);
    const auto frames = some_frames(30, 20000);
    for (const TestFrame &f : frames)
        ASSERT_EQ(broadcast_av(SHBF_TYPE_VIDEO_MAIN, frame(SHBF_TYPE_VIDEO_MAIN, f)), 0);
    const std::vector<uint8_t> expected = wire(frames);
    EXPECT_TRUE(zeltest::wait_until([&] { return read(out("video_mainstream")).size() >= expected.size(); }, 10s));
    EXPECT_EQ(read(out("video_mainstream")), expected);
}

TEST_F(Broadcaster, WithoutReceiversAFrameIsFreedAndBadTypesAreRefused)
{
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(broadcast_av(SHBF_TYPE_VIDEO_SUB, frame(SHBF_TYPE_VIDEO_SUB, some_frames(1, 1000)[0])), 0);
    EXPECT_EQ(shbfev_alloc(SHBF_TYPE_COUNT, 100), nullptr);
    EXPECT_EQ(shbfev_alloc(-1, 100), nullptr);
    void *stray = shbfev_alloc(SHBF_TYPE_JPEG_SNAP, 100);
    ASSERT_NE(stray, nullptr);
    EXPECT_EQ(broadcast_av(SHBF_TYPE_COUNT, stray), -1) << "freed, not sent anywhere";
    EXPECT_EQ(broadcast_av(SHBF_TYPE_VIDEO_MAIN, nullptr), -1);
    // LeakSanitizer checks at exit that every frame was freed.
}

TEST_F(Broadcaster, OnlyAnExactKeyFrameRequestAsksTheBoardForKeyFrames)
{
    const std::string req = zeltest::hex(reinterpret_cast<const unsigned char *>("REQ_IDR"), 7);
    board_test_clear_calls();
    // "R", an empty message, "REQ_IDRX", then "REQ_IDR" without and with its NUL: two requests.
    auto rx = receiver("video_substream", "stall", SHBF_TYPE_VIDEO_SUB, "52,-," + req + "58," + req + "," + req + "00");
    EXPECT_TRUE(zeltest::wait_until([] { return mediatest::call_count("req_IDR()") >= 2; }, 5s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(mediatest::call_count("req_IDR()"), 2u);
}

TEST_F(Broadcaster, AudioSentToThePlayEndpointReachesTheSpeaker)
{
    board_test_clear_speaker_audio();
    std::vector<uint8_t> pcm(640);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<uint8_t>(i * 13);
    auto rx = receiver("audio_play", "stall", SHBF_TYPE_AUDIO_PLAY, zeltest::hex(pcm.data(), pcm.size()));
    EXPECT_TRUE(zeltest::wait_until([&] { return board_test_speaker_audio() == pcm; }, 10s));
    EXPECT_EQ(mediatest::call_count("req_IDR()"), 0u);
}

TEST_F(Broadcaster, AReceiverThatNeverReadsNeverStallsTheBroadcast)
{
    auto stalled = receiver("video_mainstream", "stall", SHBF_TYPE_VIDEO_MAIN);
    auto reading = receiver("video_mainstream", "receive", SHBF_TYPE_VIDEO_MAIN);
    const auto frames = some_frames(60, 150000);
    const auto start = std::chrono::steady_clock::now();
    for (const TestFrame &f : frames)
        ASSERT_EQ(broadcast_av(SHBF_TYPE_VIDEO_MAIN, frame(SHBF_TYPE_VIDEO_MAIN, f)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, zeltest::scaled(5s)) << "no broadcast waits for a receiver";
    EXPECT_EQ(shbf_server[SHBF_TYPE_VIDEO_MAIN].count, 2) << "the slow one loses frames, not its link";
    // The reading receiver's stream holds whole frames only, in order.
    const std::string path = out("video_mainstream");
    EXPECT_TRUE(zeltest::wait_until([&] { return read(path).size() >= 16; }, 10s));
    std::this_thread::sleep_for(500ms);
    const std::vector<uint8_t> got = read(path);
    size_t at = 0, last = 0, whole = 0;
    while (at + 16 <= got.size()) {
        uint32_t len = 0;
        memcpy(&len, &got[at], 4);
        ASSERT_LE(at + 16 + len, got.size()) << "a cut frame";
        bool matched = false;
        for (size_t i = last; i < frames.size() && !matched; ++i)
            if (frames[i].bytes.size() == len &&
                memcmp(frames[i].bytes.data(), &got[at + 16], len) == 0)
                matched = true, last = i + 1;
        ASSERT_TRUE(matched) << "frame at " << at;
        at += 16 + len;
        ++whole;
    }
    EXPECT_GT(whole, 0u);
}

std::atomic<int> g_ticks{0};
ev_timer g_timer;

void tick(struct ev_loop *, ev_timer *, int)
{
    ++g_ticks;
}

void start_timer(struct ev_loop *loop, void *)
{
    ev_timer_init(&g_timer, tick, 0.05, 0.05);
    ev_timer_start(loop, &g_timer);
}

void stop_timer(struct ev_loop *loop, void *)
{
    ev_timer_stop(loop, &g_timer);
}

void fail_raw_stream(struct ev_loop *, void *)
{
    shbfev_brd_test_fail(shbf_server[SHBF_TYPE_VIDEO_RAW].handle, EIO);
}

TEST_F(Broadcaster, AFailedEndpointEndsAloneAndTheDefaultLoopGoesOn)
{
    ASSERT_EQ(ko_nas_ev_call(start_timer, nullptr), 0);
    ASSERT_EQ(ko_nas_ev_call(fail_raw_stream, nullptr), 0);
    EXPECT_TRUE(zeltest::wait_until(
        [] {
            std::lock_guard<std::mutex> hold(shbf_server[SHBF_TYPE_VIDEO_RAW].lock);
            return shbf_server[SHBF_TYPE_VIDEO_RAW].handle == nullptr;
        },
        5s));
    EXPECT_EQ(created(), SHBF_TYPE_COUNT - 1);
    const int ticks = g_ticks;
    EXPECT_TRUE(zeltest::wait_until([&] { return g_ticks > ticks + 2; }, 5s)) << "a default-loop timer still fires";
    EXPECT_EQ(broadcast_av(SHBF_TYPE_VIDEO_RAW, shbf_frame_alloc(10)), 0) << "freed: the endpoint is gone";
    auto main_rx = receiver("video_mainstream", "receive", SHBF_TYPE_VIDEO_MAIN);
    ko_nas_ev_call(stop_timer, nullptr);
}

} // namespace
