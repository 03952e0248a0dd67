// The frame ring buffer on one thread (plus a helper thread where a reader waits): set-up and its
// refusals, puts, the reader cursors and lag rules, the look-ups, and the statistics report.
#include "ko_ringbuffer_test.h"

#include <algorithm>
#include <json-c/json.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/report_stat/ko_report_stat.h"
#include "common/ringbuffer/ko_ringbuffer_internal.h"

using namespace ringtest;
using namespace std::chrono;

namespace {

// Channel `ch`'s entry of the member `key` in the statistics report.
int64_t stat_of(const char *key, unsigned ch)
{
    char text[4096];
    if (ringbuffer_stat_json(text, sizeof text) < 0)
        return -1;
    json_object *root = json_tokener_parse(text);
    json_object *v = nullptr;
    int64_t value = -1;
    if (root && json_object_object_get_ex(root, key, &v) && json_object_is_type(v, json_type_array) &&
        json_object_array_length(v) == KO_STREAM_CHN_MAX)
        value = json_object_get_int64(json_object_array_get_idx(v, ch));
    json_object_put(root);
    return value;
}

// What reached the RPC link: the "_async.stat" texts the reports became.
std::mutex g_rpc_lock;
std::vector<std::string> g_rpc_texts;
void on_rpc(const ko_message_arg *arg)
{
    std::lock_guard<std::mutex> guard(g_rpc_lock);
    g_rpc_texts.emplace_back(static_cast<const char *>(arg->param), arg->len);
}

std::atomic<int> g_force_calls{0};
void count_force(int) { g_force_calls++; }

} // namespace

TEST_F(Ring, SizingFollowsSecondsBitrateFpsAndGop)
{
    ko_stream_chn_info info = video_info(0, 1000, 15, 30, 9);
    ASSERT_EQ(ringbuffer_init(&info), 0);
    EXPECT_EQ(ringbuffer_get_channel_is_init(0), 1);
    EXPECT_EQ(stat_of("buf_pool_size", 0), 1152000);
    EXPECT_EQ(stat_of("node_num", 0), 135);
    EXPECT_EQ(stat_of("maxFrameSize", 0), 256000);
    EXPECT_EQ(stat_of("maxBufferSec", 0), 9);
    EXPECT_EQ(ringbuffer_get_max_frame_size(0), 256000u);

    ko_stream_chn_info a = audio_info(4, 256, 25, 7); // the camera's audio channel
    ASSERT_EQ(ringbuffer_init(&a), 0);
    EXPECT_EQ(ringbuffer_get_max_frame_size(4), 256u * 256);
    EXPECT_EQ(stat_of("buf_pool_size", 4), 7 * 256 * 128);
    EXPECT_EQ(stat_of("inited", 4), 1);
    EXPECT_EQ(stat_of("inited", 3), 0);

    // A ring no longer than its GOP (or than two seconds of audio) keeps a second of area beyond its
    // largest frame, half of a one-second ring.
    ko_stream_chn_info short_video = video_info(1, 1000, 20, 60, 2);
    ASSERT_EQ(ringbuffer_init(&short_video), 0);
    EXPECT_EQ(ringbuffer_get_max_frame_size(1), 1000u * 128);
    ko_stream_chn_info short_audio = audio_info(8, 256, 25, 1);
    ASSERT_EQ(ringbuffer_init(&short_audio), 0);
    EXPECT_EQ(ringbuffer_get_max_frame_size(8), 256u * 64);
}

TEST_F(Ring, RefusesParametersItCannotWorkWith)
{
    EXPECT_EQ(ringbuffer_init(nullptr), -5);
    ko_stream_chn_info bad = video_info(9, 1000, 20, 60, 7);
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    bad = video_info(0, 0, 20, 60, 7);
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    bad = video_info(0, 4194305, 20, 60, 7);
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    bad = video_info(0, 1000, 0, 60, 7);
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    bad = video_info(0, 1000, 20, 20, 0); // nothing to buffer
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    // A GOP shorter than a second would make the largest frame 0 bytes.
    bad = video_info(0, 1000, 20, 10, 7);
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    // Sizes past 32 bits.
    bad = video_info(0, 4194304, 20, 20, 20);
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    bad = audio_info(4, 1, 0x40000000, 20);
    EXPECT_EQ(ringbuffer_init(&bad), -5);
    for (unsigned c = 0; c < KO_STREAM_CHN_MAX; c++)
        EXPECT_EQ(ringbuffer_get_channel_is_init(c), 0);

    ko_stream_chn_info ok = video_info(0, 1000, 20, 60, 5);
    ASSERT_EQ(ringbuffer_init(&ok), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 1), 0);
    ko_stream_chn_info again = video_info(0, 300, 20, 60, 7);
    EXPECT_EQ(ringbuffer_init(&again), -8);
    EXPECT_EQ(ringbuffer_get_max_frame_size(0), 1000u * 128 * 3);
    EXPECT_EQ(ringbuffer_is_ready(0), 0);
}

