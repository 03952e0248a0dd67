// Listening against peers on loopback: NAT detection from the servers' reports, the login and its
// answers, punching, the UDP and TCP relays, LAN search and LAN TCP, and server messages forged by
// a phone, which the camera must ignore.
#include "zelmar/zel_clock.h"
#include "ztp_listen_fixture.h"

using namespace ztptest;

namespace {

using ZtpListen = ZtpNet;

// ---- NAT detection ------------------------------------------------------------------------------

TEST_F(ZtpListen, NatTypeFromTheServersReports)
{
    init();
    ztp_net_info info{};
    script(R"("report":["198.18.5.5",40000])");
    ASSERT_EQ(ZTP_NetworkDetect(&info, 0), 0);
    EXPECT_EQ(info.nat_type, 2);
    EXPECT_EQ(info.internet_ok, 1);
    EXPECT_EQ(info.host_resolved, 1);
    EXPECT_STREQ(info.wan_ip, "198.18.5.5");
    EXPECT_STREQ(info.lan_ip, "127.0.0.1");

    script(R"("report":["198.18.5.5",40001])", 1);
    ASSERT_EQ(ZTP_NetworkDetect(&info, 0), 0);
    EXPECT_EQ(info.nat_type, 3);

    script(R"("report":["198.18.5.6",40000])", 1);
    ASSERT_EQ(ZTP_NetworkDetect(&info, 0), 0);
    EXPECT_EQ(info.nat_type, 4);

    script(R"("report":["198.18.5.5",40000],"hello":"second_port")");
    ASSERT_EQ(ZTP_NetworkDetect(&info, 0), 0);
    EXPECT_EQ(info.nat_type, 1);

    script(R"("hello":"ok")", 0);
    script(R"("hello":"silence")", 1);
    script(R"("hello":"silence")", 2);
    ASSERT_EQ(ZTP_NetworkDetect(&info, 0), 0);
    EXPECT_EQ(info.nat_type, 0);
    EXPECT_EQ(info.internet_ok, 1);
}

TEST_F(ZtpListen, NetworkDetectOnABusyPortFails)
{
    init();
    Sink busy("0.0.0.0", 0);
    ztp_net_info info{};
    EXPECT_EQ(ZTP_NetworkDetect(&info, static_cast<uint16_t>(busy.port())), ERROR_ZTP_UDP_PORT_BIND_FAILED);
    EXPECT_EQ(ZTP_NetworkDetect(nullptr, 0), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Listen(kDid, 60, static_cast<uint16_t>(busy.port()), 1), ERROR_ZTP_UDP_PORT_BIND_FAILED);
}

// A HelloAck from anyone but the servers neither counts as an answer nor, with another WAN
// address in it, makes the NAT type 4.
TEST_F(ZtpListen, HelloAcksFromAnotherSenderDoNotCount)
{
    init();
    const int port = zeltest::free_udp_port();
    const std::string forge =
        R"({"cmd":"send","to":)" + json_addr("127.0.0.1", port) + R"(,"msg":"hello_ack","addr":["198.18.9.9",1234]})";
    auto detect_under_forgery = [&](ztp_net_info *info) {
        std::atomic<bool> done{false};
        std::thread flood([&] {
            while (!done.load()) {
                net_.phone(forge);
                usleep(5000);
            }
        });
        const int r = ZTP_NetworkDetect(info, static_cast<uint16_t>(port));
        done = true;
        flood.join();
        return r;
    };
    ztp_net_info info{};
    script(R"("report":["198.18.5.5",40000])");
    ASSERT_EQ(detect_under_forgery(&info), 0);
    EXPECT_EQ(info.nat_type, 2);
    EXPECT_STREQ(info.wan_ip, "198.18.5.5");

    script(R"("hello":"silence")");
    ASSERT_EQ(detect_under_forgery(&info), 0);
    EXPECT_EQ(info.internet_ok, 0);
    EXPECT_EQ(info.nat_type, 0);
}

// ---- login --------------------------------------------------------------------------------------

TEST_F(ZtpListen, LoginRefusalsEndTheListenAtOnce)
{
    init();
    const struct {
        int byte;
        int code;
        int login_byte;
    } cases[] = {{0xFE, ERROR_ZTP_ID_OUT_OF_DATE, 0x13},
                 {0xFF, ERROR_ZTP_INVALID_ID, 0x11},
                 {0xFD, ERROR_ZTP_INVALID_PREFIX, 0x13},
                 {0xFC, ERROR_ZTP_INVALID_DSK, 0x11}};
    for (const auto &c : cases) {
        script(R"("result":)" + std::to_string(c.byte) + R"(,"login_byte":)" + std::to_string(c.login_byte));
        ListenRun run;
        run.start(kDid, 60, 1);
        EXPECT_EQ(run.wait(3s), c.code) << "answer byte " << c.byte;
        EXPECT_LT(run.took_ms(), 1500);
    }
}

TEST_F(ZtpListen, SleepingDeviceLogsInWithTheCheckedForm)
{
    init();
    resolve_servers();
    Sink sock("0.0.0.0", 0);
    EXPECT_EQ(ztp_SleepLogin("abc", sock.fd()), ERROR_ZTP_INVALID_ID);
    ASSERT_EQ(ztp_SleepLogin("abc123xyz", sock.fd()), 0);
    for (int server = 0; server < 3; ++server) {
        Json login = net_.server_wait(R"({"type":19,"server":)" + std::to_string(server) + "}");
        ASSERT_TRUE(login) << server;
        EXPECT_TRUE(json_object_get_boolean(member(login.get(), "check_ok")));
        EXPECT_STREQ(json_object_to_json_string(member(login.get(), "did")), R"([ "ABC", 123, "XYZ" ])");
    }
}

TEST_F(ZtpListen, BreakEndsTheListenWithin200ms)
{
    init();
    ListenRun run;
    run.start(kDid, 60, 2);
    ASSERT_TRUE(net_.server_wait(R"({"type":18})"));
    const int64_t t = ztp_tick_ms();
    ASSERT_EQ(ZTP_Listen_Break(), 0);
    EXPECT_EQ(run.wait(2s), ERROR_ZTP_USER_LISTEN_BREAK);
    EXPECT_LT(ztp_tick_ms() - t, zeltest::scaled(200ms).count());
}

TEST(ZtpListenKeyed, DskLoginCarriesTheKeyAndTheCheckUnderTheKeySet)
{
    Loopback keyed("MYCRCKEY1");
    ASSERT_EQ(ZTP_Initialize(keyed.init_string().c_str()), 0);
    ASSERT_EQ(ZTP_SetCRCKey("MYCRCKEY1"), 0);
    ListenRun run;
    run.start("abc123xyz:DSKSECRET", 60, 1);
    Json login = keyed.server_wait(R"({"type":22})");
    ASSERT_TRUE(login);
    EXPECT_TRUE(json_object_get_boolean(member(login.get(), "check_ok")));
    EXPECT_EQ(member_string(login.get(), "dsk"), "DSKSECRET");
    EXPECT_STREQ(json_object_to_json_string(member(login.get(), "did")), R"([ "ABC", 123, "XYZ" ])");
    EXPECT_STREQ(json_object_to_json_string(member(login.get(), "version")), "[ 5, 0, 8 ]");
    // The servers answer under that key too: the checked answer is taken.
    uint8_t logged = 0;
    EXPECT_TRUE(zeltest::wait_until([&] { return ZTP_LoginStatus_Check(&logged) == 0 && logged == 1; }, 3s));
    ZTP_Listen_Break();
    EXPECT_EQ(run.wait(2s), ERROR_ZTP_USER_LISTEN_BREAK);
    EXPECT_EQ(ZTP_DeInitialize(), 0);
}

std::atomic<int64_t> g_offset{0};
int64_t shifted_tick()
{
    return time_monotonic_ms() + g_offset.load();
}

TEST_F(ZtpListen, LoginFreshnessFollowsTheMonotonicClock)
{
    init();
    listen_logged_in();
    uint8_t logged = 0;
    ASSERT_EQ(ZTP_LoginStatus_Check(&logged), 0);
    EXPECT_EQ(logged, 1);
    EXPECT_EQ(ZTP_LoginStatus_Check(nullptr), ERROR_ZTP_INVALID_PARAMETER);
    ZTP_Listen_Break();
    run_->wait(2s);
    // 61 s later by the monotonic clock the login is stale, whatever the wall clock says.
    g_offset = 61000;
    ztp_tick_set_source(shifted_tick);
    ASSERT_EQ(ZTP_LoginStatus_Check(&logged), 0);
    EXPECT_EQ(logged, 0);
}

TEST_F(ZtpListen, ForgedServerMessagesFromThePhoneAreIgnored)
{
    init();
    script(R"("login":"silence")");
    run_ = std::make_unique<ListenRun>();
    run_->start(kDid, 60, 1);
    ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":2})"));
    const std::string cam = camera_addr();
    Sink target(net_.ip(7), 0);
    const std::string phone_send = R"({"cmd":"send","to":)" + cam + ",";
    net_.phone(phone_send + R"("msg":"dev_lgn_ack","result":255})");
    net_.phone(phone_send + R"("msg":"dev_lgn_ack_crc","result":254})");
    net_.phone(phone_send + R"("msg":"punch_to","addr":)" + json_addr(net_.ip(7), target.port()) + "}");
    net_.phone(phone_send + R"("msg":"rly_to","relay":)" + json_addr(net_.ip(7), target.port()) + "}");
    net_.phone(phone_send + R"("msg":"rly_rdy"})");
    EXPECT_EQ(target.count(500), 0) << "a forged PunchTo or RlyTo made the camera send";
    EXPECT_EQ(run_->wait(300ms), INT_MIN) << "a forged login answer ended the listen";
}

