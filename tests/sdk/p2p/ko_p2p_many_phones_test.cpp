// Six phones on real sessions, the most the frame ring serves: all six watch the main stream while
// one of them stops reading and restarts its video again and again; that one is dropped, the other
// five keep every frame within a bounded latency, and the recorder's reader loses none. With six
// watching a seventh phone is refused with code 36; a stop under six streams is prompt; a server
// error re-initialises the streaming server within one retry period; start, watch and stop cycles
// leave no thread or descriptor behind.
#include <json-c/json.h>

#include <algorithm>
#include <thread>

#include "common/ringbuffer/ko_ringbuffer.h"
#include "p2p_sessions.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;
using ko_p2p::g_vasq_ctrl;

constexpr int kPhones = 6;

// Reader 0 of the main stream, as the recorder reads it: the sequence numbers it got.
class RecorderReader {
public:
    RecorderReader()
        : thread_([this] {
              std::vector<uint8_t> buf(ringbuffer_get_max_frame_size(0));
              while (!stop_.load()) {
                  ko_av_frame f{};
                  if (ringbuffer_try_get_video_frame(0, 0, &f, buf.data(), static_cast<uint32_t>(buf.size())) != 0) {
                      std::this_thread::sleep_for(5ms);
                      continue;
                  }
                  std::lock_guard<std::mutex> g(lock_);
                  seqs_.push_back(f.seq_no);
              }
          })
    {
    }
    ~RecorderReader()
    {
        stop_ = true;
        thread_.join();
    }
    std::vector<uint32_t> seqs()
    {
        std::lock_guard<std::mutex> g(lock_);
        return seqs_;
    }

private:
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<uint32_t> seqs_;
    std::thread thread_;
};

double p99(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, v.size() * 99 / 100)];
}

class SixPhones : public SessionTest {
protected:
    SixPhones() { param_.max_session = kPhones; }
    void all_watch()
    {
        for (int i = 0; i < kPhones; i++)
            ASSERT_TRUE(authorised(i)) << "phone " << i;
        for (int i = 0; i < kPhones; i++)
            command(i, 258, R"({"videoquality":2})");
        for (int i = 0; i < kPhones; i++)
            ASSERT_TRUE(zeltest::wait_until([&] { return frames(i).size() >= 10; }, 20s)) << "phone " << i;
    }
    // The stalled phone's drop counters, read as a command would: with the slot's lock for writing.
    uint32_t drop_episodes(int slot)
    {
        ko_p2p::p2p_client &c = g_vasq_ctrl.slots[slot];
        std::unique_lock<std::shared_mutex> w(c.lock);
        return c.drop.drop_episodes;
    }
};

TEST_F(SixPhones, AStalledPhoneThatRestartsIsDroppedAndTheOtherFiveKeepEveryFrame)
{
    RecorderReader recorder;
    for (int i = 0; i < kPhones; i++)
        ASSERT_TRUE(authorised(i)) << "phone " << i;
    phone_at(5).command(R"({"cmd":"stop_reading","channel":2})");
    for (int i = 0; i < kPhones; i++)
        command(i, 258, R"({"videoquality":2})");
    ASSERT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= 20; }, 20s));
    for (int i = 0; i < 8; i++) { // each start forces a key frame and clears the drop state
        command(5, 258, R"({"videoquality":2})");
        std::this_thread::sleep_for(zeltest::scaled(300ms));
    }
    EXPECT_TRUE(zeltest::wait_until([&] { return drop_episodes(5) > 0; }, 30s))
        << "the phone that reads nothing fills its send ring and is dropped";
    const size_t before = frames(0).size();
    std::this_thread::sleep_for(2s);
    EXPECT_GE(frames(0).size(), before + 10) << "the others still watch";

    const double bound_ms = 1000.0 * zeltest::time_scale();
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE("phone " + std::to_string(i));
        const std::vector<GotFrame> got = frames(i);
        ASSERT_GE(got.size(), 40u);
        EXPECT_EQ(got[0].seq % kSessionGop, 1) << "it starts on a key frame";
        std::vector<double> latency;
        for (size_t k = 0; k < got.size(); k++) {
            if (k > 0) {
                ASSERT_EQ(got[k].seq, got[k - 1].seq + 1) << "no frame lost at " << k;
            }
            ASSERT_EQ(got[k].length, static_cast<int64_t>(frame_payload(static_cast<uint32_t>(got[k].seq)).size()));
            latency.push_back(got[k].arrival_ms - static_cast<double>(got[k].time_ms));
        }
        EXPECT_LT(p99(latency), bound_ms) << "latency p99 (arrival - header time)";
    }
    const std::vector<uint32_t> recorded = recorder.seqs();
    ASSERT_GE(recorded.size(), 40u);
    for (size_t k = 1; k < recorded.size(); k++)
        ASSERT_EQ(recorded[k], recorded[k - 1] + 1) << "reader 0 lost a frame at " << k;
}