TEST_F(Ring, PutAcceptsUpToTheLargestFrameAndCountsRefusals)
{
    ko_stream_chn_info a = audio_info(4, 16, 25, 3); // 6144-byte area, largest frame 4096
    ASSERT_EQ(ringbuffer_init(&a), 0);
    EXPECT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 1, 4096), 0);
    EXPECT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 2, 4097), -5);
    ko_av_frame empty;
    memset(&empty, 0, sizeof empty);
    EXPECT_EQ(ringbuffer_put_frame(4, &empty), -5);
    EXPECT_EQ(ringbuffer_put_frame(4, nullptr), -5);
    EXPECT_EQ(put(5, KO_FRAME_TYPE_I, 3), -8);
    EXPECT_EQ(put(9, KO_FRAME_TYPE_I, 4), -5);
    EXPECT_EQ(stat_of("put_frame_err_times", 4), 2);
    EXPECT_EQ(stat_of("put_frame_err_times", 5), 1);
    EXPECT_EQ(stat_of("put_frame_err_times", 0), 1);
    EXPECT_EQ(stat_of("put_frame_max", 4), 4097);
    EXPECT_EQ(stat_of("p_frame_in", 4), 1);
}

TEST_F(Ring, FrameEndingAtTheAreaEndGoesToTheStart)
{
    ko_stream_chn_info a = audio_info(4, 16, 25, 3); // 6144 bytes
    ASSERT_EQ(ringbuffer_init(&a), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 1, 2048), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 2, 4096), 0); // 2048 + 4096 == 6144
    const auto &c = ko_ringbuf::g_chn[4];
    EXPECT_EQ(c.nodes[1].pos % c.pool_size, 0u);
    EXPECT_EQ(c.nodes[2].pos % c.pool_size, 0u);
    EXPECT_EQ(c.nodes[2].pos, 6144u);
}

TEST_F(Ring, TimeStampZeroBecomesTheMonotonicClock)
{
    use_fake_clock(5000123456ull);
    ko_stream_chn_info a = audio_info(4, 256, 25, 7);
    ASSERT_EQ(ringbuffer_init(&a), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 1), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 2, 64, 777), 0);
    ko_av_frame f;
    uint32_t index = 0;
    ASSERT_EQ(ringbuffer_get_pre_frame(4, 2, &index, &f), 0);
    EXPECT_EQ(f.timestamp_us, 5000123456ull);
    EXPECT_EQ(f.timestamp_s, 5000u);
    EXPECT_EQ(f.seq_no, 1u);
    EXPECT_EQ(f.node_index, 1u);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(f.frame_tag, 0u);
    EXPECT_EQ(f.data, nullptr);
    ASSERT_EQ(ringbuffer_get_pre_frame(4, 1, &index, &f), 0);
    EXPECT_EQ(f.timestamp_us, 777u);
    EXPECT_EQ(f.seq_no, 2u);
}

TEST_F(Ring, ReadsBeforeSetUpOrFirstPutGiveNothing)
{
    ko_av_frame f;
    uint8_t b[64];
    EXPECT_EQ(ringbuffer_get_video_frame(0, 0, &f, b, sizeof b), -8);
    EXPECT_EQ(ringbuffer_get_video_frame(9, 0, &f, b, sizeof b), -5);
    EXPECT_EQ(ringbuffer_get_video_frame(0, 8, &f, b, sizeof b), -5);
    ko_stream_chn_info v = video_info(0, 1000, 20, 20, 5);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    EXPECT_EQ(ringbuffer_get_video_frame(0, 0, &f, b, sizeof b), -10);
    EXPECT_EQ(ringbuffer_is_ready(0), -10);
    EXPECT_EQ(ringbuffer_is_ready(1), -1);
    EXPECT_EQ(ringbuffer_is_ready(9), -8);
    EXPECT_EQ(stat_of("get_no_frame_times", 0), 2);
}

