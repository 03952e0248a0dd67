// The dispatcher alone: merged time order with audio first on ties, a queue that takes part holds
// the others back, one that does not never does, bounded queues, seeks and pull alignment.
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zel_formal_stream2/zel_stream_dispatch.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;
using zel_stream_internal::Dispatcher;

namespace {

struct Out {
    std::mutex m;
    std::vector<std::string> order; // "<stream>:<ts>"
    size_t size()
    {
        std::lock_guard<std::mutex> g(m);
        return order.size();
    }
};

void record(shbf_frame_t *f, int, int stream, void *user)
{
    auto *o = static_cast<Out *>(user);
    std::lock_guard<std::mutex> g(o->m);
    o->order.push_back(std::to_string(stream) + ":" + std::to_string(f->timestamp));
}

shbf_frame_t *frame(uint64_t ts, int key = 0)
{
    shbf_frame_t *f = shbf_frame_alloc(4);
    f->timestamp = ts;
    f->key = key;
    return f;
}

TEST(ZelStreamDispatch, MergesByTimeWithAudioFirstOnTies)
{
    Out out;
    Dispatcher d(record, &out, false);
    d.set_participants(true, false, true);
    ASSERT_EQ(d.start(), 0);
    d.push(ZEL_STREAM_MAIN, frame(100));
    d.push(ZEL_STREAM_AUDIO, frame(100));
    d.push(ZEL_STREAM_AUDIO, frame(140));
    d.push(ZEL_STREAM_MAIN, frame(150));
    d.push(ZEL_STREAM_AUDIO, frame(180));
    d.push(ZEL_STREAM_MAIN, frame(200));
    d.push(ZEL_STREAM_AUDIO, frame(220));
    ASSERT_TRUE(zeltest::wait_until([&] { return out.size() == 6; }, 2s));
    std::this_thread::sleep_for(20ms);
    d.stop();
    // 220 stays queued: the main queue has no head to compare it with.
    EXPECT_EQ(out.order, (std::vector<std::string>{"2:100", "0:100", "2:140", "0:150", "2:180", "0:200"}));
}

TEST(ZelStreamDispatch, EmptyAudioQueueHoldsBackEveryVideoFrame)
{
    Out out;
    Dispatcher d(record, &out, false);
    d.set_participants(true, true, true);
    d.start();
    for (uint64_t t = 0; t < 10; t++) {
        d.push(ZEL_STREAM_MAIN, frame(t * 50));
        d.push(ZEL_STREAM_SUB, frame(t * 50 + 1));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(out.size(), 0u);
    d.push(ZEL_STREAM_AUDIO, frame(1000));
    // Every queued video frame before it goes out at once, not one per post; the last sub frame waits
    // for a main frame to compare with.
    ASSERT_TRUE(zeltest::wait_until([&] { return out.size() == 19; }, 2s));
    std::lock_guard<std::mutex> g(out.m);
    EXPECT_EQ(out.order[0], "0:0");
    EXPECT_EQ(out.order[1], "1:1");
}

TEST(ZelStreamDispatch, QueuesThatTakeNoPartNeverStall)
{
    Out out;
    Dispatcher d(record, &out, false);
    d.set_participants(true, false, false); // video only
    d.start();
    for (uint64_t t = 0; t < 300; t++) {
        ASSERT_EQ(d.push(ZEL_STREAM_MAIN, frame(t)), 0);
        if (t % 50 == 49) {
            ASSERT_TRUE(zeltest::wait_until([&] { return out.size() == t + 1; }, 2s));
        }
    }
    ASSERT_TRUE(zeltest::wait_until([&] { return out.size() == 300; }, 3s));
    EXPECT_EQ(d.push(ZEL_STREAM_SUB, frame(1)), -1); // refused and freed: LeakSanitizer watches
}

TEST(ZelStreamDispatch, The101stVideoFrameIsRefused)
{
    Dispatcher d(record, nullptr, true);
    d.set_participants(true, false, true);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(d.push(ZEL_STREAM_MAIN, frame(i)), 0);
    EXPECT_EQ(d.push(ZEL_STREAM_MAIN, frame(100)), -1);
    for (int i = 0; i < 125; i++)
        ASSERT_EQ(d.push(ZEL_STREAM_AUDIO, frame(i)), 0);
    EXPECT_EQ(d.push(ZEL_STREAM_AUDIO, frame(125)), -1);
}

TEST(ZelStreamDispatch, PullStartsOnAKeyFrameWithAudioFromThere)
{
    Dispatcher d(record, nullptr, true);
    d.set_participants(true, false, true);
    d.push(ZEL_STREAM_AUDIO, frame(10));
    for (int stream : {-1, 3}) // names no queue
        EXPECT_EQ(d.pull(stream, 1), nullptr);
    EXPECT_EQ(d.pull(ZEL_STREAM_AUDIO, 0), nullptr);
    shbf_frame_t *early = d.pull(ZEL_STREAM_AUDIO, 1); // by its own index: no video to align with
    ASSERT_NE(early, nullptr) << "the refused requests dropped nothing";
    EXPECT_EQ(early->timestamp, 10u);
    shbf_free(early);
    EXPECT_EQ(d.pull(ZEL_STREAM_MAIN, 0), nullptr);
    d.push(ZEL_STREAM_MAIN, frame(0));
    d.push(ZEL_STREAM_MAIN, frame(50));
    EXPECT_EQ(d.pull(ZEL_STREAM_MAIN, 0), nullptr); // no key frame yet: tried again next time
    d.push(ZEL_STREAM_MAIN, frame(100, 1));
    d.push(ZEL_STREAM_MAIN, frame(150));
    d.push(ZEL_STREAM_AUDIO, frame(60));
    d.push(ZEL_STREAM_AUDIO, frame(100));
    shbf_frame_t *v = d.pull(ZEL_STREAM_MAIN, 0);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->timestamp, 100u);
    EXPECT_EQ(v->key, 1);
    shbf_free(v);
    shbf_frame_t *a = d.pull(ZEL_STREAM_MAIN, 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->timestamp, 100u);
    shbf_free(a);
    v = d.pull(ZEL_STREAM_MAIN, 0);
    EXPECT_EQ(v->timestamp, 150u);
    shbf_free(v);
}

TEST(ZelStreamDispatch, SeekDropsToTheNextKeyFrameAndAudioUpToIt)
{
    Dispatcher d(record, nullptr, true);
    d.set_participants(true, false, true);
    d.push(ZEL_STREAM_MAIN, frame(0));
    d.push(ZEL_STREAM_MAIN, frame(100, 1));
    d.push(ZEL_STREAM_AUDIO, frame(100));
    d.push(ZEL_STREAM_AUDIO, frame(101));
    EXPECT_EQ(d.seek_key(ZEL_STREAM_MAIN), 0);
    shbf_frame_t *a = d.pull(ZEL_STREAM_MAIN, 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->timestamp, 101u);
    shbf_free(a);
    EXPECT_EQ(d.seek_key(ZEL_STREAM_AUDIO), -1);
}

} // namespace
