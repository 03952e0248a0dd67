// The SDK start against the device-daemon simulator: the start order and its undoing, parameter
// checks, stream channels read back through ring readers, camera states, queries, snapshots and the
// bind information.
#include <dirent.h>

#include <cstdlib>
#include <thread>

#include "common/event/ko_event.h"
#include "common/ipc/ko_message.h"
#include "common/ipc/ko_timer.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/sdk/ko_sdk_test.h"
#include "common/utils/vexa_base64.h"
#include "ko_sdk_fixture.h"

namespace sdktest {
namespace {

std::vector<std::string> started_steps()
{
    const char *names[16];
    const int n = ko_ipc_sdk_started_steps(names, 16);
    return std::vector<std::string>(names, names + n);
}

bool dir_has_prefix(const std::string &dir, const std::string &prefix)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent *e = readdir(d))
        found = found || std::string(e->d_name).rfind(prefix, 0) == 0;
    closedir(d);
    return found;
}

// A 20 fps video channel with a GOP of 40 frames.
ko_stream_chn_info video_channel(uint32_t chn, uint16_t width, uint16_t height, uint32_t seconds)
{
    ko_stream_chn_info info{};
    info.channel = chn;
    info.resolution = {width, height};
    info.gop = 40;
    info.encode = 96;
    info.bitrate = 1024;
    info.fps = 20;
    info.seconds = seconds;
    return info;
}

// Channel 4 with 16 kHz 16-bit G.711 mu-law.
ko_stream_chn_info audio_channel()
{
    ko_stream_chn_info info{};
    info.channel = 4;
    info.samplerate = 16000;
    info.samplebit = 16;
    info.encode = 1026;
    info.bitrate = 64;
    info.fps = 25;
    info.seconds = 4;
    return info;
}

class SdkStart : public SdkTest {
protected:
    SdkStart() : SdkTest({"--did", "424242", "--time", "1700000000"}, false) {}
};

class SdkRunning : public SdkTest {};

TEST_F(SdkStart, StartsEveryServiceInOrderAndOnlyOnce)
{
    ASSERT_EQ(ko_ipc_sdk_init(&param_), 0);
    EXPECT_EQ(started_steps(), (std::vector<std::string>{"config", "message", "rpc", "timer", "sdk_handlers", "ot_methods",
                                                         "statistics", "watchdog", "kv", "event", "token"}));
    ko_sdk_info *info = ko_ipc_get_sdk_info();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->valid, 1);
    EXPECT_STREQ(info->sc_type_text, "16");
    // Each service is really up.
    EXPECT_TRUE(root_.exists("/mnt/data/tolk_conf.db"));
    wait_links();
    ko_timer timer{};
    timer.first_ms = 1000;
    timer.callback = [](int, void *) {};
    const int id = ko_timer_add(&timer);
    EXPECT_GE(id, 0);
    ko_timer_del(id);
    ko_event_info event{};
    event.type = 1;
    EXPECT_EQ(ko_ipc_event_trigger(KO_EVENT_CONSUMER_SD, &event), 0);
    EXPECT_EQ(ko_event_get_count(KO_EVENT_CONSUMER_SD, nullptr, 0), 1);
    EXPECT_TRUE(dir_has_prefix(root_.path("/mnt/data"), "ko_kv_db_src"));
    EXPECT_TRUE(zeltest::wait_until(
        [&] { return json_object_array_length(member(sim_->command(R"({"cmd":"supervisor"})").get(), "messages")) > 0; },
        15s))
        << "the watchdog talks to the supervisor";

    // A second start changes nothing.
    ko_ipc_sdk_param other = default_param();
    other.sc_type = 0;
    EXPECT_EQ(ko_ipc_sdk_init(&other), 0);
    EXPECT_EQ(ko_ipc_get_sdk_info(), info);
    EXPECT_EQ(ko_ipc_sdk_deinit(), 0);
    EXPECT_FALSE(ko_ipc_get_sdk_info());
    EXPECT_EQ(ko_ipc_sdk_deinit(), -1);
    // And a stopped SDK starts again.
    ASSERT_EQ(ko_ipc_sdk_init(&param_), 0);
}

