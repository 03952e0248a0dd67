// The settings socket against an independent Python client and against our own client, and the
// client's reading of the settings files while the server is down.
#include "zel_db/zel_db_client.h"
#include "zel_db/zel_db_server.h"
#include "zel_db/zel_db_wire.h"
#include "zel_db_test_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include <sstream>
#include <string>
#include <vector>

using zeltest::DbTest;

namespace {

struct Reply {
    std::string kind;  // "reply" or "noreply"
    unsigned type = 0;
    unsigned length = 0;
    std::string body;
};

std::string unhex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Runs the Python client with one command per argument (fields split by "|") on one connection.
std::vector<Reply> python_client(const zeltest::TempRoot &root, const std::vector<std::string> &commands)
{
    std::string cmd = std::string(ZEL_PYTHON) + " " + ZEL_TEST_PEERS_DIR + "/zel_db_client.py " +
                      root.path("/tmp/zel_db.socket");
    for (const std::string &c : commands)
        cmd += " '" + c + "'";
    std::string out;
    EXPECT_EQ(zeltest::run_command(cmd, &out), 0) << cmd << "\n" << out;
    std::vector<Reply> replies;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Reply r;
        std::string hex;
        fields >> r.kind >> r.type >> r.length >> hex;
        r.body = unhex(hex);
        replies.push_back(r);
    }
    EXPECT_EQ(replies.size(), commands.size()) << out;
    replies.resize(commands.size());
    return replies;
}

} // namespace

TEST_F(DbTest, PythonClientGetSetUnsetDumpSave)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    const auto r = python_client(root_, {"get|NVM|IPC|power", "get|nvm||power", "set|NVM|IPC|py_key|hello world",
                                         "get|NVM|IPC|py_key", "unset|NVM|IPC|py_key", "get|NVM|IPC|py_key",
                                         "op|7", "dump|RAM", "dump|all", "dump|XYZ", "save", "get|NVM|IPC|power"});
    EXPECT_EQ(r[0].type, 1u);
    EXPECT_EQ(r[0].body, std::string("1\n", 3));
    EXPECT_EQ(r[1].type, 1u);
    EXPECT_EQ(r[1].body, std::string("1\n", 3));
    EXPECT_EQ(r[2].type, 0u);
    EXPECT_EQ(r[3].body, std::string("hello world\n", 13));
    EXPECT_EQ(r[4].type, 0u);
    EXPECT_EQ(r[5].type, 2u);
    EXPECT_EQ(r[6].kind, "noreply");
    EXPECT_EQ(r[7].type, 1u);
    EXPECT_EQ(r[7].length, r[7].body.size() + 8);  // a one-store dump counts its head
    EXPECT_NE(r[7].body.find("RAM.run:motor_reset=0 \n"), std::string::npos);
    EXPECT_EQ(r[8].type, 1u);
    EXPECT_EQ(r[8].length, r[8].body.size());
    EXPECT_EQ(r[8].body.rfind("ROM.", 0), 0u);
    EXPECT_LT(r[8].body.find("ROM.default:model=" + std::string(zeltest::TEST_MODEL)), r[8].body.find("NVM."));
    EXPECT_NE(r[8].body.find("MEM.default:runlevel=init\n"), std::string::npos);
    EXPECT_EQ(r[9].type, 2u);
    EXPECT_EQ(r[10].type, 0u);
    EXPECT_EQ(r[11].type, 1u);  // the connection still serves after the unknown op
    EXPECT_TRUE(root_.exists("/mnt/data/.zel_db.ini"));
    char buf[64] = {};
    EXPECT_EQ(zel_api_db_get_value("NVM.IPC:py_key", buf, sizeof buf), -1);
}

TEST_F(DbTest, LargeDumpIsSentWhole)
{
    ASSERT_EQ(zel_api_db_init(), 0);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(set("MEM.BIG:k" + std::to_string(i), std::string(1000, 'a' + i % 26)), 0);
    const std::string long_key = "longest_" + std::string(200, 'k');
    const std::string longest(1536, 'L');
    ASSERT_EQ(set("MEM.BIG:" + long_key, longest), 0);
    const auto r = python_client(root_, {"dump|MEM"});
    EXPECT_EQ(r[0].type, 1u);
    EXPECT_GT(r[0].body.size(), 300000u);
    EXPECT_EQ(r[0].length, r[0].body.size() + 8);
    // Every line is whole and ends in a newline, the longest value too.
    EXPECT_NE(r[0].body.find("MEM.big:" + long_key + "=" + longest + "\n"), std::string::npos);
    std::istringstream lines(r[0].body.substr(0, r[0].body.size() - 1));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        ASSERT_EQ(line.rfind("MEM.", 0), 0u) << line.substr(0, 40);
    EXPECT_EQ(count, 302);  // the 301 set here and "runlevel"; section entries have no line
}