// ---- punching -----------------------------------------------------------------------------------

TEST_F(ZtpListen, PhoneRequestPunchesToADirectSession)
{
    init();
    listen_logged_in();
    Json state = net_.phone(R"({"cmd":"state"})");
    const int phone_port = member_int(state.get(), "port");
    net_.phone(R"({"cmd":"p2p_req","server":)" + json_addr(net_.ip(2), 32100) + R"(,"did":)" + kDidJson + "}");
    const int handle = run_->wait(5s);
    ASSERT_GE(handle, 0);
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle, &info), 0);
    EXPECT_EQ(info.mode, ZTP_MODE_P2P);
    EXPECT_EQ(info.role, 1);
    EXPECT_STREQ(info.did, "ABC-000123-XYZ");
    char ip[16];
    EXPECT_EQ(std::string(zt_SA_GetIPString(&info.remote_addr, ip)), net_.ip(6));
    EXPECT_EQ(ntohs(info.remote_addr.sin_port), phone_port);
    // The first PunchTo sends the login to both punch ports of each server.
    EXPECT_TRUE(net_.server_wait(R"({"type":18,"port":32101})"));
    EXPECT_TRUE(net_.server_wait(R"({"type":18,"port":32102})"));
    // The servers hear how the listen ended.
    Json report = net_.server_wait(R"({"type":249})");
    ASSERT_TRUE(report);
    EXPECT_EQ(member_int(report.get(), "result"), handle);
    EXPECT_EQ(member_int(report.get(), "mode"), 0);
    EXPECT_EQ(ZTP_Close(handle), 0);
    EXPECT_EQ(ZTP_Close(handle), ERROR_ZTP_INVALID_SESSION_HANDLE);
}

