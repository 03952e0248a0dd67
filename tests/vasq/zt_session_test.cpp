// The streaming adapter against the transport and real phones on loopback: the start and the login
// watch, the threads of a session, media, commands and talk-back end to end, a phone that stops
// reading, hostile phones, and every way a session ends.
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "vasq_errors.h"
#include "vasq_lab.h"
#include "ztp_tick.h"
#include "ztp_tick_test.h"

namespace vasqtest {
namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

std::atomic<uint64_t> g_tick_shift_us{0};
uint64_t shifted_tick_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u +
           g_tick_shift_us.load();
}

std::atomic<int64_t> g_ztp_shift_ms{0};
int64_t shifted_ztp_tick()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 + g_ztp_shift_ms.load();
}

class ShiftedClocks {
public:
    ShiftedClocks()
    {
        ko_time_set_tick_source(shifted_tick_us);
        ztp_tick_set_source(shifted_ztp_tick);
    }
    ~ShiftedClocks()
    {
        ko_time_set_tick_source(nullptr);
        ztp_tick_set_source(nullptr);
        g_tick_shift_us = 0;
        g_ztp_shift_ms = 0;
    }
};

bool has_call(const std::string &what, const void *session, int code)
{
    for (const Call &c : Record::get().calls(what))
        if (c.session == session && c.code == code)
            return true;
    return false;
}

bool wait_call(const std::string &what, const void *session, int code, std::chrono::milliseconds timeout = 10s)
{
    return zeltest::wait_until([&] { return has_call(what, session, code); }, timeout);
}

// ---- start and login watch ----------------------------------------------------------------------

TEST_F(VasqLab, StartLogsInUnderTheCrcKeyAndReportsTheNetwork)
{
    start(6);
    Json login = net_.server_wait(R"({"type":18})");
    ASSERT_TRUE(login);
    EXPECT_TRUE(json_object_get_boolean(member(login.get(), "check_ok")));
    ASSERT_TRUE(Record::get().wait("login", 1, 8000));
    const Call c = Record::get().calls("login")[0];
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(c.data, "0"); // event type: online
    EXPECT_EQ(c.net.internet_ok, 1);
    EXPECT_EQ(c.net.server_hello_ok, 1);
    EXPECT_STRNE(c.net.lan_ip, "");
    const std::string info = ZTP_GetAPIInformation();
    EXPECT_NE(info.find("\"MaxNumSess\":7"), std::string::npos) << info;
    EXPECT_NE(info.find("\"SessAliveSec\":10"), std::string::npos) << info;
}

TEST_F(VasqLab, AStaleLoginAckBreaksTheListen)
{
    ShiftedClocks clocks;
    start();
    ASSERT_TRUE(Record::get().wait("login", 1, 8000));
    uint8_t logged = 0;
    ASSERT_TRUE(zeltest::wait_until([&] { return ZTP_LoginStatus_Check(&logged) == 0 && logged == 1; }, 5s));
    // No server answers a login any more, and the last answer looks two minutes old.
    net_.server(R"({"cmd":"udp_script","server":-1,"login":"silence"})");
    net_.server(R"({"cmd":"script","answer":"none"})");
    g_ztp_shift_ms = 120000;
    auto last_error = [&] { return __atomic_load_n(&server_->last_zt_error, __ATOMIC_ACQUIRE); };
    // The running listen's own time-out has passed on that clock; the next one starts afresh.
    ASSERT_TRUE(zeltest::wait_until([&] { return last_error() == ERROR_ZTP_TIME_OUT; }, 5s)) << last_error();
    usleep(600 * 1000);
    g_tick_shift_us = 4000000; // the first check is due 3 s after the start
    EXPECT_TRUE(zeltest::wait_until([&] { return last_error() == ERROR_ZTP_USER_LISTEN_BREAK; }, 5s))
        << last_error();
}

