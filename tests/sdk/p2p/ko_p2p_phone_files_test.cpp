// A phone (vasq_phone.py) on a real session plays a recording back and fetches it and the record list
// over RDT: the frames it gets are the recorded ones, and the fragmented MP4 it puts together from
// the RDT packets by the total in their head is one that ffmpeg decodes and the walker accepts.
#include <json-c/json.h>

#include "common/ipc/ko_message.h"
#include "common/utils/ko_crc32.h"
#include "index_pool_recording.h"
#include "p2p_lab.h"
#include "p2p_phone_lab.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

constexpr uint32_t kT0 = 1700000000;

std::string le_hex(std::initializer_list<uint32_t> words)
{
    const std::string bytes = le_words(words);
    return zeltest::hex(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

void audio_status(int, bool) {}

// The lab first: the pool's root, made after the lab's, is the one the camera works in.
class PhoneFiles : protected PhoneLab, public rectest::RecordedPool {
protected:
    static void SetUpTestSuite() { ko_message_init(nullptr); }
    static void TearDownTestSuite() { ko_message_deinit(); }
    void SetUp() override
    {
        lab_install(info_);
        ko_p2p_test_use_session_ops(nullptr);
        RecordedPool::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_NO_FATAL_FAILURE(identify(info_));
        ko_p2p_param p{};
        p.max_session = 2;
        p.audio_status = audio_status;
        ASSERT_EQ(ko_p2p_init(&p), 0);
        p2p_started_ = true;
        ASSERT_NO_FATAL_FAILURE(answer_vendor_request());
    }
    void TearDown() override
    {
        if (p2p_started_)
            ko_p2p_deinit();
        phones_.clear();
        record_index_deinit();
        RecordedPool::TearDown();
        lab_uninstall();
    }
    Json phone_says(const std::string &json) { return phones_[0]->command(json); }
    // The phone's RDT replies: [type, total, bytes so far, whole].
    std::vector<std::array<int64_t, 4>> rdt_replies()
    {
        Json r = phones_[0]->received();
        json_object *list = member(r.get(), "rdt_replies");
        std::vector<std::array<int64_t, 4>> out;
        for (size_t i = 0; list && i < json_object_array_length(list); i++) {
            json_object *e = json_object_array_get_idx(list, i);
            out.push_back({json_object_get_int64(json_object_array_get_idx(e, 0)),
                           json_object_get_int64(json_object_array_get_idx(e, 1)),
                           json_object_get_int64(json_object_array_get_idx(e, 2)),
                           json_object_get_boolean(json_object_array_get_idx(e, 3)) ? 1 : 0});
        }
        return out;
    }
    // Sends an RDT request and waits for its reply to be whole.
    bool rdt(const std::string &request_hex)
    {
        const size_t before = rdt_replies().size();
        phone_says(R"({"cmd":"rdt","request":")" + request_hex + R"("})");
        return zeltest::wait_until(
            [&] {
                const auto r = rdt_replies();
                return r.size() > before && r.back()[3] == 1;
            },
            zeltest::scaled(60s));
    }
    std::string recording_of(uint32_t time)
    {
        record_index_record_t r{};
        EXPECT_EQ(record_find_record_info(0, time, &r, 0), 1);
        return card(r.name);
    }

    ko_sdk_info info_{};
    bool p2p_started_ = false;
};

TEST_F(PhoneFiles, PlaybackGivesThePhoneTheRecordedFrames)
{
    record(kT0, 62);
    record(kT0 + 100, 4);
    ASSERT_TRUE(authorised(0));
    command(0, 269,
            R"({"sessionid":5,"starttime":)" + std::to_string(kT0 + 100) +
                R"(,"endtime":0,"autoswitchtolive":0,"offset":0})");
    ASSERT_TRUE(zeltest::wait_until([&] { return replies(0, 270).size() >= 2; }, zeltest::scaled(30s)));
    const std::string nul(1, '\0');
    EXPECT_EQ(replies(0, 270),
              (std::vector<std::string>{R"({"id":5, "status":"filefound", "starttime":1700000100, "duration":4})" + nul,
                                        R"({"id":5, "status":"endoffile"})" + nul}));

    std::vector<std::array<int64_t, 3>> recorded;
    fmp4_demuxer_t *d = fmp4_demuxer_open(recording_of(kT0 + 100).c_str());
    ASSERT_NE(d, nullptr);
    ASSERT_GE(fmp4_demuxer_seek_fragment(d, kT0 + 100), 0);
    fmp4_frame_t f{};
    while (fmp4_demuxer_read_video(d, &f, nullptr) == 0) {
        recorded.push_back({f.sample, f.size, ko_crc32_finish(ko_crc32_update(ko_crc32_init(), f.data, f.size))});
        free(f.data);
    }
    fmp4_demuxer_close(d);
    ASSERT_GT(recorded.size(), 40u);
    // Audio shares the channel: the recorded video frames come in order among the audio frames.
    std::vector<GotFrame> got;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            got = frames(0);
            size_t matched = 0;
            for (const auto &g : got)
                if (matched < recorded.size() && std::array<int64_t, 3>{g.seq, g.length, g.crc} == recorded[matched])
                    matched++;
            return matched == recorded.size();
        },
        zeltest::scaled(20s)))
        << got.size() << " frames came, " << recorded.size() << " recorded";
}

TEST_F(PhoneFiles, APeriodFetchedOverRdtIsAFragmentedMp4)
{
    record(kT0, 62);
    record(kT0 + 100, 4);
    ASSERT_TRUE(authorised(0));
    ASSERT_TRUE(rdt(le_hex({1, 4, kT0 + 100})));
    const std::string path = root_.path("/tmp/fetched.mp4");
    Json saved = phone_says(R"({"cmd":"rdt_save","path":")" + path + R"("})");
    EXPECT_EQ(json_object_get_int64(member(saved.get(), "type")), 1);
    EXPECT_GT(json_object_get_int64(member(saved.get(), "bytes")), 32768);
    EXPECT_EQ(json_object_get_int64(member(saved.get(), "bytes")), json_object_get_int64(member(saved.get(), "total")));
    if (rectest::have_tool("ffprobe")) {
        EXPECT_EQ(rectest::ffmpeg_decode_errors(path), "");
    }
    rectest::Json walked = rectest::walk(path);
    ASSERT_TRUE(walked);
    EXPECT_TRUE(json_object_get_boolean(member(walked.get(), "ok")));
    EXPECT_EQ(json_object_array_length(member(walked.get(), "index")), 1u);

    ASSERT_TRUE(rdt(le_hex({6, 0})));
    saved = phone_says(R"({"cmd":"rdt_save","path":")" + root_.path("/tmp/list") + R"("})");
    EXPECT_EQ(json_object_get_int64(member(saved.get(), "type")), 6);
    EXPECT_EQ(json_object_get_int64(member(saved.get(), "bytes")), static_cast<int64_t>(8 * periods_.size()));

    ASSERT_TRUE(rdt(le_hex({1, 4, kT0 + 101})));
    EXPECT_EQ(rdt_replies().back(), (std::array<int64_t, 4>{1, 0, 0, 1})) << "no period then: a bare head";
    ASSERT_TRUE(rdt(le_hex({1, 100, kT0 + 100})));
    EXPECT_EQ(rdt_replies().back(), (std::array<int64_t, 4>{1, 0, 0, 1})) << "a request that lies about its length";
}

} // namespace
} // namespace p2ptest