TEST_F(Ring, AudioReaderJumpsToNewestAndNeverGetsItTwice)
{
    ko_stream_chn_info a = audio_info(4, 256, 25, 7);
    ASSERT_EQ(ringbuffer_init(&a), 0);
    for (uint32_t i = 1; i <= 10; i++)
        ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, i), 0);
    ko_av_frame f;
    ASSERT_EQ(audio(4, 2, &f), 0); // cleared cursor: lagging, moved to the newest
    EXPECT_EQ(f.seq_no, 10u);
    EXPECT_EQ(id_of(f), 10u);
    EXPECT_EQ(f.frame_type, (uint32_t)KO_FRAME_TYPE_AUDIO);
    EXPECT_EQ(audio(4, 2, &f), -1);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 11), 0);
    EXPECT_EQ(audio(4, 2, &f), -1); // the newest waits for a newer frame
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 12), 0);
    ASSERT_EQ(audio(4, 2, &f), 0);
    EXPECT_EQ(id_of(f), 11u);
    EXPECT_EQ(audio(4, 2, &f), -1);

    // Fall more than fps * (seconds - 1) behind: the next read is the newest frame again.
    for (uint32_t i = 13; i <= 13 + 25 * 6; i++)
        ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, i), 0);
    ASSERT_EQ(audio(4, 2, &f), 0);
    EXPECT_EQ(id_of(f), 13u + 25 * 6);
    EXPECT_EQ(stat_of("p_frame_out", 4), 3);
}

TEST_F(Ring, AudioReaderFarBehindInBytesIsMovedForward)
{
    ko_stream_chn_info a = audio_info(4, 16, 25, 3); // 6144 bytes, largest 4096: lag at 2048
    ASSERT_EQ(ringbuffer_init(&a), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 1, 512), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 2, 512), 0);
    ko_av_frame f;
    ASSERT_EQ(audio(4, 0, &f), 0);
    EXPECT_EQ(id_of(f), 2u);
    for (uint32_t i = 3; i <= 7; i++)
        ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, i, 512), 0);
    ASSERT_EQ(audio(4, 0, &f), 0); // 3 is 2048 bytes behind 7
    EXPECT_EQ(id_of(f), 7u);
}

TEST_F(Ring, VideoReaderStartsAtTheLastKeyFrameAndGoesOn)
{
    for (uint32_t secs : {5u, 1u}) { // a one-second ring lets a reader trail by half of it
        SCOPED_TRACE(secs);
        ringbuffer_free(0);
        ringbuffer_stat_reset();
        ko_stream_chn_info v = video_info(0, 1000, 10, 10, secs);
        ASSERT_EQ(ringbuffer_init(&v), 0);
        ASSERT_EQ(put(0, KO_FRAME_TYPE_P, 1), 0);
        ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 2), 0);
        for (uint32_t i = 3; i <= 5; i++)
            ASSERT_EQ(put(0, KO_FRAME_TYPE_P, i), 0);
        ko_av_frame f;
        ASSERT_EQ(video(0, 0, &f), 0);
        EXPECT_EQ(id_of(f), 2u);
        EXPECT_EQ(f.frame_type, (uint32_t)KO_FRAME_TYPE_I);
        EXPECT_EQ(f.frame_tag, 2u);
        ASSERT_EQ(video(0, 0, &f), 0);
        EXPECT_EQ(id_of(f), 3u);
        ASSERT_EQ(video(0, 0, &f), 0);
        EXPECT_EQ(id_of(f), 4u);
        EXPECT_EQ(video(0, 0, &f), -1);
        EXPECT_EQ(stat_of("i_frame_out", 0), 1);
        EXPECT_EQ(stat_of("p_frame_out", 0), 2);
    }
}

TEST_F(Ring, SlowVideoReaderFallsBackToAKeyFrameAndGoesOn)
{
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 5);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    uint32_t id = 1;
    auto gop = [&] {
        ASSERT_EQ(put(0, KO_FRAME_TYPE_I, id++), 0);
        for (int i = 0; i < 9; i++)
            ASSERT_EQ(put(0, KO_FRAME_TYPE_P, id++), 0);
    };
    gop();
    ko_av_frame f;
    ASSERT_EQ(video(0, 1, &f), 0);
    EXPECT_EQ(id_of(f), 1u);
    for (int g = 0; g < 6; g++) // 60 frames: more than fps * (seconds - 1) = 40 behind
        gop();
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, id++), 0); // 71
    ASSERT_EQ(put(0, KO_FRAME_TYPE_P, id++), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_P, id++), 0);
    ASSERT_EQ(video(0, 1, &f), 0);
    EXPECT_EQ(id_of(f), 71u);
    EXPECT_EQ(f.frame_type, (uint32_t)KO_FRAME_TYPE_I);
    ASSERT_EQ(video(0, 1, &f), 0);
    EXPECT_EQ(id_of(f), 72u);
}

