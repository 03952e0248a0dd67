// The services the camera lends to the P2P system, started by a server's SDevRun during a listen:
// the relay service (login, relay port, byte-exact forwarding, close after silence), the
// rendezvous service (matching by serial within 2 s), and the forwarding of server commands to a
// local port with their acknowledgements and answers.
#include "ztp_dc.h"
#include "ztp_listen_fixture.h"

using namespace ztptest;

namespace {

class ZtpServices : public ZtpNet {
protected:
    // The port a service logged in to the servers from (its login type), after SDevRun.
    int service_port(int login_type)
    {
        server_send(R"("msg":"sdev_run")");
        Json login = net_.server_wait(R"({"type":)" + std::to_string(login_type) + "}");
        EXPECT_TRUE(login) << "the service did not log in";
        if (!login)
            return 0;
        EXPECT_TRUE(json_object_get_boolean(member(login.get(), "check_ok")));
        return ntohs(member_addr(login.get(), "from").sin_port);
    }
    void phone_send(int which, int port, const std::string &fields)
    {
        net_.phone(R"({"cmd":"send","to":)" + json_addr("127.0.0.1", port) + "," + fields + "}", which);
    }
};

TEST_F(ZtpServices, RelayServiceForwardsOneSessionAndClosesAfterSilence)
{
    init();
    ASSERT_EQ(ZTP_Share_Bandwidth(1), 0);
    listen_logged_in();
    const int port = service_port(0x92);
    ASSERT_GT(port, 0);
    EXPECT_GE(port, 2000);
    EXPECT_LT(port, 9000);

    phone_send(0, port, R"("msg":"rly_hello")");
    EXPECT_TRUE(net_.phone_wait(R"({"type":113})"));
    phone_send(0, port, R"("msg":"rly_port")");
    Json ack = net_.phone_wait(R"({"type":115})");
    ASSERT_TRUE(ack);
    EXPECT_EQ(member_int(ack.get(), "port"), port);
    const std::string ticket =
        std::to_string(static_cast<uint32_t>(json_object_get_int64(member(ack.get(), "ticket"))));

    phone_send(0, port, R"("msg":"rly_pkt","side":1,"ticket":)" + ticket);
    phone_send(1, port, R"("msg":"rly_pkt","side":0,"did":["DEF",9,"GHI"],"ticket":)" + ticket);
    Json rdy0 = net_.phone_wait(R"({"type":132})", 0);
    Json rdy1 = net_.phone_wait(R"({"type":132})", 0, 5000, 1);
    ASSERT_TRUE(rdy0 && rdy1);
    EXPECT_STREQ(json_object_to_json_string(member(rdy0.get(), "did")), R"([ "DEF", 9, "GHI" ])");
    // The ticket from another address does not take a paired side.
    phone_send(1, port, R"("msg":"rly_pkt","side":1,"ticket":)" + ticket);

    // Both ways, the bytes arrive as they were sent.
    phone_send(0, port, R"("msg":"raw","hex":"f1d00008d1020007aabbccdd")");
    Json there = net_.phone_wait(R"({"type":208})", 0, 5000, 1);
    ASSERT_TRUE(there);
    EXPECT_EQ(member_string(there.get(), "payload"), "d1020007aabbccdd");
    phone_send(1, port, R"("msg":"raw","hex":"f1d0000ad1030009010203040506")");
    Json back = net_.phone_wait(R"({"type":208})");
    ASSERT_TRUE(back);
    EXPECT_EQ(member_string(back.get(), "payload"), "d1030009010203040506");

    // More than 50 silent passes of 100 ms end it with Close to both sides.
    EXPECT_TRUE(net_.phone_wait(R"({"type":240})", 0, 9000));
    EXPECT_TRUE(net_.phone_wait(R"({"type":240})", 0, 2000, 1));
}

TEST_F(ZtpServices, RelayServiceStaysOffUnlessSwitchedOn)
{
    init();
    listen_logged_in();
    server_send(R"("msg":"sdev_run")");
    EXPECT_FALSE(net_.server_wait(R"({"type":146})", 0, 700));
}

TEST_F(ZtpServices, RendezvousMatchesOneSerialWithinTwoSeconds)
{
    init();
    ASSERT_EQ(ZTP_Enable_SmartDevice(1), 0);
    listen_logged_in();
    const int port = service_port(0x36);
    ASSERT_GT(port, 0);
    phone_send(0, port, R"("msg":"ssd_dev_lgn","did":["DEV",777,"AAA"],"addr":["198.18.1.1",1111])");
    phone_send(1, port, R"("msg":"ssd_p2p_req","did":["CLI",777,"BBB"],"addr":["198.18.2.2",2222])");
    Json smart0 = net_.phone_wait(R"({"type":63})");
    Json punch0 = net_.phone_wait(R"({"type":64})");
    Json smart1 = net_.phone_wait(R"({"type":63})", 0, 5000, 1);
    Json punch1 = net_.phone_wait(R"({"type":64})", 0, 5000, 1);
    ASSERT_TRUE(smart0 && punch0 && smart1 && punch1);
    EXPECT_EQ(member_int(smart0.get(), "count"), 2);
    EXPECT_EQ(member_int(smart0.get(), "step"), 1);
    EXPECT_EQ(ntohs(member_addr(punch0.get(), "addr").sin_port), 2222);
    EXPECT_EQ(ntohs(member_addr(punch1.get(), "addr").sin_port), 1111);

    // Three seconds apart: no match.
    Json log0 = net_.phone(R"({"cmd":"log","since":0})");
    const int since0 = member_int(log0.get(), "next");
    phone_send(0, port, R"("msg":"ssd_dev_lgn","did":["DEV",778,"AAA"],"addr":["198.18.1.1",1111])");
    usleep(3000 * 1000);
    phone_send(1, port, R"("msg":"ssd_p2p_req","did":["CLI",778,"BBB"],"addr":["198.18.2.2",2222])");
    EXPECT_FALSE(net_.phone_wait(R"({"type":63})", since0, 700));
}

class ZtpCommands : public ZtpServices {
protected:
    void SetUp() override
    {
        init();
        listen_logged_in();
    }
    void cmd(const std::string &text, int port, const std::string &data_hex)
    {
        server_send(R"("msg":"dc_cmd","text":")" + text + R"(","command":)" + std::to_string(port) + R"(,"data":")" +
                    data_hex + R"(")");
    }
    // The DC message of `sub_type` from index `since`, once every server has it.
    Json dc_from_camera(int sub_type, int since, int timeout_ms = 3000)
    {
        Json last;
        for (int server = 0; server < 3; ++server) {
            last = net_.server_wait(R"({"type":220,"server":)" + std::to_string(server) + R"(,"sub_type":)" +
                                        std::to_string(sub_type) + "}",
                                    since, timeout_ms);
            if (!last)
                return last;
        }
        return last;
    }
    Sink local_{"127.0.0.1", 0};
};