TEST_F(VasqLab, ARestartTakesTheNewInitString)
{
    start(3, 2);
    EXPECT_FALSE(net_.server_wait(R"({"type":18,"server":2})", 0, 1500)) << "a server not named was reached";
    finished_ = true;
    EXPECT_EQ(zt_server_finish(server_), 0);
    finished_ = false;
    ASSERT_EQ(zt_server_init(server_, kDid, kCrcKey, net_.init_string(3).c_str()), 0);
    EXPECT_TRUE(net_.server_wait(R"({"type":18,"server":2})", 0, 8000));
}

TEST_F(VasqLab, InitAndFinishCyclesLeaveNoThreadOrDescriptor)
{
    start();
    zt_server_finish(server_);
    const size_t threads = thread_names().size();
    const int fds = open_descriptors();
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(zt_server_init(server_, kDid, kCrcKey, net_.init_string().c_str()), 0) << i;
        if (i % 10 == 0)
            usleep(100 * 1000); // now and then the login watch and the listen are well under way
        ASSERT_EQ(zt_server_finish(server_), 0) << i;
    }
    finished_ = true;
    EXPECT_TRUE(zeltest::wait_until([&] { return thread_names().size() <= threads; }, 5s))
        << thread_names().size() << " threads, " << threads << " before";
    EXPECT_EQ(open_descriptors(), fds);
}

// ---- session threads and data -------------------------------------------------------------------

TEST_F(VasqLab, CommandsFlowBothWaysAndTalkBackArrivesWhole)
{
    start();
    vasq_session *s = session_of(0);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(zt_cmd_send(s, 266, "quality:2", 9), 0);
    EXPECT_TRUE(zeltest::wait_until(
        [&] {
            Json r = phone(0).received();
            json_object *cmds = member(r.get(), "commands");
            for (size_t i = 0; cmds && i < json_object_array_length(cmds); i++) {
                json_object *c = json_object_array_get_idx(cmds, i);
                if (json_object_get_int(json_object_array_get_idx(c, 0)) == 266 &&
                    std::string(json_object_get_string(json_object_array_get_idx(c, 1))) == "7175616c6974793a32")
                    return true;
            }
            return false;
        },
        5s));
    EXPECT_EQ(zt_cmd_send(s, 266, "x", VASQ_CMD_MAX - 3), VASQ_ERR_INVALID_ARG);

    phone(0).command(R"({"cmd":"command","code":300,"text":"ping"})");
    EXPECT_TRUE(zeltest::wait_until(
        [&] {
            for (const Call &c : Record::get().calls("cmd"))
                if (c.session == s && c.code == 300 && c.data == "ping")
                    return true;
            return false;
        },
        5s));

    phone(0).command(R"({"cmd":"talk","channel":3,"frames":60,"size":320})");
    ASSERT_TRUE(zeltest::wait_until([&] { return Record::get().received(s).audio.size() >= 60 * 320; }, 10s));
    const std::string audio = Record::get().received(s).audio;
    ASSERT_EQ(audio.size(), 60u * 320u);
    for (size_t i = 0; i < audio.size(); i++)
        ASSERT_EQ(static_cast<uint8_t>(audio[i]), static_cast<uint8_t>(i)) << "byte " << i;
}