TEST_F(Ring, LaggingVideoReaderAsksForAKeyFrameAndTakesTheFreshOne)
{
    g_force_calls = 0;
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 5, count_force);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 1), 0);
    for (uint32_t i = 2; i <= 20; i++) // the key frame is 19 frames old, more than fps
        ASSERT_EQ(put(0, KO_FRAME_TYPE_P, i), 0);
    std::thread encoder([] {
        ASSERT_TRUE(zeltest::wait_until([] { return g_force_calls.load() > 0; }, seconds(5)));
        ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 21), 0);
        ASSERT_EQ(put(0, KO_FRAME_TYPE_P, 22), 0);
    });
    ko_av_frame f;
    int rc = video(0, 3, &f);
    encoder.join();
    if (rc == -1) // the key frame arrived as the newest: delivered once a newer frame is there
        rc = video(0, 3, &f);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(id_of(f), 21u);
    EXPECT_EQ(g_force_calls.load(), 1);
    ASSERT_EQ(video(0, 3, &f), -1);
    EXPECT_GE(stat_of("I_force_ms", 0), 0);
}

TEST_F(Ring, VideoReaderWaitForAKeyFrameIsBounded)
{
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 5); // gives up after 2 s
    ASSERT_EQ(ringbuffer_init(&v), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 1), 0);
    for (uint32_t i = 2; i <= 20; i++)
        ASSERT_EQ(put(0, KO_FRAME_TYPE_P, i), 0);
    ko_av_frame f;
    const auto t0 = steady_clock::now();
    EXPECT_EQ(video(0, 0, &f), -1);
    const auto waited = steady_clock::now() - t0;
    EXPECT_GE(waited, milliseconds(1900));
    EXPECT_LT(waited, seconds(20));
}

TEST_F(Ring, NonWaitingVideoReadAsksOnceAndTakesTheKeyFrameLater)
{
    g_force_calls = 0;
    use_fake_clock(1000000);
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 5, count_force);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 1), 0);
    for (uint32_t i = 2; i <= 20; i++)
        ASSERT_EQ(put(0, KO_FRAME_TYPE_P, i), 0);
    buf_.resize(ringbuffer_get_max_frame_size(0));
    ko_av_frame f;
    const auto t0 = steady_clock::now();
    for (int pass = 0; pass < 5; pass++) // the fake clock stands still: one request only
        EXPECT_EQ(ringbuffer_try_get_video_frame(0, 2, &f, buf_.data(), (uint32_t)buf_.size()), -1);
    EXPECT_LT(steady_clock::now() - t0, seconds(1)) << "never waits";
    EXPECT_EQ(g_force_calls.load(), 1);
    g_fake_us += 3000000; // past the key-frame wait: asked again
    EXPECT_EQ(ringbuffer_try_get_video_frame(0, 2, &f, buf_.data(), (uint32_t)buf_.size()), -1);
    EXPECT_EQ(g_force_calls.load(), 2);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 21), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_P, 22), 0);
    ASSERT_EQ(ringbuffer_try_get_video_frame(0, 2, &f, buf_.data(), (uint32_t)buf_.size()), 0);
    EXPECT_EQ(id_of(f), 21u);
    ASSERT_EQ(ringbuffer_try_get_video_frame(0, 2, &f, buf_.data(), (uint32_t)buf_.size()), -1) << "22 is the newest";
    ASSERT_EQ(put(0, KO_FRAME_TYPE_P, 23), 0);
    ASSERT_EQ(ringbuffer_try_get_video_frame(0, 2, &f, buf_.data(), (uint32_t)buf_.size()), 0);
    EXPECT_EQ(id_of(f), 22u);
    EXPECT_EQ(g_force_calls.load(), 2);
}

TEST_F(Ring, FreeingAChannelReleasesAWaitingReader)
{
    ko_stream_chn_info v = video_info(0, 1000, 10, 20, 9); // would wait 3 s
    ASSERT_EQ(ringbuffer_init(&v), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 1), 0);
    for (uint32_t i = 2; i <= 20; i++)
        ASSERT_EQ(put(0, KO_FRAME_TYPE_P, i), 0);
    std::atomic<int> rc{1};
    std::atomic<bool> started{false};
    std::thread reader([&] {
        std::vector<uint8_t> b(ringbuffer_get_max_frame_size(0));
        ko_av_frame f;
        started = true;
        rc = ringbuffer_get_video_frame(0, 0, &f, b.data(), (uint32_t)b.size());
    });
    ASSERT_TRUE(zeltest::wait_until([&] { return started.load(); }, seconds(5)));
    std::this_thread::sleep_for(milliseconds(100));
    const auto t0 = steady_clock::now();
    ringbuffer_free(0);
    EXPECT_LT(steady_clock::now() - t0, zeltest::scaled(seconds(2)));
    reader.join();
    EXPECT_EQ(rc.load(), -8);
    EXPECT_EQ(ringbuffer_get_channel_is_init(0), 0);
    // The channel can be set up again afterwards.
    ASSERT_EQ(ringbuffer_init(&v), 0);
    EXPECT_EQ(ringbuffer_is_ready(0), -10);
}

