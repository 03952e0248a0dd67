// The recording session calls and the test's SDK record.
#include "p2p_lab.h"

#include <string.h>

#include "common/ko_porting_hooks.h"

namespace p2ptest {
namespace {

int video_send(vasq_session *, const vasq_frame_info *h, const void *)
{
    Lab &l = Lab::get();
    std::lock_guard<std::mutex> g(l.lock);
    l.frames.push_back(*h);
    return 0;
}

int cmd_send(vasq_session *s, int code, const void *data, int length)
{
    Lab &l = Lab::get();
    std::lock_guard<std::mutex> g(l.lock);
    l.commands.push_back({s, code, std::string(static_cast<const char *>(data), static_cast<size_t>(length))});
    return l.cmd_result;
}

int query(vasq_session *, int code, void *out)
{
    Lab &l = Lab::get();
    std::lock_guard<std::mutex> g(l.lock);
    if (code == 4)
        l.clears++;
    const int value = code == 13 ? l.bytes_held : code == 14 ? l.frames_held : 0;
    if (out)
        memcpy(out, &value, sizeof value);
    return 0;
}

void close_session(vasq_session *)
{
    Lab &l = Lab::get();
    std::lock_guard<std::mutex> g(l.lock);
    l.closes++;
}

int statistics_set(vasq_session *, int, const void *, int)
{
    return 0;
}

int rdt_send(vasq_session *, const void *data, int length)
{
    Lab &l = Lab::get();
    std::function<void()> then;
    {
        std::lock_guard<std::mutex> g(l.lock);
        l.rdt.emplace_back(static_cast<const char *>(data), static_cast<size_t>(length));
        then = l.on_rdt;
    }
    if (then)
        then();
    return 0;
}

void audio_status(int, bool) {}

const ko_p2p::session_ops kOps = {video_send, cmd_send, query, close_session, statistics_set, rdt_send};

ko_stream_chn_info video(unsigned chn, uint16_t w, uint16_t h)
{
    ko_stream_chn_info i{};
    i.channel = chn;
    i.resolution = {w, h};
    i.gop = 60;
    i.encode = 5;
    i.fps = 20;
    return i;
}

} // namespace

const ko_p2p::session_ops &recording_ops()
{
    return kOps;
}

std::string le_words(std::initializer_list<uint32_t> words)
{
    std::string out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; i++)
            out += static_cast<char>(w >> (8 * i));
    return out;
}

uint32_t le_word_at(const std::string &bytes, size_t at)
{
    uint32_t v = 0;
    for (size_t i = 4; i-- > 0;)
        v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

std::string joined_rdt()
{
    const std::vector<std::string> sent = Lab::get().rdt_sent();
    std::string all;
    for (size_t i = 0; i < sent.size(); i++) {
        EXPECT_LE(sent[i].size(), 2048u) << "packet " << i;
        if (i + 1 < sent.size()) {
            EXPECT_EQ(sent[i].size(), 2048u) << "packet " << i << " of " << sent.size() << " not full";
        }
        all += sent[i];
    }
    return all;
}

int lab_start_service()
{
    ko_p2p_param p{};
    p.max_session = 2;
    p.audio_status = audio_status;
    if (const int rc = ko_p2p_init(&p); rc != 0)
        return rc;
    void *user = nullptr;
    return vasq_on_connect(phone(0), &user);
}

std::vector<std::string> playback_texts()
{
    std::vector<std::string> out;
    for (const Sent &s : Lab::get().sent())
        if (s.code == 270 && !s.data.empty())
            out.push_back(s.data.substr(0, s.data.size() - 1));
    return out;
}

void lab_install(ko_sdk_info &info)
{
    Lab::get().reset();
    info.valid = 1;
    strcpy(info.device_id, "ABC-123-XYZ");
    strcpy(info.param.model, "zelmar.camera.c1");
    strcpy(info.param.mac, "AA:BB:CC:DD:EE:FF");
    info.stream_info[0] = video(0, 2560, 1440);
    info.stream_info[1] = video(1, 864, 480);
    info.stream_info[2] = video(2, 640, 360);
    info.stream_info[4].channel = 4;
    info.stream_info[4].samplerate = 16000;
    info.stream_info[4].samplebit = 16;
    info.stream_info[4].encode = 1032;
    info.video_chn_count = 3;
    g_sdk_info = &info;
    ko_p2p_test_use_session_ops(&kOps);
}

void lab_uninstall()
{
    ko_p2p_test_use_session_ops(nullptr);
    g_sdk_info = nullptr;
}

void P2pTest::SetUp()
{
    lab_install(info_);
}

void P2pTest::TearDown()
{
    lab_uninstall();
}

} // namespace p2ptest

// The app client's notice hook: quality 0 is the sub stream with automatic switching, others main.
extern "C" int ko_p2p_message_notice(ko_p2p_msg_notice *n)
{
    p2ptest::Lab &l = p2ptest::Lab::get();
    std::lock_guard<std::mutex> g(l.lock);
    l.notices.push_back({n->type, n->quality});
    if (n->type == KO_P2P_NOTICE_VIDEO_QUALITY) {
        n->channel = n->quality == 0 ? 1 : 0;
        n->answer = n->quality == 0 ? 1 : 0;
    }
    return 0;
}