TEST_F(VasqLab, ARelayedLinkIsWatchedEightTimesBeforeItsReport)
{
    ShiftedClocks clocks;
    start();
    const int relay_port = zeltest::free_udp_port();
    net_.start_relay({"--udp-port", std::to_string(relay_port), "--udp-mode", "pair"});
    const std::string relay = ztptest::json_addr(net_.ip(5), relay_port);
    net_.server(R"({"cmd":"udp_send","server":0,"to":"camera","msg":"rly_to","ticket":4711,"relay":)" + relay + "}");
    phone(0).command(R"({"cmd":"send","to":)" + relay + R"(,"msg":"rly_pkt","ticket":4711,"side":0})");
    ASSERT_TRUE(zeltest::wait_until([] { return count_threads("command_") == 1; }, 8s));
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            Json r = phone(0).received();
            return json_object_get_boolean(member(r.get(), "ready"));
        },
        5s));
    phone(0).command(R"({"cmd":"command","code":256,"text":"{}"})");
    ASSERT_TRUE(wait_sessions(1));
    vasq_session *s = Record::get().sessions()[0];
    EXPECT_TRUE(zeltest::wait_until([] { return count_threads("statistics_") == 1; }, 3s));
    // Readings after more than 0, 1, 2, 4, 8, 16, 32 and 64 s: the report waits for the last.
    g_tick_shift_us = 33000000;
    usleep(300 * 1000);
    EXPECT_FALSE(has_call("connection", s, 0));
    EXPECT_EQ(count_threads("statistics_"), 1);
    g_tick_shift_us = 65000000;
    EXPECT_TRUE(wait_call("connection", s, 0, 3s));
    for (const Call &c : Record::get().calls("connection"))
        EXPECT_EQ(c.data, "2") << "the link type is relay";
    EXPECT_TRUE(zeltest::wait_until([] { return count_threads("statistics_") == 0; }, 3s));
}

// ---- hostile phones -----------------------------------------------------------------------------

TEST_F(VasqLab, AnOversizeCommandIsReadAwayAndEndsTheSession)
{
    start();
    session_of(0, false);
    phone(0).command(R"({"cmd":"declare","channel":0,"length":1089,"send":1089})");
    EXPECT_TRUE(Record::get().wait("close", 1, 10000));
    EXPECT_TRUE(zeltest::wait_until([] { return count_threads("command_") == 0; }, 5s));
    EXPECT_EQ(Record::get().count("cmd"), 0u);
}

TEST_F(VasqLab, ACommandTooShortForItsCodeEndsWith22)
{
    start();
    for (int n = 1; n <= 3; n++) {
        session_of(n - 1, false);
        phone(n - 1).command(R"({"cmd":"declare","channel":0,"length":)" + std::to_string(n) + R"(,"send":)" +
                             std::to_string(n) + "}");
        ASSERT_TRUE(zeltest::wait_until([&] { return Record::get().count("error") >= static_cast<size_t>(n); }, 10s))
            << n;
    }
    for (const Call &c : Record::get().calls("error"))
        EXPECT_EQ(c.code, VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(Record::get().count("cmd"), 0u);
}

TEST_F(VasqLab, PhonesThatNeverAuthoriseGiveTheirSlotsBack)
{
    ShiftedClocks clocks;
    start(6);
    for (int i = 0; i < 7; i++)
        session_of(i, false);
    ASSERT_EQ(count_threads("command_"), 7);
    // Every transport slot is taken: an eighth phone gets nowhere.
    phone(7).connect();
    usleep(1500 * 1000);
    EXPECT_EQ(count_threads("command_"), 7);
    g_tick_shift_us = 31000000;
    ASSERT_TRUE(zeltest::wait_until([] { return Record::get().count("error") >= 7; }, 10s));
    for (const Call &c : Record::get().calls("error"))
        EXPECT_EQ(c.code, VASQ_ERR_CLOSE_BY_TIMEOUT);
    EXPECT_TRUE(zeltest::wait_until([] { return count_threads("command_") == 0; }, 5s));
    g_tick_shift_us = 0;
    ASSERT_NE(session_of(7), nullptr) << "the eighth phone did not get in";
}

// ---- ends ---------------------------------------------------------------------------------------

int handle_of(vasq_session *s)
{
    pthread_mutex_lock(&s->handle_lock);
    const int h = s->handle;
    pthread_mutex_unlock(&s->handle_lock);
    return h;
}

// What the double recorded goes once a session has been handed back: the next session may be
// given the freed record's address.
void forget_ended()
{
    Record::get().clear();
}

// Two transport slots, one held by an idle phone: every new phone takes the handle of the session
// that has just ended while its receive threads were reading. Two phone processes take turns; the
// ended session's phone goes on talking into the next round and is then renewed.
TEST_F(VasqLab, ANewPhoneOnAnEndedSessionsHandleGetsOnlyItsOwnBytes)
{
    const int rounds = 200;
    start(1);
    ASSERT_NE(session_of(0), nullptr);
    vasq_session *a = session_of(1);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < rounds; i++) {
        const int talking = 1 + i % 2, next = 1 + (i + 1) % 2;
        const int handle = handle_of(a);
        phone(talking).command(R"({"cmd":"talk","channel":3,"frames":400,"size":320})");
        ASSERT_TRUE(zeltest::wait_until([&] { return !Record::get().received(a).audio.empty(); }, 5s)) << i;
        zt_session_destroy(a);
        ASSERT_TRUE(wait_call("disconnect", a, VASQ_ERR_CLOSE_BY_LOCAL, 5s)) << i;
        ASSERT_TRUE(wait_call("close", a, 0, 5s)) << i;
        forget_ended();
        if (i > 0)
            phone(next).renew();
        vasq_session *b = session_of(next);
        ASSERT_NE(b, nullptr) << i;
        EXPECT_EQ(handle_of(b), handle) << "the listen handed out another slot";
        phone(next).command(R"({"cmd":"talk","channel":3,"frames":40,"size":320})");
        ASSERT_TRUE(zeltest::wait_until([&] { return Record::get().received(b).audio.size() >= 40 * 320; }, 10s))
            << i;
        usleep(100 * 1000); // what a stale reader of the old session could still deliver
        const std::string audio = Record::get().received(b).audio;
        ASSERT_EQ(audio.size(), 40u * 320u) << "round " << i;
        for (size_t k = 0; k < audio.size(); k++)
            ASSERT_EQ(static_cast<uint8_t>(audio[k]), static_cast<uint8_t>(k)) << "round " << i << " byte " << k;
        a = b;
    }
}

