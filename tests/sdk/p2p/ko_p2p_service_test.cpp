// The P2P service's start and stop and its slots under concurrency: phones claiming slots at once,
// two phones asking to talk at once, commands to a phone that left, pending daemon RPCs, server
// errors with and without phones, the retry thread under the thread watchdog, stops that do not wait
// on the retry thread, and many start, watch and stop cycles that leave no thread or descriptor behind.
#include <json-c/json.h>
#include <string.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/ipc/ko_message.h"
#include "common/report_stat/ko_thread_alive.h"
#include "common/ringbuffer/ko_ringbuffer.h"
#include "common/utils/ko_time_test.h"
#include "p2p_daemon.h"
#include "p2p_lab.h"
#include "peer_control.h"
#include "vasq_phone_ctl.h"
#include "zel_test_support.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;
using ko_p2p::g_vasq_ctrl;

int g_audio_kind = -1, g_audio_on = -1;
void audio_status(int kind, bool on)
{
    g_audio_kind = kind;
    g_audio_on = on ? 1 : 0;
}

class Service : public P2pTest {
protected:
    static void SetUpTestSuite() { ko_message_init(nullptr); }
    static void TearDownTestSuite() { ko_message_deinit(); }
    void SetUp() override
    {
        P2pTest::SetUp();
        ASSERT_EQ(daemon_listen(), 0);
    }
    void TearDown() override
    {
        ko_p2p_deinit();
        daemon_unlisten();
        P2pTest::TearDown();
    }
    void init(int sessions)
    {
        ko_p2p_param p{};
        p.max_session = sessions;
        p.audio_status = audio_status;
        ASSERT_EQ(ko_p2p_init(&p), 0);
    }
    bool connect(int n)
    {
        void *user = nullptr;
        return vasq_on_connect(phone(n), &user) == 0;
    }
    int command(int n, int code, const std::string &json)
    {
        return vasq_on_cmd(phone(n), code, json.data(), static_cast<int>(json.size()), nullptr);
    }
};

TEST_F(Service, StartRefusals)
{
    ko_p2p_param p{};
    EXPECT_EQ(ko_p2p_init(&p), -5) << "no sessions";
    p.max_session = 2;
    EXPECT_EQ(ko_p2p_init(&p), -5) << "no audio-status callback";
    g_sdk_info = nullptr;
    p.audio_status = audio_status;
    EXPECT_EQ(ko_p2p_init(&p), -1) << "the SDK not started";
    g_sdk_info = &info_;
    EXPECT_EQ(ko_p2p_deinit(), -1);
    EXPECT_EQ(ko_p2p_alive_enable(1), -1);
    EXPECT_EQ(ko_p2p_get_clients_conn_info(nullptr), -1);
    ASSERT_EQ(ko_p2p_init(&p), 0);
    EXPECT_EQ(ko_p2p_init(&p), -9);
}

// The link routes a reply to the service only if the method was announced before the request went
// up; the start sends its first vendor request at once, so the announcements must be done by then.
std::mutex g_announced_lock;
std::vector<std::pair<std::string, std::thread::id>> g_announced;
void on_announce(const ko_message_arg *arg)
{
    std::lock_guard<std::mutex> g(g_announced_lock);
    g_announced.emplace_back(std::string(static_cast<const char *>(arg->param), arg->len), std::this_thread::get_id());
}

TEST_F(Service, TheDaemonMethodsAreAnnouncedBeforeTheStartGoesOn)
{
    ASSERT_EQ(ko_message_listen(KO_UID_RPC, "rpc.register", on_announce, nullptr), 0);
    init(2);
    ko_message_unregister(KO_UID_RPC, "rpc.register");
    std::lock_guard<std::mutex> g(g_announced_lock);
    std::vector<std::string> names;
    for (const auto &a : g_announced) {
        names.push_back(a.first);
        EXPECT_EQ(a.second, std::this_thread::get_id()) << a.first << " was left to the bus's workers";
    }
    EXPECT_EQ(names, (std::vector<std::string>{"_sync.vasq_get_vendor", "vasq.set_vendor", "_sync.vasq_wakeup"}));
}

