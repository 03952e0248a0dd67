// The phone's side of the running program, through the P2P service's hooks with the session's calls
// recorded by the test (the service's test header): pan-tilt commands move the simulated head and answer with the stored position, cruise
// queries answer on 513 without taking over where pan-tilt reports go, talk-back audio reaches the
// speaker as the tone it carried, and the SDK's snapshot callback gives a JPEG only while the camera
// is on.
#include "zel_client_fixture.h"

#include <opus/opus.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>

#include "app/p2p/ko_p2p_test.h"
#include "app_sdk_porting/porting_ptz.h"
#include "boardav_test.h"
#include "zel_peripheral_test.h"

namespace clienttest {
namespace {

struct Sent {
    int cmd;
    std::string payload;
};

// Stands for a phone's session: the service's calls on it go to the recording table below.
vasq_session *const kPhone = reinterpret_cast<vasq_session *>(uintptr_t{0x1000});
std::mutex g_sink_lock;
std::function<void(int, const std::string &)> g_sink;

int record_cmd(vasq_session *, int code, const void *data, int length)
{
    std::lock_guard<std::mutex> g(g_sink_lock);
    if (g_sink)
        g_sink(code, std::string(static_cast<const char *>(data), static_cast<size_t>(length)));
    return 0;
}
int send_ok(vasq_session *, const vasq_frame_info *, const void *) { return 0; }
int query_empty(vasq_session *, int, void *out)
{
    if (out)
        memset(out, 0, sizeof(int));
    return 0;
}
void close_none(vasq_session *) {}
int statistics_ok(vasq_session *, int, const void *, int) { return 0; }
int rdt_ok(vasq_session *, const void *, int) { return 0; }
const ko_p2p::session_ops kRecordingOps = {send_ok, record_cmd, query_empty, close_none, statistics_ok, rdt_ok};

// The app client's command callback with exactly `payload` (a heap copy of its bytes, nothing after
// them), as the service hands a command it does not handle itself; its result.
int phone_command(int session, int cmd, const std::string &payload)
{
    std::unique_ptr<char[]> bytes(new char[payload.size() ? payload.size() : 1]);
    payload.copy(bytes.get(), payload.size());
    return ko_p2p::g_vasq_ctrl.param.user_recv_cmd(session, cmd, bytes.get(), static_cast<int>(payload.size()));
}

bool phone_connect()
{
    void *user = nullptr;
    return vasq_on_connect(kPhone, &user) == 0;
}

void phone_audio(const uint8_t *data, int length)
{
    vasq_frame_info header{};
    header.codec_id = 1032;
    vasq_on_audio_data(kPhone, &header, reinterpret_cast<const char *>(data), length, nullptr);
}

class ClientP2p : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(start_program());
        ASSERT_EQ(zel_tolk_p2p_init(), 0);
        ASSERT_TRUE(ko_p2p::g_vasq_ctrl.alive.load());
        {
            std::lock_guard<std::mutex> g(g_sink_lock);
            g_sink = [this](int cmd, const std::string &payload) {
                std::lock_guard<std::mutex> g(lock_);
                sent_.push_back({cmd, payload});
            };
        }
        ko_p2p_test_use_session_ops(&kRecordingOps);
        ASSERT_TRUE(phone_connect());
    }
    void TearDown() override
    {
        ClientTest::TearDown();
        ko_p2p_test_use_session_ops(nullptr);
        std::lock_guard<std::mutex> g(g_sink_lock);
        g_sink = nullptr;
    }

    std::vector<Sent> sent()
    {
        std::lock_guard<std::mutex> g(lock_);
        return sent_;
    }
    bool wait_sent(size_t n)
    {
        return zeltest::wait_until([&] { return sent().size() >= n; }, 10s);
    }

    std::mutex lock_;
    std::vector<Sent> sent_;
};

TEST_F(ClientP2p, PositionQueryAnswersWithTheStoredPosition)
{
    ASSERT_EQ(zel_api_db_set_value("NVM.IPC:motor", "[30,70]", 7, 0), 0);
    const char query[] = R"({"operation":6})";
    EXPECT_EQ(vasq_on_cmd(kPhone, 274, query, sizeof query - 1, nullptr), -1) << "passed on to the app client";
    ASSERT_TRUE(wait_sent(1));
    EXPECT_EQ(sent()[0].cmd, 275);
    EXPECT_EQ(sent()[0].payload, R"({"ret":0, "angle":30,"elevation":70})");
}