// Junk of every size at the listening socket, then a real request: the flood is dropped and the
// session still comes up (the request repeated while the flood fills the socket's buffer).
TEST_F(ZtpListen, JunkFloodDoesNotStopAPunch)
{
    init();
    listen_logged_in();
    sockaddr_in cam = member_addr(net_.server_wait(R"({"type":18,"server":0})").get(), "from");
    Sink hostile(net_.ip(7), 0);
    std::string junk(1500, '\0');
    for (int i = 0; i < 3000; ++i) {
        const size_t n = static_cast<size_t>(1 + (i * 37) % 1500);
        for (size_t k = 0; k < n; ++k)
            junk[k] = static_cast<char>((i * 131 + k * 7) & 0xFF);
        if (i % 3 == 0)
            junk[0] = static_cast<char>(0xF1); // some begin with the magic byte
        sendto(hostile.fd(), junk.data(), n, 0, reinterpret_cast<sockaddr *>(&cam), sizeof cam);
    }
    // What the full socket buffer dropped meanwhile is asked again, as a phone does.
    int handle = INT_MIN;
    for (int i = 0; i < 20 && handle == INT_MIN; ++i) {
        net_.phone(R"({"cmd":"p2p_req","server":)" + json_addr(net_.ip(2), 32100) + R"(,"did":)" + kDidJson + "}");
        handle = run_->wait(500ms);
    }
    ASSERT_GE(handle, 0);
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle, &info), 0);
    char ip[16];
    EXPECT_EQ(std::string(zt_SA_GetIPString(&info.remote_addr, ip)), net_.ip(6));
}