TEST_F(Service, AStartThatFailsHalfWayLeavesNothingBehind)
{
    // Without the message bus the start fails once its slots exist; they are not left behind (a
    // leak report at the end otherwise).
    ko_message_deinit();
    ko_p2p_param p{};
    p.max_session = 2;
    p.audio_status = audio_status;
    EXPECT_EQ(ko_p2p_init(&p), -1);
    EXPECT_EQ(g_vasq_ctrl.slots, nullptr);
    ASSERT_EQ(ko_message_init(nullptr), 0);
    ASSERT_EQ(daemon_listen(), 0);
    EXPECT_EQ(ko_p2p_init(&p), 0) << "a later start succeeds";
}

TEST_F(Service, PhonesClaimingAtOnceGetDistinctSlotsAndTheSeventhIsRefused)
{
    init(6);
    for (int round = 0; round < 20; round++) {
        std::atomic<int> taken{0}, refused{0};
        std::vector<std::thread> phones;
        for (int n = 0; n < 10; n++)
            phones.emplace_back([&, n] { (connect(n) ? taken : refused)++; });
        for (std::thread &t : phones)
            t.join();
        ASSERT_EQ(taken.load(), 6);
        ASSERT_EQ(refused.load(), 4);
        void *user = nullptr;
        ASSERT_EQ(vasq_on_connect(phone(10), &user), 8) << "the streaming server then refuses the session";
        std::set<vasq_session *> held;
        for (int i = 0; i < 6; i++)
            held.insert(g_vasq_ctrl.slots[i].session);
        ASSERT_EQ(held.size(), 6u) << "two phones never share a slot";
        for (vasq_session *s : held)
            vasq_on_disconnect(s, 0, nullptr);
        ko_p2p_conn_info conn{};
        ASSERT_EQ(ko_p2p_get_clients_conn_info(&conn), 0);
        ASSERT_EQ(conn.online, 0);
    }
}

TEST_F(Service, OnlyOnePhoneTalksAtATime)
{
    init(4);
    for (int round = 0; round < 20; round++) {
        Lab::get().reset();
        ASSERT_TRUE(connect(0) && connect(1));
        std::thread a([&] { command(0, 262, "{}"); });
        std::thread b([&] { command(1, 262, "{}"); });
        a.join();
        b.join();
        std::vector<Sent> sent = Lab::get().sent();
        ASSERT_EQ(sent.size(), 2u);
        std::multiset<std::string> answers{sent[0].data, sent[1].data};
        const std::string ok(4, '\0'), refused("\xff\xff\xff\xff", 4);
        ASSERT_EQ(answers, (std::multiset<std::string>{ok, refused}));
        vasq_session *talker = sent[0].data == ok ? sent[0].session : sent[1].session;
        const int talker_n = talker == phone(0) ? 0 : 1;
        command(talker_n, 262, "{}");
        EXPECT_EQ(Lab::get().sent().back().data, refused) << "a repeated start from the talker is refused too";
        command(talker_n, 264, "");
        EXPECT_EQ(g_audio_kind, 0);
        EXPECT_EQ(g_audio_on, 0);
        command(1 - talker_n, 262, "{}");
        EXPECT_EQ(Lab::get().sent().back().data, ok) << "free again once the talker stopped";
        vasq_on_disconnect(phone(0), 0, nullptr);
        vasq_on_disconnect(phone(1), 0, nullptr);
    }
}

TEST_F(Service, CommandsFromAndToPhones)
{
    init(2);
    ASSERT_TRUE(connect(0));
    EXPECT_EQ(command(0, 267, ""), 0);
    EXPECT_EQ(Lab::get().sent().back().code, 268);
    EXPECT_EQ(Lab::get().sent().back().data, std::string("g711a", 6));
    EXPECT_EQ(command(0, 272, ""), 0);
    const Sent info = Lab::get().sent().back();
    EXPECT_EQ(info.code, 273);
    ASSERT_FALSE(info.data.empty());
    EXPECT_EQ(info.data.back(), '\0');
    zeltest::Json j(json_tokener_parse(info.data.c_str()));
    ASSERT_TRUE(j.get());
    EXPECT_STREQ(json_object_get_string(zeltest::member(j.get(), "did")), "ABC-123-XYZ");
    EXPECT_EQ(json_object_get_int(zeltest::member(j.get(), "rssi")), -30);
    EXPECT_EQ(command(5, 267, ""), -1) << "a session without a slot";
    EXPECT_EQ(command(0, 274, "{}"), -1) << "no app-client callback";

    EXPECT_EQ(ko_p2p_user_cmd_send(0, 275, "x", 1), 0);
    Lab::get().cmd_result = -3;
    EXPECT_EQ(ko_p2p_user_cmd_send(0, 275, "x", 1), -1) << "a failed send is a failure";
    Lab::get().cmd_result = 0;
    vasq_on_disconnect(phone(0), 0, nullptr);
    EXPECT_EQ(ko_p2p_user_cmd_send(0, 275, "x", 1), -1) << "the phone left";
    EXPECT_EQ(ko_p2p_user_cmd_send(9, 275, "x", 1), -1);
    EXPECT_EQ(Lab::get().closes, 1);
}

