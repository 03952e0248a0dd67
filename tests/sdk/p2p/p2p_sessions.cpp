// The session lab: the service and the main-stream producer beside the phone lab.
#include "p2p_sessions.h"

#include "common/ipc/ko_message.h"
#include "common/ringbuffer/ko_ringbuffer.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;

void no_audio_status(int, bool) {}

} // namespace

std::vector<uint8_t> frame_payload(uint32_t seq)
{
    std::vector<uint8_t> b(3000 + seq % 500);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = static_cast<uint8_t>(seq * 13 + i);
    return b;
}

SessionTest::SessionTest()
{
    param_.max_session = 2;
    param_.audio_status = no_audio_status;
}

void SessionTest::SetUpTestSuite()
{
    ko_message_init(nullptr);
}

void SessionTest::TearDownTestSuite()
{
    ko_message_deinit();
}

void SessionTest::SetUp()
{
    P2pTest::SetUp();
    ko_p2p_test_use_session_ops(nullptr);
    ASSERT_NO_FATAL_FAILURE(identify(info_));
    ko_stream_chn_info &v = info_.stream_info[0];
    v.gop = kSessionGop;
    v.bitrate = 2000;
    v.seconds = 4;
    ASSERT_EQ(ringbuffer_init(&v), 0);
    producer_ = std::thread([this] {
        for (uint32_t seq = 1; !stop_.load(); seq++) {
            std::vector<uint8_t> b = frame_payload(seq);
            ko_av_frame f{};
            f.frame_type = seq % kSessionGop == 1 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
            f.frame_tag = 2;
            f.data = b.data();
            f.size = static_cast<uint32_t>(b.size());
            ringbuffer_put_frame(0, &f);
            std::this_thread::sleep_for(50ms);
        }
    });
    ASSERT_EQ(ko_p2p_init(&param_), 0);
    ASSERT_NO_FATAL_FAILURE(answer_vendor_request());
}

void SessionTest::TearDown()
{
    ko_p2p_deinit();
    phones_.clear();
    stop_ = true;
    if (producer_.joinable())
        producer_.join();
    ringbuffer_free(0);
    P2pTest::TearDown();
}

} // namespace p2ptest