TEST_F(ZtpCommands, CmdReachesTheLocalPortOnceAndIsAcknowledged)
{
    const int since = net_.server_log_size();
    cmd("tx-1", local_.port(), "68656c6c6f");
    sockaddr_in from{};
    const std::string got = local_.take(3000, &from);
    ASSERT_EQ(got.size(), 37u);
    EXPECT_EQ(got.substr(0, 5), std::string("tx-1\0", 5));
    EXPECT_EQ(got.substr(32), "hello");
    EXPECT_EQ(ntohs(from.sin_port), ztp_dc_port());
    Json ack = dc_from_camera(18, since);
    ASSERT_TRUE(ack);
    EXPECT_EQ(member_string(ack.get(), "text"), "tx-1");
    EXPECT_EQ(member_string(ack.get(), "bytes").substr(0, 4), "0000");

    const int since2 = net_.server_log_size();
    cmd("tx-1", local_.port(), "68656c6c6f");
    EXPECT_TRUE(dc_from_camera(18, since2));
    EXPECT_EQ(local_.count(300), 0) << "a repeated command was forwarded again";
}

TEST_F(ZtpCommands, LocalAnswersGoBackToTheServers)
{
    cmd("tx-2", local_.port(), "00");
    ASSERT_FALSE(local_.take(3000).empty());
    ASSERT_TRUE(dc_from_camera(18, 0)); // the command's own acknowledgement
    sockaddr_in dc{};
    dc.sin_family = AF_INET;
    dc.sin_port = htons(ztp_dc_port());
    dc.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto answer = [&](const std::string &bytes) {
        sendto(local_.fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&dc), sizeof dc);
    };
    std::string text("tx-2");
    text.resize(32, '\0');

    int since = net_.server_log_size();
    answer(text);
    Json ack = dc_from_camera(18, since);
    ASSERT_TRUE(ack);
    EXPECT_EQ(member_string(ack.get(), "bytes").substr(0, 4), "0001");

    since = net_.server_log_size();
    answer(text + "ABCDEFGH");
    Json resp = dc_from_camera(33, since);
    ASSERT_TRUE(resp);
    EXPECT_EQ(member_string(resp.get(), "data"), "4142434445464748");

    // Too short, or from a host address other than 127.0.0.1: nothing.
    since = net_.server_log_size();
    answer(text.substr(0, 31));
    Sink stranger(net_.ip(7), 0);
    sendto(stranger.fd(), text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&dc), sizeof dc);
    EXPECT_FALSE(net_.server_wait(R"({"type":220})", since, 500));

    // The servers' RespAck reaches the local port with the transaction text.
    server_send(R"("msg":"dc_resp_ack","text":"tx-2")");
    EXPECT_EQ(local_.take(3000), text);
}