TEST_F(ZtpListen, PunchToSpraysThreePortsEachSide)
{
    init();
    listen_logged_in();
    std::vector<std::unique_ptr<Sink>> sinks;
    const int base = 20000 + static_cast<int>(getpid() % 20000);
    for (int p = base - 4; p <= base + 4; ++p)
        sinks.push_back(std::make_unique<Sink>(net_.ip(7), p));
    server_send(R"("msg":"punch_to","addr":)" + json_addr(net_.ip(7), base));
    for (int k = 0; k < 9; ++k) {
        const int port = base - 4 + k;
        const int got = sinks[static_cast<size_t>(k)]->count(200);
        if (port < base - 3 || port > base + 3)
            EXPECT_EQ(got, 0) << port;
        else
            EXPECT_GE(got, 3) << port;
    }
}

TEST_F(ZtpListen, PunchToNamingNoAddressIsIgnored)
{
    init();
    listen_logged_in();
    const int before = net_.server_log_size();
    server_send(R"("msg":"punch_to","addr":["0.0.0.0",5000])");
    server_send(R"("msg":"punch_to","addr":["255.255.255.255",5000])");
    EXPECT_FALSE(net_.server_wait(R"({"type":18,"port":32101})", before, 500));
}

TEST_F(ZtpListen, SmartPunchToStaysBelowPort65536)
{
    init();
    listen_logged_in();
    Sink top(net_.ip(7), 65535);
    Sink wrapped1(net_.ip(7), 1);
    Sink wrapped2(net_.ip(7), 2);
    ASSERT_TRUE(top.bound() && wrapped1.bound() && wrapped2.bound());
    server_send(R"("msg":"smart_punch_to","addr":)" + json_addr(net_.ip(7), 65534) + R"(,"count":3,"step":1)");
    EXPECT_EQ(top.count(300), 1);
    EXPECT_EQ(wrapped1.count(50), 0);
    EXPECT_EQ(wrapped2.count(50), 0);
}

TEST_F(ZtpListen, DeviceListMakesTheCameraLogInToEachPeerListed)
{
    init();
    listen_logged_in();
    Sink peer(net_.ip(7), 0);
    server_send(R"("msg":"ssd_dev_list","did":["XYZ",1,"ABC"],"addrs":[)" + json_addr(net_.ip(7), peer.port()) + "]");
    EXPECT_EQ(peer.count(300), 0) << "a list for another DID was served";
    server_send(R"("msg":"ssd_dev_list","addrs":[)" + json_addr(net_.ip(7), peer.port()) + "]");
    EXPECT_EQ(peer.count(500), 1);
}

// ---- relays ---------------------------------------------------------------------------------------

TEST_F(ZtpListen, RlyToGivesARelayedSession)
{
    init();
    const int relay_port = zeltest::free_udp_port();
    net_.start_relay({"--udp-port", std::to_string(relay_port), "--udp-mode", "solo"});
    listen_logged_in();
    server_send(R"("msg":"rly_to","ticket":4711,"relay":)" + json_addr(net_.ip(5), relay_port));
    const int handle = run_->wait(3s);
    ASSERT_GE(handle, 0);
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle, &info), 0);
    EXPECT_EQ(info.mode, ZTP_MODE_RELAY);
    EXPECT_EQ(ntohs(info.remote_addr.sin_port), relay_port);
    EXPECT_NE(net_.relay_log().find(R"("ticket": 4711, "side": 1)"), std::string::npos) << net_.relay_log();
}

