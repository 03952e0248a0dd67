// The frame path of the running program: board -> media app -> client -> stream channels -> ring. The
// main channel's frames from a key frame on are the board's access units byte for byte (and a dump of
// them is a stream ffprobe reads); the audio channel is Opus that libopus decodes back to the board's
// 440 Hz tone; nothing enters before a key frame, nor while the camera is switched off.
#include "zel_client_fixture.h"

#include <opus/opus.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "board_es_split.h"
#include "boardav_test.h"

namespace clienttest {
namespace {

std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ClientMedia : public ClientTest {};

TEST_F(ClientMedia, MainChannelCarriesTheBoardsAccessUnitsFromAKeyFrame)
{
    start_program();
    std::vector<int> types;
    const auto frames = read_frames(0, 60, &types);
    ASSERT_EQ(frames.size(), 60u);
    EXPECT_EQ(types[0], KO_FRAME_TYPE_I) << "a reader starts at a key frame";

    const std::vector<uint8_t> file = file_bytes(board_test_stream_path(0));
    const auto units = board::split_access_units(file.data(), file.size(), board::Codec::h265);
    ASSERT_FALSE(units.empty());
    auto unit_bytes = [&](size_t i) {
        const board::AccessUnit &u = units[i % units.size()];
        return std::vector<uint8_t>(file.begin() + u.offset, file.begin() + u.offset + u.size);
    };
    size_t first = units.size();
    for (size_t i = 0; i < units.size(); ++i)
        if (units[i].key && unit_bytes(i) == frames[0])
            first = i;
    ASSERT_LT(first, units.size()) << "the first frame is one of the board's key frames";
    for (size_t k = 0; k < frames.size(); ++k) {
        ASSERT_EQ(frames[k], unit_bytes(first + k)) << "frame " << k;
        ASSERT_EQ(types[k], units[(first + k) % units.size()].key ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P);
    }

    const std::string dump = root().path("/tmp/main.h265");
    {
        std::ofstream out(dump, std::ios::binary);
        for (const auto &f : frames)
            out.write(reinterpret_cast<const char *>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    std::string out;
    ASSERT_EQ(zeltest::run_command("ffprobe -v error -f hevc -count_frames -select_streams v:0 -show_entries "
                                   "stream=nb_read_frames,width,height -of csv=p=0 '" + dump + "'", &out),
              0);
    EXPECT_EQ(out, "2880,1620,60\n");
}

// The dominant frequency of 16-bit mono PCM at 16 kHz, by counting rising zero crossings.
double frequency_of(const std::vector<int16_t> &pcm)
{
    int crossings = 0;
    for (size_t i = 1; i < pcm.size(); ++i)
        if (pcm[i - 1] < 0 && pcm[i] >= 0)
            ++crossings;
    return crossings * 16000.0 / static_cast<double>(pcm.size());
}

TEST_F(ClientMedia, AudioChannelIsOpusOfTheBoardsTone)
{
    start_program();
    const auto frames = read_frames(4, 50);
    ASSERT_EQ(frames.size(), 50u);
    int err = 0;
    OpusDecoder *dec = opus_decoder_create(16000, 1, &err);
    ASSERT_EQ(err, OPUS_OK);
    std::vector<int16_t> pcm;
    for (const auto &f : frames) {
        int16_t out[1920];
        const int n = opus_decode(dec, f.data(), static_cast<opus_int32>(f.size()), out, 1920, 0);
        ASSERT_GT(n, 0) << "each frame is one Opus packet";
        pcm.insert(pcm.end(), out, out + n);
    }
    opus_decoder_destroy(dec);
    EXPECT_GE(pcm.size(), 16000u * 19 / 10) << "40 ms per frame";
    // The decoder's first milliseconds ramp up: measure after them.
    const std::vector<int16_t> steady(pcm.begin() + 1600, pcm.end());
    EXPECT_NEAR(frequency_of(steady), 440.0, 10.0);
}

class ClientGate : public ClientTest {
protected:
    // A frame straight into the business layer, as a fetch thread hands it.
    int push(int channel, int type, int key, const std::vector<uint8_t> &bytes, uint32_t seq = 1)
    {
        return zel_tolk_media_push_data(channel, bytes.data(), static_cast<int>(bytes.size()), type, key, 0, 1000,
                                        seq);
    }
    bool empty(unsigned channel)
    {
        ko_av_frame f{};
        return ringbuffer_get_pre_frame(channel, 1, nullptr, &f) != 0;
    }
    const std::vector<uint8_t> pcm_ = std::vector<uint8_t>(1280, 0);
    const std::vector<uint8_t> picture_ = std::vector<uint8_t>(4000, 0x5a);
};

TEST_F(ClientGate, NothingEntersBeforeTheFirstKeyFrame)
{
    start_business();
    EXPECT_EQ(push(2, SDK_MEDIA_TYPE_AUDIO, 0, pcm_), 0);
    EXPECT_EQ(push(0, SDK_MEDIA_TYPE_VIDEO, 0, picture_), 0);
    EXPECT_TRUE(empty(0));
    EXPECT_TRUE(empty(4));
    EXPECT_EQ(push(1, SDK_MEDIA_TYPE_VIDEO, 1, picture_), 0) << "a key frame of the sub channel opens the gate";
    EXPECT_FALSE(empty(1));
    EXPECT_EQ(push(0, SDK_MEDIA_TYPE_VIDEO, 0, picture_, 2), 0);
    EXPECT_EQ(push(2, SDK_MEDIA_TYPE_AUDIO, 0, pcm_, 3), 0);
    EXPECT_FALSE(empty(0));
    EXPECT_FALSE(empty(4));
    EXPECT_EQ(zel_tolk_media_push_data(0, nullptr, 10, 1, 1, 0, 0, 1), -1);
}

TEST_F(ClientGate, SwitchingOffDropsFramesAndClosesTheKeyFrameGate)
{
    zel_tolk_info_t *info = start_business();
    ASSERT_EQ(push(0, SDK_MEDIA_TYPE_VIDEO, 1, picture_), 0);
    _setup_device_track_switch(0);
    EXPECT_EQ(info->first_key_frame, 0u);
    _setup_device_track_switch(1);
    ko_av_frame before{};
    ASSERT_EQ(ringbuffer_get_pre_frame(0, 1, nullptr, &before), 0);
    push(0, SDK_MEDIA_TYPE_VIDEO, 0, picture_, 2);
    ko_av_frame after{};
    ASSERT_EQ(ringbuffer_get_pre_frame(0, 1, nullptr, &after), 0);
    EXPECT_EQ(after.seq_no, before.seq_no) << "after switching on, nothing until a key frame";
    push(0, SDK_MEDIA_TYPE_VIDEO, 1, picture_, 3);
    ASSERT_EQ(ringbuffer_get_pre_frame(0, 1, nullptr, &after), 0);
    EXPECT_NE(after.seq_no, before.seq_no);
}

class ClientGateOff : public ClientGate {
protected:
    void SetUp() override
    {
        ClientGate::SetUp();
        ASSERT_EQ(zel_api_db_set_value("NVM.IPC:power", "0", 1, 0), 0);
    }
};

TEST_F(ClientGateOff, StoredPowerOffKeepsEveryFrameOut)
{
    start_business();
    EXPECT_EQ(push(0, SDK_MEDIA_TYPE_VIDEO, 1, picture_), 0);
    EXPECT_EQ(push(2, SDK_MEDIA_TYPE_AUDIO, 0, pcm_), 0);
    EXPECT_TRUE(empty(0));
    EXPECT_TRUE(empty(4));
}

TEST_F(ClientGate, FramesBeforeTheClientIsUpAreDroppedQuietly)
{
    sdk_media_frame_t frame{};
    frame.data = const_cast<uint8_t *>(picture_.data());
    frame.len = static_cast<int32_t>(picture_.size());
    frame.key = 1;
    frame.type = SDK_MEDIA_TYPE_VIDEO;
    EXPECT_EQ(sdk_porting_push_stream_data(&frame), 0);
    EXPECT_EQ(sdk_porting_event_push(0), 0);
    EXPECT_EQ(sdk_porting_push_stream_data(nullptr), 0);
    frame.data = nullptr;
    EXPECT_EQ(zel_tolk_client.push_stream_data(nullptr, &frame), -1) << "the shipped client refuses no data";
}

// Without the simulator: the death test's child would leave it running with the output held open.
class ClientExit : public ClientGate {
protected:
    ClientExit() { with_sim_ = false; }
};

// The fetch threads are detached and never joined, so the process can end (a restart, a board that
// stopped answering) while the audio thread is encoding: the audio path must outlive the exit
// handlers.
TEST_F(ClientExit, ProcessExitWhileAudioIsEncodedEndsCleanly)
{
    EXPECT_EXIT(
        {
            zel_tolk_init();
            push(0, SDK_MEDIA_TYPE_VIDEO, 1, picture_);
            std::thread([this] {
                for (uint32_t seq = 1;; ++seq)
                    push(2, SDK_MEDIA_TYPE_AUDIO, 0, pcm_, seq);
            }).detach();
            zeltest::wait_until([&] { return !empty(4); }, 10s);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace clienttest