TEST_F(Ring, ReaderBufferTooSmallSkipsTheFrame)
{
    ko_stream_chn_info a = audio_info(4, 256, 25, 7);
    ASSERT_EQ(ringbuffer_init(&a), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 1, 100), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 2, 10), 0);
    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 3, 10), 0);
    ko_av_frame f;
    uint8_t small[50];
    ASSERT_EQ(ringbuffer_get_pre_frame(4, 3, nullptr, &f), 0);
    ringbuffer_mark_user_to_node(4, 0, &f);
    EXPECT_EQ(ringbuffer_get_audio_frame(4, 0, &f, small, sizeof small), -5);
    ASSERT_EQ(ringbuffer_get_audio_frame(4, 0, &f, small, sizeof small), 0);
    EXPECT_EQ(id_of(f), 2u);
    EXPECT_EQ(ringbuffer_get_audio_frame(4, 0, nullptr, small, sizeof small), -5);
}

TEST_F(Ring, MarkResetAndCaughtUpTest)
{
    ko_stream_chn_info v = video_info(1, 300, 20, 60, 7);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    ASSERT_EQ(put(1, KO_FRAME_TYPE_I, 1), 0);
    for (uint32_t i = 2; i <= 30; i++)
        ASSERT_EQ(put(1, KO_FRAME_TYPE_P, i), 0);
    ko_av_frame node, f;
    uint32_t index = 0;
    ASSERT_EQ(ringbuffer_get_pre_frame(1, 10, &index, &node), 0);
    EXPECT_EQ(node.seq_no, 21u);
    EXPECT_EQ(index, 21u);
    ringbuffer_mark_user_to_node(1, 4, &node);
    EXPECT_EQ(ringbuffer_no_cache_data(1, 4), -1);
    ASSERT_EQ(video(1, 4, &f), 0); // the marked node itself
    EXPECT_EQ(id_of(f), 21u);
    for (int i = 0; i < 6; i++)
        ASSERT_EQ(video(1, 4, &f), 0);
    EXPECT_EQ(id_of(f), 27u);
    EXPECT_EQ(ringbuffer_no_cache_data(1, 4), 0);
    EXPECT_EQ(ringbuffer_no_cache_data(1, 8), -1);
    EXPECT_EQ(ringbuffer_no_cache_data(9, 0), -1);

    ASSERT_EQ(put(1, KO_FRAME_TYPE_I, 31), 0);
    ASSERT_EQ(put(1, KO_FRAME_TYPE_P, 32), 0);
    EXPECT_EQ(ringbuffer_reset_user_state(1, 4), 0);
    EXPECT_EQ(ringbuffer_no_cache_data(1, 4), -1);
    ASSERT_EQ(video(1, 4, &f), 0); // resynchronised on the newest key frame
    EXPECT_EQ(id_of(f), 31u);
    EXPECT_EQ(ringbuffer_reset_user_state(1, 8), -5);
    EXPECT_EQ(ringbuffer_reset_user_state(2, 0), -1);

    node.node_index = 1000;
    ringbuffer_mark_user_to_node(1, 5, &node); // refused: cursor stays cleared
    ringbuffer_mark_user_to_node(1, 5, nullptr);
    EXPECT_EQ(ringbuffer_no_cache_data(1, 5), -1);
}

TEST_F(Ring, PreFrameIndexesAreChecked)
{
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 4); // back at most (4 - 2) * 10 = 20
    ASSERT_EQ(ringbuffer_init(&v), 0);
    ko_av_frame f;
    uint32_t index;
    EXPECT_EQ(ringbuffer_get_pre_frame(0, 1, &index, &f), -10);
    for (uint32_t i = 1; i <= 45; i++)
        ASSERT_EQ(put(0, i % 10 == 1 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P, i), 0);
    ASSERT_EQ(ringbuffer_get_pre_frame(0, 1, &index, &f), 0);
    EXPECT_EQ(f.seq_no, 45u);
    EXPECT_EQ(index, 45u % 40);
    ASSERT_EQ(ringbuffer_get_pre_frame(0, 20, &index, &f), 0);
    EXPECT_EQ(f.seq_no, 26u);
    EXPECT_EQ(ringbuffer_get_pre_frame(0, 21, &index, &f), -5);
    EXPECT_EQ(ringbuffer_get_pre_frame(0, 0, &index, &f), -5);
    EXPECT_EQ(ringbuffer_get_pre_frame(9, 1, &index, &f), -5);
    EXPECT_EQ(ringbuffer_get_pre_frame(2, 1, &index, &f), -1);
    EXPECT_EQ(ringbuffer_get_pre_frame(0, 1, &index, nullptr), -5);
}

