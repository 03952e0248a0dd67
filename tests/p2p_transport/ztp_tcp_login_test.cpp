// The TCP login records against ztp_server.py (a server's TCP login side written from the wire
// format): the login arrives with its checks, the answer is read, a refused server is tried again
// after 10 s and not sooner, and hostile answers reset only the record they came on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peer_control.h"
#include "zel_test_support.h"
#include "ztp_peer_vectors.h"
#include "ztp_socket.h"
#include "ztp_tables.h"
#include "ztp_tcp_login.h"
#include "ztp_tick_test.h"
#include "ztp_wire_msgs.h"

using namespace ztptest;
using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

namespace {

std::atomic<int64_t> g_now{1000000};
int64_t fake_tick()
{
    return g_now.load();
}

class ZtpServer {
public:
    ZtpServer(const zeltest::TempRoot &root, const std::string &name, int port = 0)
        : port_(port > 0 ? port : zeltest::free_tcp_port()), control_path_(root.path("/tmp/" + name + ".ctl"))
    {
        process_ = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("ztp_server.py", {"--port", std::to_string(port_), "--control", control_path_}),
            std::vector<std::string>{}, root.path("/tmp/" + name + ".log"));
        control_ = std::make_unique<zeltest::PeerControl>(control_path_, "ztp_server.py " + name);
    }

    int port() const { return port_; }
    Json command(const std::string &json) { return control_->command(json); }
    void script(const std::string &answer, int result = 0)
    {
        command(R"({"cmd":"script","answer":")" + answer + R"(","result":)" + std::to_string(result) + "}");
    }
    // The login at `index`, waiting for it.
    Json login(int index, int timeout_ms = 5000)
    {
        Json answer = command(
            R"({"cmd":"wait_login","since":)" + std::to_string(index) + R"(,"timeout_ms":)" +
            std::to_string(static_cast<int>(zeltest::scaled(std::chrono::milliseconds(timeout_ms)).count())) + "}");
        json_object *l = member(answer.get(), "login");
        return Json(l ? json_object_get(l) : nullptr);
    }
    int accepts()
    {
        Json answer = command(R"({"cmd":"accepts"})");
        return static_cast<int>(json_object_array_length(member(answer.get(), "accepts")));
    }

private:
    int port_;
    std::string control_path_;
    std::unique_ptr<zeltest::ChildProcess> process_;
    std::unique_ptr<zeltest::PeerControl> control_;
};

struct RecordDeleter {
    void operator()(ztp_tcp_session_info *info) const { ztp_FreeTCPrSessionInfo(info); }
};
using Record = std::unique_ptr<ztp_tcp_session_info, RecordDeleter>;

class TcpLogin : public ::testing::Test {
protected:
    void SetUp() override
    {
        ztp_tick_set_source(fake_tick);
        ztp_scramble_key_init(&key_, "KEYSTR");
        params_.did = test_did();
        params_.nat_type = 2;
        params_.dsk = "DSKSECRET";
        params_.login_key = ztp_login_key;
        params_.key = &key_;
    }
    void TearDown() override { ztp_tick_set_source(nullptr); }

    static Record record(const char *name, int port)
    {
        return Record(ztp_AllocTCPSessionInfo(name, "127.0.0.1", static_cast<uint16_t>(port), ZTP_TCP_MSG_MAX));
    }

    // Steps the record until it is connected (the server accepts at loopback speed).
    static bool connect(ztp_tcp_session_info *r, int request = ZTP_TCP_REQ_LOGIN)
    {
        return zeltest::wait_until(
            [&] {
                ztp_Do_TCPConnect(&r, 1, request);
                return r->connected != 0;
            },
            5s);
    }

    // Reads until a message is ready (or the record resets); the result of Check_MSG_Ready.
    int next_message(ztp_tcp_session_info *r, uint8_t *type, Bytes *payload)
    {
        zeltest::wait_until(
            [&] {
                ztp_Do_TCPRecv(&r, 1, &key_);
                return r->msg_ready || r->sock < 0;
            },
            5s);
        uint8_t buf[ZTP_TCP_MSG_MAX];
        size_t size = sizeof buf;
        const int res = Check_MSG_Ready(r, type, buf, &size);
        if (res == 0)
            payload->assign(buf, buf + size);
        return res;
    }

    zeltest::TempRoot root_;
    ztp_scramble_key key_{};
    ztp_tcp_login_params params_{};
};