TEST_F(ZtpListen, RlyRdyOnlyFromTheRelayNamed)
{
    init();
    const int relay_port = zeltest::free_udp_port();
    net_.start_relay({"--udp-port", std::to_string(relay_port), "--udp-mode", "silent"});
    listen_logged_in();
    server_send(R"("msg":"rly_to","ticket":9,"relay":)" + json_addr(net_.ip(5), relay_port));
    usleep(100 * 1000);
    net_.phone(R"({"cmd":"send","to":)" + camera_addr() + R"(,"msg":"rly_rdy"})");
    EXPECT_EQ(run_->wait(500ms), INT_MIN);
}

TEST_F(ZtpListen, TcpLoginAfterTwoSilentSecondsThenTcpRelay)
{
    const int relay_port = zeltest::free_tcp_port();
    net_.start_relay({"--port", std::to_string(relay_port), "--mode", "ok"});
    init();
    script(R"("hello":"silence","login":"silence")");
    const int64_t t0 = ztp_tick_ms();
    ListenRun run;
    run.start(kDid, 60, 2);
    Json login;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            login = net_.server(R"({"cmd":"wait_login","since":0,"timeout_ms":200})");
            return member(login.get(), "login") != nullptr;
        },
        6s));
    EXPECT_GE(ztp_tick_ms() - t0, 2000);
    Json sent = net_.server(R"({"cmd":"relay_start","ticket":77,"ip":")" + net_.ip(5) + R"(","port":)" +
                            std::to_string(relay_port) + "}");
    ASSERT_GE(member_int(sent.get(), "sent"), 1);
    const int handle = run.wait(5s);
    ASSERT_GE(handle, 0);
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle, &info), 0);
    EXPECT_EQ(info.mode, ZTP_MODE_TCP_RELAY);
    char ip[16];
    EXPECT_EQ(std::string(zt_SA_GetIPString(&info.wan_addr, ip)), "198.18.0.21");
    EXPECT_NE(net_.relay_log().find(R"("ticket": 77)"), std::string::npos);
}

TEST_F(ZtpListen, RelayStartOverUdpGivesATcpRelayedSession)
{
    const int relay_port = zeltest::free_tcp_port();
    net_.start_relay({"--port", std::to_string(relay_port), "--mode", "ok"});
    init();
    listen_logged_in(2);
    server_send(R"("msg":"tcp_rs_start","ticket":79,"relay":)" + json_addr(net_.ip(5), relay_port));
    const int handle = run_->wait(5s);
    ASSERT_GE(handle, 0);
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle, &info), 0);
    EXPECT_EQ(info.mode, ZTP_MODE_TCP_RELAY);
    EXPECT_NE(net_.relay_log().find(R"("ticket": 79)"), std::string::npos);
}

TEST_F(ZtpListen, ShortTcpRelayAnswerFailsTheListen)
{
    const int relay_port = zeltest::free_tcp_port();
    net_.start_relay({"--port", std::to_string(relay_port), "--mode", "short"});
    init();
    script(R"("hello":"silence","login":"silence")");
    ListenRun run;
    run.start(kDid, 60, 2);
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            Json l = net_.server(R"({"cmd":"wait_login","since":0,"timeout_ms":200})");
            return member(l.get(), "login") != nullptr;
        },
        6s));
    net_.server(R"({"cmd":"relay_start","ticket":78,"ip":")" + net_.ip(5) + R"(","port":)" +
                std::to_string(relay_port) + "}");
    EXPECT_EQ(run.wait(8s), ERROR_ZTP_FAILED_TO_CONNECT_TCP_RELAY);
}

// ---- LAN ------------------------------------------------------------------------------------------