// A thousand idle ends, in five test processes that may run side by side: each round waits for the
// transport's punching and the listen's pause after an accept.
class VasqLabIdleEnds : public VasqLab, public ::testing::WithParamInterface<int> {};

TEST_P(VasqLabIdleEnds, IdleEndsNeverHang)
{
    const int rounds = 200;
    start();
    for (int i = 0; i < rounds; i++) {
        if (i > 0)
            phone(0).renew();
        vasq_session *s = session_of(0);
        ASSERT_NE(s, nullptr) << i;
        // The sender is idle in its wait when the end comes.
        zt_session_destroy(s);
        ASSERT_TRUE(wait_call("disconnect", s, VASQ_ERR_CLOSE_BY_LOCAL, 5s)) << "round " << i;
        ASSERT_TRUE(wait_call("close", s, 0, 5s)) << "round " << i;
        forget_ended();
    }
}

INSTANTIATE_TEST_SUITE_P(FiveProcesses, VasqLabIdleEnds, ::testing::Range(0, 5));

TEST_F(VasqLab, FinishEndsSessionsNotYetAuthorised)
{
    start();
    session_of(0, false);
    vasq_session *b = session_of(1);
    ASSERT_NE(b, nullptr);
    finished_ = true;
    EXPECT_EQ(zt_server_finish(server_), 0);
    EXPECT_TRUE(vasq_list_empty(&server_->accepted));
    EXPECT_EQ(count_threads("avsend_"), 0);
    // What the sessions do after they have left the server: give themselves back.
    EXPECT_TRUE(Record::get().wait("close", 2, 5000));
    EXPECT_TRUE(has_call("disconnect", b, VASQ_ERR_CLOSE_BY_LOCAL));
    EXPECT_TRUE(zeltest::wait_until([] { return count_threads("command_") == 0; }, 5s));
}

} // namespace
} // namespace vasqtest