TEST_F(DbTest, OurClientAgainstTheServer)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    char buf[64] = {};
    ASSERT_EQ(zel_api_db_cli_get_value("NVM.IPC:power", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "1\n");
    EXPECT_EQ(zel_api_db_cli_set_value("NVM.IPC:power", "0", 1), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "0");
    // A key the client map does not list travels as an all-zero request: the server refuses it.
    EXPECT_EQ(zel_api_db_cli_set_value("NVM.IPC:led_status", "0", 1), -1);
    EXPECT_EQ(get("NVM.IPC:led_status"), "1");
    char tiny[2] = {};
    ASSERT_EQ(zel_api_db_cli_get_value("NVM.IPC:power", tiny, sizeof tiny), 0);
    EXPECT_STREQ(tiny, "0");  // cut and terminated
    EXPECT_EQ(zel_api_db_cli_set_value("NVM.IPC:power", std::string(1416, 'x').c_str(), 1416), -2);
    EXPECT_EQ(zel_api_db_cli_get_value(nullptr, buf, 1), -6);
}

// Clients that connect and never hang up would each hold a descriptor of the process for good:
// past the bound the one idle the longest is closed, and the server goes on serving.
TEST_F(DbTest, IdleConnectionsGiveWayOldestFirst)
{
    using namespace std::chrono_literals;
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    std::vector<ipc_client_t> idle(200);
    for (ipc_client_t &c : idle) {
        ipc_client_open(&c, 1, root_.path("/tmp/zel_db.socket").c_str(), 0);
        ASSERT_EQ(c.status, 0);
    }
    const auto closed_by_server = [](const ipc_client_t &c) {
        char byte;
        return recv(c.fd, &byte, 1, MSG_DONTWAIT) == 0;
    };
    EXPECT_TRUE(zeltest::wait_until([&] { return closed_by_server(idle.front()); }, 10s));
    EXPECT_FALSE(closed_by_server(idle.back()));
    char buf[64] = {};
    EXPECT_EQ(zel_api_db_cli_get_value("NVM.IPC:power", buf, sizeof buf), 0);
    for (const ipc_client_t &c : idle)
        ipc_client_close(c.fd);
}