TEST_F(SixPhones, ASeventhPhoneIsRefusedWithCode36AndTheSixWatchOn)
{
    ASSERT_NO_FATAL_FAILURE(all_watch());
    phones_.push_back(std::make_unique<vasqtest::Phone>(net_, kPhones));
    ASSERT_TRUE(link_and_authorise(phone_at(kPhones), camera_keys()));
    ASSERT_TRUE(wait_reply(kPhones, 257));
    zeltest::Json answer(json_tokener_parse(replies(kPhones, 257)[0].c_str()));
    ASSERT_TRUE(answer.get()) << replies(kPhones, 257)[0];
    EXPECT_STREQ(json_object_get_string(zeltest::member(answer.get(), "result")), "failed");
    EXPECT_EQ(json_object_get_int(zeltest::member(answer.get(), "code")), 36);
    EXPECT_EQ(phones_online(), kPhones);
    const size_t before = frames(0).size();
    EXPECT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= before + 10; }, 10s));
}

TEST_F(SixPhones, StopUnderSixStreamsIsPrompt)
{
    ASSERT_NO_FATAL_FAILURE(all_watch());
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ko_p2p_deinit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(1000ms));
    // A detached helper may still be on its way out when the stop returns.
    EXPECT_TRUE(zeltest::wait_until([] { return vasqtest::count_threads("p2p_") == 0; }, 2000ms));
}

TEST_F(SixPhones, ServerErrorReinitialisesWithinOneRetryPeriod)
{
    ASSERT_TRUE(g_vasq_ctrl.server_ready.load());
    forget_daemon_rpcs();
    const auto t0 = std::chrono::steady_clock::now();
    vasq_on_error(nullptr, 17, nullptr);
    // A new server asks the daemon for the vendor again.
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            for (const std::string &t : daemon_rpcs())
                if (t.find("_sync.vasq_get_vendor") != std::string::npos)
                    return true;
            return false;
        },
        10s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::scaled(5500ms)) << "one retry period of 5 s";
    EXPECT_GE(g_vasq_ctrl.init_step.load(), 6);
    ASSERT_NO_FATAL_FAILURE(answer_vendor_request()) << "the new server asks again and logs in";
    ASSERT_TRUE(authorised(0)) << "a phone links to the new server";
    command(0, 258, R"({"videoquality":2})");
    EXPECT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= 10; }, 20s));
}

TEST_F(SixPhones, StartWatchStopCyclesOnRealSessionsLeaveNoThreadOrDescriptor)
{
    size_t threads = 0;
    int descriptors = 0;
    for (int cycle = 0; cycle < 10; cycle++) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (cycle > 0) {
            forget_daemon_rpcs();
            ASSERT_EQ(ko_p2p_init(&param_), 0);
            ASSERT_NO_FATAL_FAILURE(answer_vendor_request());
        }
        ASSERT_TRUE(authorised(0));
        command(0, 258, R"({"videoquality":2})");
        ASSERT_TRUE(zeltest::wait_until([&] { return frames(0).size() >= 10; }, 20s));
        ASSERT_EQ(ko_p2p_deinit(), 0);
        phones_.clear();
        if (cycle == 0) { // what the first start made for good (the log, the cipher library) is counted in
            threads = vasqtest::thread_names().size();
            descriptors = zeltest::descriptor_count();
        }
    }
    EXPECT_TRUE(zeltest::wait_until([&] { return vasqtest::thread_names().size() == threads; }, 5s))
        << vasqtest::thread_names().size() << " threads, " << threads << " after the first cycle";
    EXPECT_EQ(zeltest::descriptor_count(), descriptors);
}

} // namespace
} // namespace p2ptest