TEST_F(SdkStart, InvalidParametersAreRefusedBeforeAnythingStarts)
{
    EXPECT_EQ(ko_ipc_sdk_init(nullptr), -5);
    ko_ipc_sdk_param p = default_param();
    p.sc_type = 0;
    EXPECT_EQ(ko_ipc_sdk_init(&p), -5);
    p.sc_type = 1 | 16;
    EXPECT_EQ(ko_ipc_sdk_init(&p), -5);
    p = default_param();
    p.mac[0] = '\0';
    EXPECT_EQ(ko_ipc_sdk_init(&p), -5);
    p = default_param();
    p.wpa_intf[0] = '\0';
    EXPECT_EQ(ko_ipc_sdk_init(&p), -5);
    p.wpa_required = 0;
    p.sc_type = 14;
    EXPECT_TRUE(started_steps().empty());
    EXPECT_FALSE(ko_ipc_get_sdk_info());
    ASSERT_EQ(ko_ipc_sdk_init(&p), 0);
    EXPECT_STREQ(ko_ipc_get_sdk_info()->sc_type_text, "2,4,16");
}

TEST_F(SdkStart, AFailedStartIsUndoneSoThatARetrySucceeds)
{
    root_.write_file("/mnt/data/device.token", "junk!"); // the last step, the token read, fails on it
    EXPECT_EQ(ko_ipc_sdk_init(&param_), -5);
    EXPECT_TRUE(started_steps().empty());
    EXPECT_FALSE(ko_ipc_get_sdk_info());
    EXPECT_EQ(ko_ipc_stream_chn_del(0), -1);
    std::remove(root_.path("/mnt/data/device.token").c_str());
    ASSERT_EQ(ko_ipc_sdk_init(&param_), 0);
    EXPECT_EQ(started_steps().size(), 11u);
    wait_links();
}

TEST_F(SdkStart, ADaemonNotListeningYetIsWaitedFor)
{
    sim_.reset();
    sim_ = std::make_unique<zeltest::DaemonSim>(
        root_, std::vector<std::string>{"--status", "cloud_connected", "--time", "1700000000", "--push-status"}, true);
    setenv("ZELMAR_DAEMON_PORT", std::to_string(sim_->port()).c_str(), 1);
    sim_->command(R"({"cmd":"listen","on":false})");
    ASSERT_EQ(ko_ipc_sdk_init(&param_), 0) << "the start does not wait for the daemon";
    uint32_t now = 0;
    EXPECT_EQ(ko_ipc_get_server_time(&now), -1);
    char did[64];
    EXPECT_EQ(ko_ipc_query_did(did, sizeof did), -1);
    sim_->command(R"({"cmd":"listen","on":true})");
    // The link retries; once up, the daemon tells the state and the camera follows it.
    ASSERT_TRUE(zeltest::wait_until([&] { return ko_ipc_get_server_time(&now) == 0; }, 20s));
    EXPECT_EQ(now, 1700000000u);
    EXPECT_EQ(status_words(), (std::vector<std::string>{"cloud_connected"}));
}