TEST_F(ClientP2p, TurnMovesTheHeadWithTheMicrophoneLowered)
{
    const periph_head_state start = periph_test_head();
    EXPECT_EQ(phone_command(0, 274, R"({"operation":1})"), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return periph_test_head().moving; }, 5s));
    EXPECT_EQ(board_test_mic_gain(), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return periph_test_head().x != start.x; }, 5s));
    EXPECT_EQ(ptz_control_stop(), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return board_test_mic_gain() == 1; }, 5s)) << "the end restores it";
    ASSERT_TRUE(wait_sent(1)) << "the turn's end is reported";
    EXPECT_EQ(sent().back().cmd, 275);
    char stored[32] = {};
    EXPECT_EQ(zel_api_db_get_value("NVM.IPC:motor", stored, sizeof stored), 0);
    EXPECT_EQ(ptz_control_turn(9), -1);
}

// The gain calls the board saw, in order.
std::vector<std::string> gain_calls()
{
    std::vector<std::string> out;
    for (const std::string &call : board_test_calls())
        if (call.rfind("dorvi_set_mic_gain", 0) == 0)
            out.push_back(call);
    return out;
}

TEST_F(ClientP2p, AFailedOrRefusedTurnStillRestoresTheMicrophone)
{
    board_test_clear_calls();
    periph_test_fail_next_move();
    EXPECT_EQ(phone_command(0, 274, R"({"operation":3})"), 0);
    const std::vector<std::string> lowered_then_restored = {"dorvi_set_mic_gain(0)", "dorvi_set_mic_gain(1)"};
    ASSERT_TRUE(zeltest::wait_until([&] { return gain_calls() == lowered_then_restored; }, 5s));
    EXPECT_EQ(board_test_mic_gain(), 1);
    EXPECT_EQ(if_change_mic_gain, 0);

    board_test_clear_calls();
    periph_test_fail("zel_api_ptz_control", -1);
    EXPECT_EQ(ptz_control_turn(2), 0);
    EXPECT_EQ(gain_calls(), lowered_then_restored) << "a refused turn gives the gain back at once";
    EXPECT_EQ(board_test_mic_gain(), 1);
}

TEST_F(ClientP2p, ATurnThatEndsAtOnceAtAnEndStopRestoresTheMicrophone)
{
    zel_ptz_point_t edge = {100, 50};
    ASSERT_EQ(zel_api_ptz_prop_set(ZEL_PTZ_PROP_POSITION, &edge, sizeof edge), 0);
    board_test_clear_calls();
    EXPECT_EQ(ptz_control_turn(1), 0) << "pan positive, already at the end";
    const std::vector<std::string> lowered_then_restored = {"dorvi_set_mic_gain(0)", "dorvi_set_mic_gain(1)"};
    ASSERT_TRUE(zeltest::wait_until([&] { return gain_calls() == lowered_then_restored; }, 5s));
    EXPECT_EQ(board_test_mic_gain(), 1);
    EXPECT_EQ(if_change_mic_gain, 0);
}

TEST_F(ClientP2p, CruiseQueryAnswers513AndPanTiltReportsStayOn275)
{
    ASSERT_EQ(zel_api_db_set_value("MEM.cruise_status", "1", 1, 0), 0);
    EXPECT_EQ(phone_command(0, 274, R"({"operation":6})"), 0);
    EXPECT_EQ(phone_command(0, 512, "{}"), 0);
    ASSERT_TRUE(wait_sent(2));
    EXPECT_EQ(sent()[1].cmd, 513);
    EXPECT_EQ(sent()[1].payload, R"({"method":"cruise_req","value":1,"code":0})");
    zel_ptz_result_t result = {0, 30, 80};
    PTZ_control_callback(ZEL_PTZ_EVENT_STOPPED, &result, nullptr);
    ASSERT_TRUE(wait_sent(3));
    EXPECT_EQ(sent()[2].cmd, 275);
    EXPECT_EQ(sent()[2].payload, R"({"ret":0, "angle":70,"elevation":20})");
    goto_point_callback(ZEL_PTZ_EVENT_ARRIVED, &result, nullptr);
    ASSERT_TRUE(wait_sent(4));
    EXPECT_EQ(sent()[3].payload, R"({"ret":0, "angle":30,"elevation":80})");
}

TEST_F(ClientP2p, CruiseQueryWithoutStatusAnswersTheReadsCode)
{
    zel_api_db_unset_value("MEM.cruise_status", 0);
    EXPECT_EQ(phone_command(0, 512, "{}"), 0);
    ASSERT_TRUE(wait_sent(1));
    EXPECT_EQ(sent()[0].payload, R"({"method":"cruise_req","value":0,"code":-1})");
}