TEST_F(Service, VideoStartAndStop)
{
    init(2);
    ASSERT_TRUE(connect(0));
    ko_p2p::p2p_client &c = g_vasq_ctrl.slots[0];
    EXPECT_EQ(command(0, 258, R"({"enableaudio":1})"), 0);
    EXPECT_TRUE(c.video_on.load());
    EXPECT_FALSE(c.audio_on.load()) << "enableaudio without videoquality";
    EXPECT_EQ(c.channel.load(), 1) << "the first start asks for quality 0";
    EXPECT_TRUE(c.drop.auto_switch);
    EXPECT_EQ(command(0, 258, R"({"videoquality":2,"enableaudio":1})"), 0);
    EXPECT_EQ(c.channel.load(), 0);
    EXPECT_TRUE(c.audio_on.load());
    EXPECT_EQ(command(0, 265, R"({"videoquality":0})"), 0);
    EXPECT_EQ(c.channel.load(), 1);
    EXPECT_EQ(Lab::get().sent().back().code, 266);
    EXPECT_EQ(command(0, 258, "{}"), 0);
    EXPECT_EQ(c.channel.load(), 1) << "a later start without videoquality keeps the channel";
    EXPECT_EQ(command(0, 259, ""), 0);
    EXPECT_FALSE(c.video_on.load());
    EXPECT_EQ(Lab::get().clears, 1);
}

TEST_F(Service, PendingRpcsAreBoundedAndABadRequestLeavesNoEntry)
{
    init(2);
    EXPECT_EQ(vasq_rpc_send(nullptr, "_sync.vasq_get_vendor", "{not json"), -1);
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(vasq_rpc_send(nullptr, "_sync.vasq_get_vendor", R"({"public_key":"00"})"), 0) << i;
    EXPECT_EQ(vasq_rpc_send(nullptr, "_sync.vasq_get_vendor", "{}"), -1) << "an eleventh is refused";
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            size_t n = 0;
            for (const std::string &t : daemon_rpcs())
                n += t.find(R"("public_key":"00")") != std::string::npos;
            return n == 10;
        },
        5s));
    std::string first;
    for (const std::string &t : daemon_rpcs())
        if (t.find(R"("public_key":"00")") != std::string::npos) {
            first = t;
            break;
        }
    zeltest::Json j(json_tokener_parse(first.c_str()));
    ASSERT_TRUE(j.get());
    EXPECT_STREQ(json_object_get_string(zeltest::member(j.get(), "method")), "_sync.vasq_get_vendor");
    const int id = json_object_get_int(zeltest::member(j.get(), "id"));
    const std::string reply = R"({"id":)" + std::to_string(id) + R"(,"result":{}})";
    ASSERT_EQ(ko_message_send(KO_UID_RPC, KO_UID_P2P, "rpc.ack", reply.c_str(), static_cast<uint32_t>(reply.size()),
                              KO_MSG_MODE_SYNC),
              0);
    EXPECT_EQ(vasq_rpc_send(nullptr, "_sync.vasq_get_vendor", "{}"), 0) << "the reply freed its entry";
}