TEST_F(DbTest, ClientReadsTheFilesWhenTheServerIsDown)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    ASSERT_EQ(set("RAM.eth0_status", "up"), 0);
    ASSERT_EQ(set("NVM.IPC:power", "0", true), 0);
    ASSERT_EQ(zel_api_db_deinit(), 0);
    EXPECT_FALSE(root_.exists("/tmp/zel_db.socket"));

    char buf[64] = {};
    EXPECT_EQ(zel_api_db_cli_get_value("RAM.eth0_status", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "up");
    char nvm[64] = {};
    EXPECT_EQ(zel_api_db_cli_get_value("NVM.IPC:power", nvm, sizeof nvm), -1);
    EXPECT_STREQ(nvm, "0");
    struct stat st {};
    ASSERT_EQ(stat(root_.path("/var/run/.client.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    char rom[64] = {};
    EXPECT_EQ(zel_api_db_cli_get_value("ROM.mac", rom, sizeof rom), -1);
    EXPECT_STREQ(rom, "AA:BB");
    EXPECT_EQ(zel_api_db_cli_set_value("NVM.IPC:power", "1", 1), -1);
}

// A set whose value does not fit the largest request is refused whole: nothing is stored, and its
// tail is not taken for a request, so the next request on the connection gets its own reply.
TEST_F(DbTest, OversizedSetIsRefusedAndTheNextRequestIsAnsweredRightly)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    const std::string fits(1415, 'f');
    const auto r = python_client(root_, {"set|NVM|IPC|big_key|" + std::string(2000, 'x'), "get|NVM|IPC|power",
                                         "get|NVM|IPC|big_key", "set|NVM|IPC|big_key|" + fits, "get|NVM|IPC|big_key"});
    EXPECT_EQ(r[0].type, 2u);
    EXPECT_EQ(r[0].length, 0u);
    EXPECT_EQ(r[1].type, 1u);
    EXPECT_EQ(r[1].body, std::string("1\n", 3));
    EXPECT_EQ(r[2].type, 2u);
    EXPECT_EQ(get("NVM.IPC:big_key"), fits);
    EXPECT_EQ(r[3].type, 0u);
    EXPECT_EQ(r[4].body, fits + std::string("\n", 2));
}

// Clients that queue requests and never read must not hold up anyone else: the server never waits
// for one, and closes a connection whose replies stay untaken.
TEST_F(DbTest, ClientsThatDoNotReadNeitherStallOthersNorStayConnected)
{
    using namespace std::chrono;
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    const std::string log = root_.path("/tmp/flooder.log");
    zeltest::ChildProcess flooder(
        zeltest::python_peer("zel_db_flooder.py", {root_.path("/tmp/zel_db.socket"), "12", "2.5"}), {}, log);
    auto flooder_says = [&](const std::string &what) {
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find(what) != std::string::npos;
    };
    ASSERT_TRUE(zeltest::wait_until([&] { return flooder_says("ready"); }, 10s));

    milliseconds slowest{0};
    for (const auto end = steady_clock::now() + 2s; steady_clock::now() < end;) {
        char buf[64] = {};
        const auto started = steady_clock::now();
        ASSERT_EQ(zel_api_db_cli_get_value("NVM.IPC:power", buf, sizeof buf), 0);
        slowest = std::max(slowest, duration_cast<milliseconds>(steady_clock::now() - started));
        EXPECT_STREQ(buf, "1\n");
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_LT(slowest.count(), zeltest::scaled(50ms).count());
    EXPECT_NE(flooder.wait_exit(zeltest::scaled(10s)), -1);
    EXPECT_TRUE(flooder_says("closed 12"));
}

// The TCP and UDP servers carry the same requests and replies as the Unix socket, and only
// processes of this device reach them.
TEST_F(DbTest, TcpAndUdpServersAnswerLikeTheUnixSocketOnLoopbackOnly)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    zel_db_request_t get_power;
    get_power.store = "NVM";
    get_power.section = "IPC";
    get_power.key = "power";
    const std::vector<uint8_t> request = zel_db_msg_build(get_power);
    const std::string expected = std::string("\x01\0\0\0\x03\0\0\0", 8) + std::string("1\n", 3);

    for (const int type : {2, 3}) {
        SCOPED_TRACE(type == 2 ? "tcp" : "udp");
        const int port = type == 2 ? zeltest::free_tcp_port() : zeltest::free_udp_port();
        setenv("ZELMAR_DB_PORT", std::to_string(port).c_str(), 1);
        int server = -1;
        ASSERT_EQ(server_init(&server, type), 0);
        unsetenv("ZELMAR_DB_PORT");
        sockaddr_in bound {};
        socklen_t bound_len = sizeof bound;
        ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr *>(&bound), &bound_len), 0);
        EXPECT_EQ(ntohl(bound.sin_addr.s_addr), INADDR_LOOPBACK);
        EXPECT_EQ(ntohs(bound.sin_port), port);

        ipc_client_t client {};
        ipc_client_open(&client, type, "127.0.0.1", port);
        ASSERT_EQ(client.status, 0);
        ASSERT_EQ(ipc_client_send(&client, request.data(), static_cast<int>(request.size())),
                  static_cast<int>(request.size()));
        char buf[ZEL_DB_MSG_MAX] = {};
        int conn = server;
        ssize_t n = -1;
        if (type == 2) {
            conn = accept(server, nullptr, nullptr);
            ASSERT_GE(conn, 0);
            n = read(conn, buf, sizeof buf);
        } else {
            // The handler answers on the descriptor it is given: the datagram socket is pointed
            // at the asking client first.
            sockaddr_in from {};
            socklen_t from_len = sizeof from;
            n = recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
            ASSERT_EQ(connect(server, reinterpret_cast<sockaddr *>(&from), from_len), 0);
        }
        ASSERT_EQ(n, static_cast<ssize_t>(request.size()));
        zel_db_server_callback(conn, buf, static_cast<int>(n));
        char reply[64] = {};
        ASSERT_EQ(ipc_client_read(&client, reply, sizeof reply), 1);
        EXPECT_EQ(std::string(reply, static_cast<size_t>(client.ret)), expected);
        ipc_client_close(client.fd);
        if (conn != server)
            close(conn);
        close(server);

        ipc_client_t no_port {};
        ipc_client_open(&no_port, type, "127.0.0.1", 0);
        EXPECT_EQ(no_port.status, 1);
    }
}

// A camera whose settings socket cannot be made ends at once rather than run without it.
TEST_F(DbTest, SocketThatCannotBeMadeEndsTheProcessWithStatus1)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    add_factory();
    // A directory where the socket belongs cannot be unlinked.
    ASSERT_EQ(zeltest::run_command("mkdir -p '" + root_.path("/tmp/zel_db.socket/busy") + "'"), 0);
    EXPECT_EXIT(
        {
            zel_api_db_init();
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    // A port that a server already listens on cannot be bound again.
    setenv("ZELMAR_DB_PORT", std::to_string(zeltest::free_tcp_port()).c_str(), 1);
    int busy = -1;
    ASSERT_EQ(server_init(&busy, 2), 0);
    int fd = -1;
    EXPECT_EXIT(server_init(&fd, 2), ::testing::ExitedWithCode(1), "");
    unsetenv("ZELMAR_DB_PORT");
    close(busy);
}