TEST_F(Ring, PreRecordStartsAtTheOldestKeyFrameWithinTheWindow)
{
    const uint64_t t0 = 100000000000ull; // 100000 s
    use_fake_clock(t0);
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 9);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    // 6 s of frames at 10 fps, a key frame every second, each stamped at its capture time.
    for (uint32_t i = 0; i < 60; i++)
        ASSERT_EQ(put(0, i % 10 == 0 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P, i, 64, t0 + i * 100000ull), 0);
    // Now is the time of the last frame plus 0.1 s: the key frames are 6.0, 5.0, ... 1.0 s old.
    g_fake_us = t0 + 60 * 100000ull;
    ko_av_frame f;
    ASSERT_EQ(ringbuffer_get_video_lastest_Iframe(0, 3, &f), 0);
    EXPECT_EQ(f.frame_type, (uint32_t)KO_FRAME_TYPE_I);
    EXPECT_EQ(f.timestamp_us, t0 + 30 * 100000ull); // exactly 3.0 s old: inside the window
    // Half a second later the 3 s window holds the key frames 2.5 and 1.5 s old.
    g_fake_us = t0 + 65 * 100000ull;
    ASSERT_EQ(ringbuffer_get_video_lastest_Iframe(0, 3, &f), 0);
    EXPECT_EQ(f.timestamp_us, t0 + 40 * 100000ull);
    ko_av_frame marked = f;
    ringbuffer_mark_user_to_node(0, 0, &marked);
    ko_av_frame got;
    ASSERT_EQ(video(0, 0, &got), 0);
    EXPECT_EQ(got.seq_no, marked.seq_no);
    EXPECT_EQ(id_of(got), 40u);
    EXPECT_EQ(stat_of("i_frame_out", 0), 3);
}

TEST_F(Ring, PreRecordWithOnlyOldKeyFramesAsksForOneAndGivesNothing)
{
    g_force_calls = 0;
    const uint64_t t0 = 100000000000ull;
    use_fake_clock(t0);
    ko_stream_chn_info v = video_info(0, 1000, 10, 20, 9, count_force);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    for (uint32_t i = 0; i < 20; i++)
        ASSERT_EQ(put(0, i == 0 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P, i, 64, t0 + i * 100000ull), 0);
    g_fake_us = t0 + 25 * 100000ull; // the key frame is 2.5 s old
    ko_av_frame f;
    const auto start = steady_clock::now();
    EXPECT_EQ(ringbuffer_get_video_lastest_Iframe(0, 2, &f), -1);
    EXPECT_GE(steady_clock::now() - start, milliseconds(100));
    EXPECT_EQ(g_force_calls.load(), 1);
    EXPECT_EQ(stat_of("get_no_frame_times", 0), 1);
}

TEST_F(Ring, AudioForAVideoTime)
{
    const uint64_t t0 = 100000000000ull;
    use_fake_clock(t0 + 20 * 40000ull);
    ko_stream_chn_info a = audio_info(4, 256, 25, 7);
    ASSERT_EQ(ringbuffer_init(&a), 0);
    ko_av_frame f;
    EXPECT_EQ(ringbuffer_get_audio_related_with_video(4, 2, t0, &f), -10);
    for (uint32_t i = 0; i < 20; i++) // 40 ms frames
        ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, i, 64, t0 + i * 40000ull), 0);
    ASSERT_EQ(ringbuffer_get_audio_related_with_video(4, 2, t0 + 5 * 40000ull - 1, &f), 0);
    EXPECT_EQ(f.timestamp_us, t0 + 5 * 40000ull);
    ASSERT_EQ(ringbuffer_get_audio_related_with_video(4, 2, t0 + 7 * 40000ull, &f), 0);
    EXPECT_EQ(f.seq_no, 8u);
    // Newer than every audio frame: the newest.
    ASSERT_EQ(ringbuffer_get_audio_related_with_video(4, 2, t0 + 100 * 40000ull, &f), 0);
    EXPECT_EQ(f.seq_no, 20u);
    EXPECT_EQ(ringbuffer_get_audio_related_with_video(4, 0, t0, &f), -1);
}