TEST_F(TcpLogin, LoginArrivesCheckedAndTheAnswerIsRead)
{
    ZtpServer server(root_, "s1");
    Record r = record("Server1", server.port());
    ASSERT_TRUE(r);
    ASSERT_TRUE(connect(r.get()));
    EXPECT_EQ(r->send_login, 1);
    ztp_tcp_session_info *list[1] = {r.get()};
    ztp_Do_TCPSendDevLgn(list, 1, &params_);
    EXPECT_EQ(r->send_login, 0);

    Json login = server.login(0);
    ASSERT_TRUE(login);
    EXPECT_EQ(json_object_get_int(member(login.get(), "type")), ZTP_MSG_DEV_LGN_CRC);
    EXPECT_TRUE(json_object_get_boolean(member(login.get(), "check_ok")));
    EXPECT_STREQ(json_object_to_json_string(member(login.get(), "did")), "[ \"ABC\", 123, \"XYZ\" ]");
    EXPECT_EQ(json_object_get_int(member(login.get(), "nat")), 2);
    EXPECT_STREQ(json_object_to_json_string(member(login.get(), "version")), "[ 5, 0, 8 ]");
    json_object *local = member(login.get(), "local");
    EXPECT_EQ(json_object_get_int(json_object_array_get_idx(local, 1)), zt_SA_GetLocalPort(r->sock));

    uint8_t type = 0;
    Bytes payload;
    ASSERT_EQ(next_message(r.get(), &type, &payload), 0);
    EXPECT_EQ(type, ZTP_MSG_DEV_LGN1_CRC);
    uint8_t result = 0xEE;
    ASSERT_EQ(ztp_read_DevLgnAckCRC(payload.data(), payload.size(), ztp_login_key, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(r->msg_ready, 0);
}

TEST_F(TcpLogin, DskLoginAndARefusalCode)
{
    ZtpServer server(root_, "s1");
    server.script("ok", 0xFC);
    Record r = record("Server2", server.port());
    ASSERT_TRUE(connect(r.get(), ZTP_TCP_REQ_LOGIN_DSK));
    ztp_tcp_session_info *list[1] = {r.get()};
    ztp_Do_TCPSendDevLgn(list, 1, &params_); // the plain login is not asked for
    ztp_Do_TCPSendDevLgnDSK(list, 1, &params_);
    Json login = server.login(0);
    ASSERT_TRUE(login);
    EXPECT_EQ(json_object_get_int(member(login.get(), "type")), ZTP_MSG_DEV_LGN_DSK);
    EXPECT_STREQ(json_object_get_string(member(login.get(), "dsk")), "DSKSECRET");
    EXPECT_TRUE(json_object_get_boolean(member(login.get(), "check_ok")));
    uint8_t type = 0, result = 0;
    Bytes payload;
    ASSERT_EQ(next_message(r.get(), &type, &payload), 0);
    ASSERT_EQ(ztp_read_DevLgnAckCRC(payload.data(), payload.size(), ztp_login_key, &result), 0);
    EXPECT_EQ(result, 0xFC);
    EXPECT_FALSE(server.login(1, 200)) << "one login only";
}

TEST_F(TcpLogin, ARefusedServerIsTriedAgainAfterTenSecondsNotSooner)
{
    const int port = zeltest::free_tcp_port();
    Record r = record("Server1", port);
    ztp_tcp_session_info *list[1] = {r.get()};
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            ztp_Do_TCPConnect(list, 1, ZTP_TCP_REQ_LOGIN);
            return r->sock < 0;
        },
        5s));
    EXPECT_EQ(r->connected, 0);
    const int64_t failed_at = r->last_attempt_ms;

    ZtpServer server(root_, "late", port);
    g_now = failed_at + ZTP_TCP_RETRY_MS - 1;
    for (int i = 0; i < 20; ++i)
        ztp_Do_TCPConnect(list, 1, ZTP_TCP_REQ_LOGIN);
    EXPECT_LT(r->sock, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.accepts(), 0);

    g_now = failed_at + ZTP_TCP_RETRY_MS;
    ASSERT_TRUE(connect(r.get()));
    EXPECT_TRUE(zeltest::wait_until([&] { return server.accepts() == 1; }, 2s));
}

TEST_F(TcpLogin, AConnectThatNeverCompletesCountsAsFailedAfterTenSeconds)
{
    // A listener whose queue is full drops further connection requests: the connect stays pending.
    const int listener = zt_TCPNBSkt_CreateBind(0);
    ASSERT_EQ(zt_TCPNBSkt_Listen(listener, 0), 0);
    const int port = zt_SA_GetLocalPort(listener);
    const sockaddr_in where = addr("127.0.0.1", static_cast<uint16_t>(port));
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(zt_TCPNBSkt_Create());
        zt_TCPNBSkt_Connect(fillers.back(), &where);
    }
    std::this_thread::sleep_for(50ms);
    Record r = record("Server1", port);
    ztp_tcp_session_info *list[1] = {r.get()};
    for (int i = 0; i < 10; ++i)
        ztp_Do_TCPConnect(list, 1, ZTP_TCP_REQ_LOGIN);
    ASSERT_GE(r->sock, 0);
    EXPECT_EQ(r->connected, 0);
    g_now += ZTP_TCP_RETRY_MS - 1;
    ztp_Do_TCPConnect(list, 1, ZTP_TCP_REQ_LOGIN);
    EXPECT_GE(r->sock, 0) << "still waiting";
    g_now += 1;
    ztp_Do_TCPConnect(list, 1, ZTP_TCP_REQ_LOGIN);
    EXPECT_LT(r->sock, 0) << "given up and reset";
    g_now += ZTP_TCP_RETRY_MS;
    ztp_Do_TCPConnect(list, 1, ZTP_TCP_REQ_LOGIN);
    EXPECT_GE(r->sock, 0) << "tried again";
    for (int fd : fillers)
        zt_TCPNBSkt_Close(fd);
    zt_TCPNBSkt_Close(listener);
}