TEST_F(ClientP2p, UnterminatedAndOversizedPayloadsAreHandledSafely)
{
    // The test header hands exactly the payload's bytes: a read past them is an ASan report.
    EXPECT_EQ(phone_command(0, 274, R"({"operation":6})"), 0);
    EXPECT_EQ(phone_command(0, 274, R"({"operation":)"), -1) << "not JSON";
    EXPECT_EQ(phone_command(0, 274, std::string(4096, ' ')), -1);
    EXPECT_EQ(phone_command(0, 274, ""), -1);
    EXPECT_EQ(zel_tolk_p2p_motor_cmd_cb(0, 274, nullptr, 4), -1);
    EXPECT_EQ(phone_command(0, 300, "{}"), 0) << "other commands are taken without a reply";
    ASSERT_TRUE(wait_sent(1));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(ClientP2p, RepliesToAnOfflineSessionAreRefused)
{
    vasq_on_disconnect(kPhone, 0, nullptr);
    EXPECT_EQ(ko_p2p_user_cmd_send(0, 275, "x", 1), -1);
    EXPECT_EQ(ko_p2p_user_cmd_send(7, 275, "x", 1), -1);
    EXPECT_EQ(phone_connect(), true);
    EXPECT_EQ(ko_p2p_user_cmd_send(0, 275, nullptr, 1), -1);
    EXPECT_EQ(ko_p2p_user_cmd_send(0, 275, "x", 0), -1);
    ko_p2p_conn_info conn{};
    EXPECT_EQ(ko_p2p_get_clients_conn_info(&conn), 0);
    EXPECT_EQ(conn.online, 1);
    ko_p2p_param again{};
    EXPECT_EQ(ko_p2p_init(&again), -9);
}

// 440 Hz at 16 kHz, 40 ms per packet.
std::vector<std::vector<uint8_t>> tone_packets(int count)
{
    int err = 0;
    OpusEncoder *enc = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &err);
    std::vector<std::vector<uint8_t>> packets;
    for (int p = 0; p < count; ++p) {
        int16_t pcm[640];
        for (int i = 0; i < 640; ++i)
            pcm[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * (p * 640 + i) / 16000.0));
        uint8_t out[1500];
        const int n = opus_encode(enc, pcm, 640, out, sizeof out);
        packets.emplace_back(out, out + (n > 0 ? n : 0));
    }
    opus_encoder_destroy(enc);
    return packets;
}

TEST_F(ClientP2p, TalkBackReachesTheSpeakerAsTheTone)
{
    board_test_clear_speaker_audio();
    EXPECT_EQ(vasq_on_cmd(kPhone, 262, "{}", 2, nullptr), 0);
    ASSERT_TRUE(wait_sent(1));
    EXPECT_EQ(sent()[0].cmd, 263);
    EXPECT_EQ(sent()[0].payload, std::string(4, '\0')) << "talk-back granted";
    for (const auto &packet : tone_packets(25))
        phone_audio(packet.data(), static_cast<int>(packet.size()));
    ASSERT_TRUE(zeltest::wait_until([] { return board_test_speaker_audio().size() >= 25u * 1280; }, 10s));
    const std::vector<uint8_t> bytes = board_test_speaker_audio();
    std::vector<int16_t> pcm(bytes.size() / 2);
    memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    int crossings = 0;
    for (size_t i = 1601; i < pcm.size(); ++i)
        crossings += pcm[i - 1] < 0 && pcm[i] >= 0;
    EXPECT_NEAR(crossings * 16000.0 / (pcm.size() - 1600), 440.0, 10.0);
    zel_tolk_info_t *info = get_zel_tolk_info_pointer();
    EXPECT_EQ(info->loud_ignore_secs, 35u);
    EXPECT_NE(info->loud_ignore_start, 0u);
    phone_audio(nullptr, 0); // no data: logged, nothing played
}

TEST_F(ClientP2p, SnapshotIsAJpegOnlyWhileTheCameraIsOn)
{
    void *jpeg = nullptr;
    int len = 0;
    uint8_t must_free = 1;
    ASSERT_EQ(zel_tolk_media_get_snap_cb(0, &jpeg, &len, &must_free), 0);
    ASSERT_NE(jpeg, nullptr);
    ASSERT_GT(len, 0);
    EXPECT_EQ(must_free, 0);
    const std::string path = root().path("/tmp/snap.jpg");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(static_cast<const char *>(jpeg), len);
    }
    std::string codec;
    ASSERT_EQ(zeltest::run_command("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path + "'",
                                   &codec),
              0);
    EXPECT_EQ(codec, "mjpeg\n");

    _setup_device_track_switch(0);
    void *none = nullptr;
    int none_len = 0;
    must_free = 1;
    EXPECT_EQ(zel_tolk_media_get_snap_cb(0, &none, &none_len, &must_free), 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(none_len, 0);
    EXPECT_EQ(must_free, 1);
}

} // namespace
} // namespace clienttest