TEST_F(ZtpCommands, CommandsFromOthersOrToTransportPortsGoNowhere)
{
    net_.phone(R"({"cmd":"send","to":)" + camera_addr() + R"(,"msg":"dc_cmd","text":"tx-3","command":)" +
               std::to_string(local_.port()) + R"(,"data":"41"})");
    const int since = net_.server_log_size();
    server_send(R"("msg":"dc_cmd","did":["ABC",124,"XYZ"],"text":"tx-7","command":)" + std::to_string(local_.port()) +
                R"(,"data":"41")");
    EXPECT_EQ(local_.count(500), 0);
    cmd("tx-4", 0, "41");
    cmd("tx-5", ztp_dc_port(), "41");
    cmd("tx-6", net_.lan_port(), "41");
    EXPECT_FALSE(dc_from_camera(18, since, 500));
}

} // namespace

namespace {

// Answers that come while no listen carries them wait in a queue of 64; the rest are dropped.
TEST_F(ZtpServices, AnswerQueueHoldsSixtyFour)
{
    init();
    Sink local("127.0.0.1", 0);
    sockaddr_in dc{};
    dc.sin_family = AF_INET;
    dc.sin_port = htons(ztp_dc_port());
    dc.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 100; ++i) {
        std::string text = "tx-q" + std::to_string(i);
        text.resize(32, '\0');
        sendto(local.fd(), text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&dc), sizeof dc);
        usleep(1000);
    }
    usleep(300 * 1000);
    listen_logged_in();
    usleep(300 * 1000);
    Json log = net_.server_log();
    int acks = 0;
    for (size_t i = 0; i < json_object_array_length(log.get()); ++i) {
        json_object *e = json_object_array_get_idx(log.get(), i);
        acks += member_int(e, "type") == 220 && member_int(e, "server") == 0;
    }
    EXPECT_EQ(acks, ZTP_DC_QUEUE_MAX);
}

} // namespace