TEST_F(TcpLogin, RelayStartArrivesOnTheLoginConnection)
{
    ZtpServer server(root_, "s1");
    server.script("none");
    Record r = record("Server3", server.port());
    ASSERT_TRUE(connect(r.get()));
    ASSERT_TRUE(zeltest::wait_until([&] { return server.accepts() == 1; }, 2s));
    Json sent = server.command(R"({"cmd":"relay_start","ticket":305419896,"ip":"127.0.0.1","port":4433})");
    EXPECT_EQ(json_object_get_int(member(sent.get(), "sent")), 1);
    uint8_t type = 0;
    Bytes payload;
    ASSERT_EQ(next_message(r.get(), &type, &payload), 0);
    ASSERT_EQ(type, ZTP_MSG_TCP_RS_START);
    ztp_tcp_relay_start start{};
    ASSERT_EQ(ztp_read_TCPRSStart(payload.data(), payload.size(), &start), 0);
    EXPECT_EQ(start.ticket, 305419896u);
    EXPECT_EQ(addr_text(start.relay), "127.0.0.1:4433");
}

// A hostile answer resets its own record; a well-behaved server on another record keeps working,
// and the hostile one's record logs in again once it behaves and 10 s have passed.
class TcpLoginHostile : public TcpLogin, public ::testing::WithParamInterface<const char *> {};

TEST_P(TcpLoginHostile, ResetsOnlyItsRecordAndRecovers)
{
    ZtpServer good(root_, "good");
    ZtpServer bad(root_, "bad");
    bad.script(GetParam());
    Record a = record("Server1", good.port());
    Record b = record("Server2", bad.port());
    ztp_tcp_session_info *list[2] = {a.get(), b.get()};
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            ztp_Do_TCPConnect(list, 2, ZTP_TCP_REQ_LOGIN);
            return a->connected && b->connected;
        },
        5s));
    ztp_Do_TCPSendDevLgn(list, 2, &params_);
    ASSERT_TRUE(bad.login(0));
    ASSERT_TRUE(good.login(0));
    // The bad server's answer resets its record.
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            ztp_Do_TCPRecv(list, 2, &key_);
            return b->sock < 0;
        },
        5s));
    EXPECT_EQ(b->connected, 0);
    uint8_t type = 0, buf[ZTP_TCP_MSG_MAX];
    size_t size = sizeof buf;
    EXPECT_EQ(Check_MSG_Ready(b.get(), &type, buf, &size), -1);
    // The good record got its answer meanwhile.
    Bytes payload;
    ASSERT_EQ(next_message(a.get(), &type, &payload), 0);
    EXPECT_EQ(type, ZTP_MSG_DEV_LGN1_CRC);

    bad.script("ok");
    g_now += ZTP_TCP_RETRY_MS;
    ASSERT_TRUE(connect(b.get()));
    ztp_Do_TCPSendDevLgn(list, 2, &params_);
    ASSERT_TRUE(bad.login(1));
    ASSERT_EQ(next_message(b.get(), &type, &payload), 0);
    uint8_t result = 0xEE;
    EXPECT_EQ(ztp_read_DevLgnAckCRC(payload.data(), payload.size(), ztp_login_key, &result), 0);
    EXPECT_EQ(result, 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, TcpLoginHostile, ::testing::Values("huge", "bad_check", "junk", "close"));

TEST_F(TcpLogin, ShortAnswerIsDroppedWithoutAReset)
{
    ZtpServer server(root_, "s1");
    server.script("short");
    Record r = record("Server1", server.port());
    ASSERT_TRUE(connect(r.get()));
    ztp_tcp_session_info *list[1] = {r.get()};
    ztp_Do_TCPSendDevLgn(list, 1, &params_);
    uint8_t type = 0, result = 0;
    Bytes payload;
    ASSERT_EQ(next_message(r.get(), &type, &payload), 0);
    EXPECT_EQ(payload.size(), 3u);
    EXPECT_EQ(ztp_read_DevLgnAckCRC(payload.data(), payload.size(), ztp_login_key, &result), -1);
    EXPECT_GE(r->sock, 0);
}

TEST_F(TcpLogin, AFloodOfAnswersIsTakenOneAtATime)
{
    ZtpServer server(root_, "s1");
    server.script("flood");
    Record r = record("Server1", server.port());
    ASSERT_TRUE(connect(r.get()));
    ztp_tcp_session_info *list[1] = {r.get()};
    ztp_Do_TCPSendDevLgn(list, 1, &params_);
    int taken = 0;
    uint8_t type = 0;
    Bytes payload;
    while (taken < 200 && next_message(r.get(), &type, &payload) == 0 && type == ZTP_MSG_DEV_LGN1_CRC)
        ++taken;
    EXPECT_EQ(taken, 200);
    EXPECT_GE(r->sock, 0);
}

} // namespace