TEST_F(ZtpListen, LanSearchIsAnsweredAndLanTcpGivesADirectSession)
{
    init();
    listen_logged_in();
    net_.phone(R"({"cmd":"lan_search","tcp":true,"to":)" + json_addr("127.0.0.1", net_.lan_port()) + "}");
    Json answer = net_.phone_wait(R"({"type":65})");
    ASSERT_TRUE(answer) << "no PunchPkt answered the LAN search";
    const int handle = run_->wait(5s);
    ASSERT_GE(handle, 0);
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle, &info), 0);
    EXPECT_EQ(info.mode, ZTP_MODE_P2P);
    Json state = net_.phone(R"({"cmd":"state"})");
    EXPECT_TRUE(json_object_get_boolean(member(state.get(), "tcp_ready")));
    int type = -1;
    socklen_t len = sizeof type;
    ASSERT_EQ(getsockopt(info.socket, SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(type, SOCK_STREAM);
}

TEST_F(ZtpListen, AListenThatEndsDuringTheLanTcpTriesGivesThePunchNoReadiness)
{
    init();
    listen_logged_in();
    // The phone's PunchPkt answers the LAN search at once: the camera tries a LAN TCP accept for
    // about 250 ms, and the listen is broken meanwhile.
    net_.phone(R"({"cmd":"lan_search","tcp":false,"to":)" + json_addr("127.0.0.1", net_.lan_port()) + "}");
    ASSERT_TRUE(net_.phone_wait(R"({"type":65})"));
    ASSERT_EQ(ZTP_Listen_Break(), 0);
    EXPECT_EQ(run_->wait(2s), ERROR_ZTP_USER_LISTEN_BREAK);
    EXPECT_FALSE(net_.phone_wait(R"({"type":66})", 0, 500)) << "P2PRdy for a listen that has ended";
}

// ---- timing of the login (a minute) --------------------------------------------------------------

TEST_F(ZtpListen, UnansweredListenLogsInAtItsTimesAndTimesOut)
{
    init();
    script(R"("hello":"silence","login":"silence")");
    ListenRun run;
    run.start(kDid, 60, 1);
    const int result = run.wait(75s);
    EXPECT_EQ(result, ERROR_ZTP_TIME_OUT);
    EXPECT_NEAR(static_cast<double>(run.took_ms()), 60000.0, 1500.0 * zeltest::time_scale());
    Json log = net_.server_log();
    std::vector<double> logins;
    int hellos = 0;
    double first = -1;
    for (size_t i = 0; i < json_object_array_length(log.get()); ++i) {
        json_object *e = json_object_array_get_idx(log.get(), i);
        if (member_int(e, "server") != 0 || member_int(e, "port") != 32100)
            continue;
        const double t = json_object_get_double(member(e, "t"));
        if (member_int(e, "type") == 0)
            ++hellos;
        if (member_int(e, "type") == 18) {
            if (first < 0)
                first = t;
            logins.push_back(t - first);
        }
    }
    EXPECT_EQ(hellos, 1);
    ASSERT_EQ(logins.size(), 4u);
    const double want[] = {0, 1, 3, 30};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_NEAR(logins[i], want[i], 0.5 * zeltest::time_scale()) << "login " << i;
}

} // namespace

namespace {

std::atomic<int64_t> g_jump{0};
int64_t jumped_tick()
{
    return time_monotonic_ms() + g_jump.load();
}

// The listen's report gives its duration in 16 bits of milliseconds: a longer listen saturates
// instead of wrapping round to a short one.
TEST_F(ZtpListen, ReportedListenTimeSaturates)
{
    init();
    ztp_tick_set_source(jumped_tick);
    listen_logged_in();
    g_jump = 70000; // the monotonic clock moves on 70 s: the 60 s listen is over
    EXPECT_EQ(run_->wait(3s), ERROR_ZTP_TIME_OUT);
    Json report = net_.server_wait(R"({"type":249})");
    ASSERT_TRUE(report);
    EXPECT_EQ(member_int(report.get(), "listen_ms"), 65535);
    EXPECT_EQ(member_int(report.get(), "result"), ERROR_ZTP_TIME_OUT);
}

} // namespace