TEST_F(Service, ASessionsErrorKeepsTheServerWhilePhonesWatch)
{
    init(2);
    ASSERT_TRUE(connect(0));
    vasq_on_error(phone(0), 8, nullptr);
    EXPECT_FALSE(g_vasq_ctrl.restart.load()) << "one session's failure must not drop the others";
    vasq_on_disconnect(phone(0), 0, nullptr);
    vasq_on_error(nullptr, 17, nullptr);
    EXPECT_TRUE(g_vasq_ctrl.restart.load() || g_vasq_ctrl.init_step.load() >= 8);
}

std::atomic<uint64_t> g_fake_now_us{0};

TEST_F(Service, TheRetryThreadIsWatchedUntilItEnds)
{
    g_fake_now_us = 1000000000;
    ko_time_set_tick_source([] { return g_fake_now_us.load(); });
    init(2);
    // The start may write its own steps over the first try's; the next try comes 5 s later.
    ASSERT_TRUE(zeltest::wait_until([] { return g_vasq_ctrl.init_step.load() >= 6; }, 12s));
    g_fake_now_us += 61000000;
    // The bus's own watched threads report again within their 30-ms tick; the retry thread only at
    // its next pass, 5 s on.
    thread_alive_info info{};
    const bool overdue = zeltest::wait_until(
        [&] { return thread_alive_check(&info) == 1 && strcmp(info.name, "p2p_retry") == 0; }, 2s);
    ko_p2p_deinit();
    const bool after_stop = zeltest::wait_until([&] { return thread_alive_check(&info) == 0; }, 2s);
    ko_time_set_tick_source(nullptr);
    EXPECT_TRUE(overdue) << "a pass that hangs is seen";
    EXPECT_TRUE(after_stop) << "it says so when it ends";
}

TEST_F(Service, StopIsPromptAndLeavesNoThread)
{
    const int before = vasqtest::count_threads("p2p_");
    for (int i = 0; i < 10; i++) {
        init(6);
        for (int n = 0; n < 6; n++)
            ASSERT_TRUE(connect(n));
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(ko_p2p_deinit(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, zeltest::emulator().empty() ? 1s : 5s);
    }
    // A detached helper may still be on its way out when the stop returns (slow under an emulator).
    EXPECT_TRUE(zeltest::wait_until([&] { return vasqtest::count_threads("p2p_") == before; }, 2s))
        << vasqtest::count_threads("p2p_") << " threads left, " << before << " before";
}

TEST_F(Service, FiftyStartWatchStopCyclesLeaveNoThreadOrDescriptor)
{
    ko_stream_chn_info &v = info_.stream_info[0];
    v.gop = 20;
    v.bitrate = 2000;
    v.seconds = 4;
    ASSERT_EQ(ringbuffer_init(&v), 0);
    std::vector<uint8_t> payload(2000, 0x5a);
    for (uint32_t seq = 1; seq <= 40; seq++) {
        ko_av_frame f{};
        f.frame_type = seq % 20 == 1 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
        f.frame_tag = 2;
        f.data = payload.data();
        f.size = static_cast<uint32_t>(payload.size());
        ASSERT_EQ(ringbuffer_put_frame(0, &f), 0);
    }
    std::vector<std::string> threads;
    int descriptors = 0;
    for (int cycle = 0; cycle < 50; cycle++) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        init(6);
        const size_t sent = Lab::get().frames.size();
        for (int n = 0; n < 6; n++) {
            ASSERT_TRUE(connect(n));
            ASSERT_EQ(command(n, 258, R"({"videoquality":2})"), 0);
        }
        ASSERT_TRUE(zeltest::wait_until(
            [&] {
                std::lock_guard<std::mutex> g(Lab::get().lock);
                return Lab::get().frames.size() >= sent + 6;
            },
            10s))
            << "the six watch";
        ASSERT_EQ(ko_p2p_deinit(), 0);
        if (cycle == 0) { // what the first start made for good is counted in
            threads = vasqtest::thread_names();
            descriptors = zeltest::descriptor_count();
        }
    }
    EXPECT_TRUE(zeltest::wait_until([&] { return vasqtest::thread_names().size() == threads.size(); }, 5s))
        << testing::PrintToString(vasqtest::thread_names()) << " after the first cycle "
        << testing::PrintToString(threads);
    EXPECT_EQ(zeltest::descriptor_count(), descriptors);
    ringbuffer_free(0);
}

} // namespace
} // namespace p2ptest