TEST_F(Ring, StatisticsPeriodsAndReport)
{
    use_fake_clock(1000000000ull);
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 5);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    // Two GOPs of 10 frames, 100 ms apart, 1000 bytes each, then the next key frame closes the period.
    for (uint32_t i = 0; i <= 20; i++) {
        ASSERT_EQ(put(0, i % 10 == 0 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P, i, 1000), 0);
        g_fake_us += 100000;
    }
    EXPECT_EQ(stat_of("i_frame_in", 0), 3);
    EXPECT_EQ(stat_of("p_frame_in", 0), 18);
    EXPECT_EQ(stat_of("gop_avg", 0), 10);
    EXPECT_EQ(stat_of("gop_min", 0), 10);
    EXPECT_EQ(stat_of("fps_avg", 0), 10);
    EXPECT_EQ(stat_of("bitrate_avg", 0), 10000);
    EXPECT_EQ(ringbuffer_get_bitrate_avg(0), 10000u);
    EXPECT_EQ(stat_of("put_frame_min", 0), 1000);
    EXPECT_EQ(stat_of("fps_min", 3), 0); // untouched minimums report 0
    // A period of 0 ms yields no rate and does not fault.
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 99, 1000), 0);
    ASSERT_EQ(put(0, KO_FRAME_TYPE_I, 100, 1000), 0);
    EXPECT_EQ(stat_of("gop_min", 0), 1);

    char text[4096];
    ASSERT_GT(ringbuffer_stat_json(text, sizeof text), 0);
    const std::string s(text);
    const char *order[] = {"i_frame_in", "i_frame_out", "p_frame_in", "p_frame_out", "put_frame_err_times",
                           "get_no_frame_times", "put_frame_max", "put_frame_min", "inited", "buf_pool_size",
                           "node_num", "fps", "fps_avg", "fps_min", "fps_max", "bitrate", "bitrate_avg",
                           "bitrate_max", "bitrate_min", "gop_avg", "gop_min", "gop_max", "I_force_ms",
                           "maxFrameSize", "maxBufferSec"};
    size_t at = 0;
    for (const char *key : order) {
        const size_t found = s.find(std::string("\"") + key + "\":", at);
        ASSERT_NE(found, std::string::npos) << key;
        at = found;
    }
    EXPECT_EQ(ringbuffer_stat_json(text, 10), -1);

    ringbuffer_stat_reset();
    EXPECT_EQ(stat_of("i_frame_in", 0), 0);
    EXPECT_EQ(stat_of("put_frame_min", 0), 0);
    EXPECT_EQ(stat_of("buf_pool_size", 0), 5 * 1000 * 128);
}