TEST_F(SdkRunning, StreamChannelsAreCheckedAndCarryFramesToReaders)
{
    ko_stream_chn_info main = video_channel(0, 1920, 1080, 0);
    ko_stream_chn_info sub = video_channel(1, 640, 360, 2); // a ring no longer than its GOP
    ko_stream_chn_info audio = audio_channel();

    ko_stream_chn_info bad = main;
    bad.channel = 3;
    EXPECT_EQ(ko_ipc_stream_chn_add(&bad), -5);
    bad.channel = 9;
    EXPECT_EQ(ko_ipc_stream_chn_add(&bad), -5);
    bad = main;
    bad.gop = 50;
    EXPECT_EQ(ko_ipc_stream_chn_add(&bad), -5);
    bad = audio;
    bad.fps = 0;
    EXPECT_EQ(ko_ipc_stream_chn_add(&bad), -5);
    bad = audio;
    bad.samplebit = 12;
    EXPECT_EQ(ko_ipc_stream_chn_add(&bad), -5);
    EXPECT_EQ(ko_ipc_stream_chn_add(nullptr), -5);
    bad = main;
    bad.bitrate = 0;
    EXPECT_EQ(ko_ipc_stream_chn_add(&bad), -5) << "a channel whose ring cannot be made is not added";

    ASSERT_EQ(ko_ipc_stream_chn_add(&main), 0);
    EXPECT_EQ(main.seconds, 9u) << "seconds outside 1 to 20 become 9 in the caller's record";
    ASSERT_EQ(ko_ipc_stream_chn_add(&sub), 0);
    EXPECT_EQ(sub.seconds, 2u);
    ASSERT_EQ(ko_ipc_stream_chn_add(&audio), 0);
    EXPECT_EQ(ko_ipc_get_stream_info(0)->seconds, 9u);
    EXPECT_EQ(ko_ipc_get_stream_info(4)->samplerate, 16000u);
    EXPECT_FALSE(ko_ipc_get_stream_info(3));
    EXPECT_EQ(ko_ipc_get_sdk_info()->video_chn_count, 2);
    EXPECT_EQ(ko_ipc_stream_chn_add(&main), -9);

    std::vector<uint8_t> payload(3000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    for (unsigned chn : {0u, 1u, 4u}) {
        for (int n = 0; n < 4; ++n) { // a reader gets a frame once a newer one is in
            ko_av_frame frame{};
            frame.frame_type = chn == 4 ? KO_FRAME_TYPE_AUDIO : (n == 0 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P);
            payload[0] = static_cast<uint8_t>(chn * 10 + n);
            frame.data = payload.data();
            frame.size = static_cast<uint32_t>(payload.size() - n);
            ASSERT_EQ(ko_ipc_stream_put_frame(chn, &frame), 0) << chn;
        }
    }
    ko_av_frame frame{};
    frame.data = payload.data();
    frame.size = 10;
    EXPECT_EQ(ko_ipc_stream_put_frame(3, &frame), -5);
    EXPECT_EQ(ko_ipc_stream_put_frame(9, &frame), -5);
    frame.data = nullptr;
    EXPECT_EQ(ko_ipc_stream_put_frame(0, &frame), -5);

    for (unsigned chn : {0u, 1u}) {
        std::vector<uint8_t> buf(ringbuffer_get_max_frame_size(chn));
        for (int n = 0; n < 3; ++n) {
            ko_av_frame out{};
            ASSERT_EQ(ringbuffer_get_video_frame(chn, 0, &out, buf.data(), static_cast<uint32_t>(buf.size())), 0)
                << chn << "/" << n;
            EXPECT_EQ(out.size, payload.size() - n);
            EXPECT_EQ(buf[0], chn * 10 + n);
            EXPECT_EQ(out.frame_type, static_cast<uint32_t>(n == 0 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P));
            EXPECT_EQ(std::memcmp(buf.data() + 1, payload.data() + 1, out.size - 1), 0);
        }
    }
    std::vector<uint8_t> abuf(ringbuffer_get_max_frame_size(4));
    ko_av_frame aout{};
    ASSERT_EQ(ringbuffer_get_audio_frame(4, 0, &aout, abuf.data(), static_cast<uint32_t>(abuf.size())), 0);
    EXPECT_EQ(aout.frame_type, static_cast<uint32_t>(KO_FRAME_TYPE_AUDIO));
    EXPECT_EQ(abuf[0] / 10, 4);

    EXPECT_EQ(ko_ipc_stream_chn_del(3), -5);
    EXPECT_EQ(ko_ipc_stream_chn_del(9), -5);
    EXPECT_EQ(ko_ipc_stream_chn_del(2), -1);
    EXPECT_EQ(ko_ipc_stream_chn_del(1), 0);
    EXPECT_EQ(ko_ipc_get_sdk_info()->video_chn_count, 1);
    EXPECT_EQ(ko_ipc_stream_chn_add(&sub), 0) << "a deleted channel can be added again";
}

TEST_F(SdkRunning, StatusWordsSetTheCameraStateAndReachTheCallback)
{
    const int rpc_since = sim_->received_count("rpc");
    const struct {
        const char *word;
        int state;
        bool told; // the state changes
    } words[] = {{"device_init", 0, true},      {"didkey_done", 1, true},     {"wifi_ap_mode", 4, true},
                 {"sta_mode", 3, true},         {"token_done", 2, true},      {"wifi_connecting", 5, true},
                 {"wifi_connected", 6, true},   {"internet_failed", 5, true}, {"internet_connected", 7, true},
                 {"cloud_tryingX", 7, false},   {"cloud_retry", 7, false},    {"cloud_connected", 8, true},
                 {"cloud_connected", 8, false}, {"bogus_word", 8, false},     {"cloud_retry", 7, true}};
    size_t told = 0;
    for (const auto &w : words) {
        tell_status(w.word);
        if (!w.told) {
            std::this_thread::sleep_for(200ms);
            EXPECT_EQ(camera_state(), w.state) << w.word;
            EXPECT_EQ(status_words().size(), told) << w.word;
            continue;
        }
        ++told;
        ASSERT_TRUE(zeltest::wait_until(
            [&] { return camera_state() == w.state && status_words().size() == told && status_words().back() == w.word; },
            5s))
            << w.word;
    }
    ASSERT_TRUE(next("rpc", "_sync.set_extra_data", rpc_since));
    int index = -1;
    next("rpc", "_sync.set_extra_data", rpc_since, &index);
    EXPECT_TRUE(none_within("rpc", "_sync.set_extra_data", index + 1, 500)) << "media information goes out once";
    // The device id was asked for once the state passed 0.
    char did[64] = {};
    ASSERT_TRUE(zeltest::wait_until([&] { return ko_ipc_query_did(did, sizeof did) == 0; }, 5s));
    EXPECT_STREQ(did, "424242");
}

TEST_F(SdkRunning, ServerTimeNeedsTheCloudState)
{
    const int since = sim_->received_count("internal");
    uint32_t now = 0;
    EXPECT_EQ(ko_ipc_get_server_time(&now), -1);
    EXPECT_TRUE(next("internal", "local.query_status", since)) << "it asks for the status instead";
    tell_status("cloud_connected");
    ASSERT_TRUE(zeltest::wait_until([&] { return camera_state() == 8; }, 5s));
    ASSERT_EQ(ko_ipc_get_server_time(&now), 0);
    EXPECT_EQ(now, 1700000000u);
    sim_->command(R"({"cmd":"set","time":null})"); // the daemon stops answering
    EXPECT_EQ(ko_ipc_get_server_time(&now), -1);
}

// The daemon's time is unsigned 32-bit seconds: dates past January 2038 come through whole, and a
// value that does not fit (milliseconds by mistake) is not cut to a wrong date.
TEST_F(SdkRunning, ServerTimePast2038IsKeptAndOversizedTimesAreRefused)
{
    tell_status("cloud_connected");
    ASSERT_TRUE(zeltest::wait_until([&] { return camera_state() == 8; }, 5s));
    uint32_t now = 0;
    sim_->command(R"({"cmd":"set","time":2214086400})"); // 2040-02-29
    ASSERT_EQ(ko_ipc_get_server_time(&now), 0);
    EXPECT_EQ(now, 2214086400u);
    sim_->command(R"({"cmd":"set","time":4294967295})");
    ASSERT_EQ(ko_ipc_get_server_time(&now), 0);
    EXPECT_EQ(now, 4294967295u);
    for (const char *bad : {"1700000000000", "4294967296", "-5"}) {
        sim_->command(std::string(R"({"cmd":"set","time":)") + bad + "}");
        now = 7;
        EXPECT_EQ(ko_ipc_get_server_time(&now), -1) << bad;
        EXPECT_EQ(now, 7u) << bad;
    }
}

TEST_F(SdkRunning, MediaInformationCarriesTheChannelParameters)
{
    ko_stream_chn_info video = video_channel(0, 1920, 1080, 4);
    ko_stream_chn_info audio = audio_channel();
    ASSERT_EQ(ko_ipc_stream_chn_add(&video), 0);
    ASSERT_EQ(ko_ipc_stream_chn_add(&audio), 0);
    tell_status("cloud_connected");
    Json media = next("rpc", "_sync.set_extra_data", 0);
    ASSERT_TRUE(media);
    EXPECT_EQ(canonical(member(media.get(), "params")),
              canonical(R"({"data":{"v_encode":"96","v_fps":"20","v_width":"1920","v_height":"1080","v_bitrate":"1024",)"
                        R"("a_encode":"1026","a_fps":"25","a_samplebits":"16","a_samplerate":"16000","a_bitrate":"64"}})"));
}

TEST_F(SdkRunning, InformationRequestIsAnsweredToTheAskingModule)
{
    static std::mutex lock;
    static std::string answer;
    ASSERT_EQ(ko_message_listen(KO_UID_OTA, "sdkinfo_resp",
                                [](const ko_message_arg *arg) {
                                    std::lock_guard<std::mutex> l(lock);
                                    answer.assign(static_cast<const char *>(arg->param), arg->len);
                                },
                                nullptr),
              0);
    std::strcpy(ko_ipc_get_sdk_info()->param.model, "zelmar \"c1\"");
    ASSERT_EQ(ko_message_send(KO_UID_OTA, KO_UID_SDK, "sdkinfo_req", "?", 1, KO_MSG_MODE_ASYNC), 0);
    ASSERT_TRUE(zeltest::wait_until([] { std::lock_guard<std::mutex> l(lock); return !answer.empty(); }, 5s));
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(canonical(answer), canonical(R"({"model":"zelmar \"c1\"","fw_ver":"1.2.3_0042"})"));
}

uint8_t g_jpeg[] = {0xff, 0xd8, 0x01, 0x02, 0x03, 0xff, 0xd9};
std::mutex g_pic_lock;
std::vector<std::string> g_pics;

int snapshot_source(int, void **data, int *size, uint8_t *must_free)
{
    void *copy = std::malloc(sizeof g_jpeg);
    std::memcpy(copy, g_jpeg, sizeof g_jpeg);
    *data = copy;
    *size = sizeof g_jpeg;
    *must_free = 1;
    return 0;
}

int write_pic(int channel, const void *data, int size)
{
    std::lock_guard<std::mutex> lock(g_pic_lock);
    g_pics.push_back(std::to_string(channel) + ":" + std::string(static_cast<const char *>(data), size));
    return 0;
}

TEST_F(SdkRunning, SnapshotsGoToTheRecorderOrAFile)
{
    ko_ipc_get_sdk_info()->param.ko_snapshot_func = snapshot_source;
    ASSERT_EQ(ko_set_local_storage_write_pic_func(write_pic), 0);
    ASSERT_EQ(ko_ipc_snapshot_get(0, 1, nullptr), 0);
    ASSERT_TRUE(zeltest::wait_until([] { std::lock_guard<std::mutex> l(g_pic_lock); return !g_pics.empty(); }, 5s));
    EXPECT_EQ(g_pics[0], "1:" + std::string(reinterpret_cast<char *>(g_jpeg), sizeof g_jpeg));
    ASSERT_EQ(ko_ipc_snapshot_get(1, 0, "/tmp/snap.jpg"), 0);
    // The picture is written under a temporary name and renamed whole: it appears complete and no
    // temporary file is left behind.
    const std::string jpeg(reinterpret_cast<char *>(g_jpeg), sizeof g_jpeg);
    EXPECT_TRUE(zeltest::wait_until([&] { return root_.read_file("/tmp/snap.jpg") == jpeg; }, 5s))
        << root_.read_file("/tmp/snap.jpg");
    EXPECT_FALSE(root_.exists("/tmp/snap.jpg.part"));
}

std::string b64(const std::string &bytes)
{
    char out[256];
    vexa_base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<unsigned>(bytes.size()), out,
                       sizeof out);
    return out;
}