// The report is one object of nine-entry arrays under "ringbuf.info"; with every counter at its
// widest it passes the 899 characters a report may hold and goes out in parts, each within the
// limit, that together carry every member in order; what was not sent is kept for the next turn.
TEST_F(Ring, ReportsNineEntryArraysInPartsThatFitAndResetsWhatWasSent)
{
    ASSERT_EQ(ko_message_listen(KO_UID_RPC, "rpc.rpc", on_rpc, nullptr), 0);
    ko_stream_chn_info v = video_info(0, 1000, 10, 10, 3);
    ASSERT_EQ(ringbuffer_init(&v), 0);
    ko_stream_chn_info a = audio_info(4, 16, 25, 3);
    ASSERT_EQ(ringbuffer_init(&a), 0); // registered "upload_statistics" on uid 9
    const auto widest = [] {
        ko_ringbuf::ko_ringbuf_stat &st = ko_ringbuf::g_stat[0];
        for (auto *c : {&st.i_frame_in, &st.i_frame_out, &st.p_frame_in, &st.p_frame_out, &st.put_frame_err_times,
                        &st.get_no_frame_times, &st.put_frame_max, &st.put_frame_min, &st.fps_avg, &st.fps_min,
                        &st.fps_max, &st.bitrate_avg, &st.bitrate_max, &st.bitrate_min, &st.gop_avg, &st.gop_min,
                        &st.gop_max, &st.I_force_ms})
            c->store(4294967294u);
    };
    widest();
    for (uint32_t i = 1; i <= 3; i++)
        ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, i), 0);
    char whole[4096];
    ASSERT_GT(ringbuffer_stat_json(whole, sizeof whole), 899);
    {
        std::lock_guard<std::mutex> guard(g_rpc_lock);
        g_rpc_texts.clear();
    }

    ASSERT_EQ(ko_message_send(KO_UID_STAT, KO_UID_RINGBUF, "upload_statistics", "hello", 5, KO_MSG_MODE_SYNC), 0);
    EXPECT_EQ(stat_of("p_frame_in", 0), 0); // sent: reset
    EXPECT_EQ(stat_of("p_frame_in", 4), 0);
    EXPECT_EQ(stat_of("buf_pool_size", 4), 6144);
    // The parts by key, each as the text that was sent.
    std::map<std::string, std::string> parts;
    const auto collect = [&] {
        std::lock_guard<std::mutex> guard(g_rpc_lock);
        for (const auto &t : g_rpc_texts) {
            json_object *root = json_tokener_parse(t.c_str());
            json_object *params = nullptr;
            if (json_object_object_get_ex(root, "params", &params)) {
                json_object_object_foreach(params, key, val)
                {
                    if (std::string(key).rfind("ringbuf.info", 0) == 0)
                        parts[key] = json_object_to_json_string_ext(val, JSON_C_TO_STRING_PLAIN);
                }
            }
            json_object_put(root);
        }
        return parts.size();
    };
    ASSERT_TRUE(zeltest::wait_until([&] { return collect() >= 2; }, 5s)) << "too long for one report";
    std::this_thread::sleep_for(100ms);
    collect();
    std::vector<std::string> members;
    for (size_t i = 1; i <= parts.size(); i++) {
        const std::string key = i == 1 ? "ringbuf.info" : "ringbuf.info." + std::to_string(i);
        ASSERT_EQ(parts.count(key), 1u) << key;
        EXPECT_LE(parts[key].size(), 899u) << key;
        json_object *part = json_tokener_parse(parts[key].c_str());
        json_object_object_foreach(part, name, array)
        {
            members.emplace_back(name);
            ASSERT_TRUE(json_object_is_type(array, json_type_array)) << name;
            EXPECT_EQ(json_object_array_length(array), 9u) << name;
        }
        if (i == 1) {
            json_object *in = nullptr;
            ASSERT_TRUE(json_object_object_get_ex(part, "i_frame_in", &in));
            EXPECT_EQ(json_object_get_int64(json_object_array_get_idx(in, 0)), 4294967294);
            ASSERT_TRUE(json_object_object_get_ex(part, "p_frame_in", &in));
            EXPECT_EQ(json_object_get_int64(json_object_array_get_idx(in, 4)), 3);
            ASSERT_TRUE(json_object_object_get_ex(part, "inited", &in));
            EXPECT_EQ(json_object_to_json_string_ext(in, JSON_C_TO_STRING_PLAIN), std::string("[1,0,0,0,1,0,0,0,0]"));
        }
        json_object_put(part);
    }
    EXPECT_EQ(members, (std::vector<std::string>{
                           "i_frame_in",  "i_frame_out", "p_frame_in",  "p_frame_out",   "put_frame_err_times",
                           "get_no_frame_times", "put_frame_max", "put_frame_min", "inited",  "buf_pool_size",
                           "node_num",    "fps",         "fps_avg",     "fps_min",       "fps_max",
                           "bitrate",     "bitrate_avg", "bitrate_max", "bitrate_min",   "gop_avg",
                           "gop_min",     "gop_max",     "I_force_ms",  "maxFrameSize",  "maxBufferSec"}));

    ASSERT_EQ(put(4, KO_FRAME_TYPE_AUDIO, 4), 0);
    // Within each report key's rate limit: refused, and kept.
    ASSERT_EQ(ko_message_send(KO_UID_STAT, KO_UID_RINGBUF, "upload_statistics", "hello", 5, KO_MSG_MODE_SYNC), 0);
    EXPECT_EQ(stat_of("p_frame_in", 4), 1);
    msg_ringbuf_report_stat_cb(nullptr);
    EXPECT_EQ(stat_of("p_frame_in", 4), 1);

    // The later parts may go out again while the first may not: only what went out is reset, so
    // the next report does not count it twice.
    report_stat_reset();
    json_object *other = json_tokener_parse(R"({"n":1})");
    ASSERT_EQ(report_stat_json("ringbuf.info", other), 0);
    json_object_put(other);
    widest();
    ASSERT_EQ(ko_message_send(KO_UID_STAT, KO_UID_RINGBUF, "upload_statistics", "hello", 5, KO_MSG_MODE_SYNC), 0);
    EXPECT_EQ(stat_of("i_frame_in", 0), 4294967294);
    EXPECT_EQ(stat_of("I_force_ms", 0), 0);
    ko_message_unregister(KO_UID_RPC, "rpc.rpc");
}