// The password as the phone scrambles it (the same XOR, which leaves a byte equal to its key byte).
std::string scramble(const std::string &plain)
{
    static const char kKey[] = "Qw7ZrT2mKp9VbN4xLc6HdS1fGj8YtE3uRn5WqA0zXo2PkM7sVe4BiU9hCy6DlF1gJa8TwZ";
    std::string out = plain;
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i] != kKey[i])
            out[i] = static_cast<char>(out[i] ^ kKey[i]);
    return out;
}

std::string url_escape(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

TEST_F(SdkRunning, BindInformationDecodesAndRegisters)
{
    const std::string passwd = std::string("Q") + "x\"pw"; // first byte equals its key byte
    const std::string text = "b=key%2Cone&t=Europe%2fBerlin&r=de&s=" + url_escape(b64("my \"home\"")) +
                             "&p=" + url_escape(b64(scramble(passwd)));
    ko_bind_info bind{};
    ASSERT_EQ(ko_ipc_bind_info_decode(text.c_str(), &bind), 0);
    EXPECT_STREQ(ko_ipc_get_sdk_info()->bind_key, "key,one");
    EXPECT_STREQ(bind.tz, "Europe/Berlin");
    EXPECT_STREQ(bind.country_domain, "de");
    EXPECT_STREQ(bind.ssid, "my \"home\"");
    EXPECT_STREQ(bind.passwd, passwd.c_str());

    ko_bind_info other{};
    EXPECT_EQ(ko_ipc_bind_info_decode("b=1&t=UTC&s=YQ==&p=YQ%4", &other), -1) << "a % with one hex digit";
    EXPECT_EQ(ko_ipc_bind_info_decode("t=UTC&s=YQ==&p=YQ==", &other), -1) << "no b";
    EXPECT_EQ(ko_ipc_bind_info_decode("b=1&s=YQ==&p=YQ==", &other), -1) << "no t";
    EXPECT_EQ(ko_ipc_bind_info_decode("b=1&t=UTC&p=YQ==", &other), -1) << "no s";
    EXPECT_EQ(ko_ipc_bind_info_decode(nullptr, &other), -1);
    ASSERT_EQ(ko_ipc_bind_info_decode("bX=k&t=UTC&s=YQ==&p=YQ==", &other), 0) << "a text starting with b is field b";
    EXPECT_STREQ(ko_ipc_get_sdk_info()->bind_key, "=k");

    // Over-long fields are cut at their width minus one and never spill into the next field.
    const std::string long_tz(60, 'z');
    const std::string long_ssid(50, 's');
    const std::string long_pw(80, 'p');
    const std::string text2 = "b=" + std::string(100, 'k') + "&t=" + long_tz + "&r=" + std::string(40, 'r') +
                              "&s=" + url_escape(b64(long_ssid)) + "&p=" + url_escape(b64(long_pw));
    ASSERT_EQ(ko_ipc_bind_info_decode(text2.c_str(), &other), 0);
    EXPECT_EQ(std::string(other.ssid), std::string(32, 's'));
    EXPECT_EQ(std::strlen(other.passwd), 63u);
    EXPECT_EQ(std::string(other.tz), std::string(31, 'z'));
    EXPECT_EQ(std::string(other.country_domain), std::string(31, 'r'));
    EXPECT_EQ(std::strlen(ko_ipc_get_sdk_info()->bind_key), 63u);

    // The registration request: members in order, quotes kept valid.
    ASSERT_EQ(ko_ipc_bind_info_decode(text.c_str(), &bind), 0);
    const int since = sim_->received_count("internal");
    ASSERT_EQ(ko_ipc_start_register(&bind), 0);
    Json request = next("internal", "local.ble.config_router", since);
    ASSERT_TRUE(request);
    EXPECT_TRUE(json_object_is_type(member(request.get(), "id"), json_type_int));
    json_object_object_del(request.get(), "id");
    EXPECT_EQ(canonical(request.get()),
              canonical(R"({"params":{"country_domain":"de","ssid":"my \"home\"","tz":"Europe/Berlin",)"
                        R"("passwd":"Qx\"pw","bind_key":"key,one"},"method":"local.ble.config_router"})"));
    EXPECT_STREQ(ko_ipc_get_sdk_info()->ssid, "my \"home\"");
}

TEST_F(SdkRunning, TokenIsOfferedInItsScrambledForm)
{
    uint8_t out[64];
    EXPECT_EQ(ko_ipc_get_token(out, sizeof out), -1) << "no token yet";
    EXPECT_EQ(ko_ipc_get_token(nullptr, 8), -1);
    call(R"("method":"_internal.update_dtoken","params":{"ntoken":"abc"})");
    ASSERT_TRUE(next("internal", "_internal.token_updated", 0));
    EXPECT_EQ(ko_ipc_get_token(out, 2), -1) << "too small a buffer";
    ASSERT_EQ(ko_ipc_get_token(out, sizeof out), 3);
    EXPECT_EQ(out[0], 'c' ^ 'b');
    EXPECT_EQ(out[1], 'b' ^ 'a');
    EXPECT_EQ(out[2], 'a');
}

} // namespace
} // namespace sdktest
