// The agent-bus client against a socketpair standing in for the server: what it puts on the wire,
// how it dispatches and acknowledges what arrives, and its pending-request list.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <set>

#include "agent_test_util.h"
#include "zel_app_agent_client/agent_wire.h"

using namespace agenttest;

namespace {

std::vector<Received> g_got;
int g_result = 0;

int record(int cmd, const void *params)
{
    std::string text;
    if (cmd == 5) {
        const auto *wifi = static_cast<const agent_wifi_params_t *>(params);
        text = std::string(wifi->ssid) + "/" + wifi->passwd;
    } else if (cmd == 0 || cmd == 3 || cmd == 21) {
        text = std::to_string(*static_cast<const int32_t *>(params));
    } else {
        text = static_cast<const char *>(params);
    }
    g_got.push_back({cmd, text});
    return g_result;
}

class AgentClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_), 0);
        g_got.clear();
        g_result = 0;
        requests_clear();
    }
    void TearDown() override
    {
        close(fds_[0]);
        close(fds_[1]);
        requests_clear();
    }
    int client() const { return fds_[0]; }
    // Puts one packet where the client reads and drains it.
    int deliver(const std::string &packet)
    {
        EXPECT_EQ(send(fds_[1], packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
        return message_recv_handler(client(), record);
    }
    // What the client wrote, one packet, or "" when it wrote nothing.
    std::string written()
    {
        char buf[8192];
        const ssize_t n = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    int fds_[2] = {-1, -1};
};

json_object *parse(const std::string &text)
{
    return json_tokener_parse(text.c_str());
}

std::vector<std::string> keys_of(json_object *obj)
{
    std::vector<std::string> keys;
    json_object_object_foreach(obj, key, value)
    {
        (void)value;
        keys.emplace_back(key);
    }
    return keys;
}

TEST(AgentAddress, AbstractNameWithFullLengthAndEnvironmentOverride)
{
    unsetenv("ZELMAR_AGENT_SOCK");
    struct sockaddr_un addr;
    EXPECT_EQ(zel_agent_address(&addr), sizeof(struct sockaddr_un));
    EXPECT_EQ(addr.sun_path[0], '\0');
    EXPECT_STREQ(addr.sun_path + 1, "lumo_AGENTsock");
    EXPECT_EQ(addr.sun_path[sizeof addr.sun_path - 1], '\0');
    setenv("ZELMAR_AGENT_SOCK", "other_bus", 1);
    zel_agent_address(&addr);
    EXPECT_STREQ(addr.sun_path + 1, "other_bus");
    unsetenv("ZELMAR_AGENT_SOCK");
}

TEST(AgentTable, RowsKindsAndBroadcastFlags)
{
    std::set<int> requests_rows;
    for (int i = 0; i < AGENT_METHOD_COUNT; ++i) {
        EXPECT_EQ(request_api_all[i].sync, 0);
        EXPECT_EQ(request_api_all[i].cmd, i == 8 ? 9 : i == 9 ? 8 : i) << i;
        if (!request_api_all[i].broadcast)
            requests_rows.insert(i);
    }
    EXPECT_EQ(requests_rows, (std::set<int>{0, 1, 2, 3, 4, 16, 17}));
    EXPECT_STREQ(request_api_all[17].method, "set_dev_status");
    EXPECT_STREQ(request_api_all[45].method, "set_sdcard_sejected");
    EXPECT_EQ(request_api_all[5].kind, AGENT_PARAMS_WIFI);
    EXPECT_EQ(request_api_all[2].kind, AGENT_PARAMS_OTA_INT);
}

TEST_F(AgentClient, RegisterAndHelloTexts)
{
    const int keys[] = {0, 46, -1, 9};
    ASSERT_EQ(register_key_module(client(), keys, 4, "mod"), 0);
    EXPECT_EQ(written(), R"({"method":"register","key":"set_motor"})");
    EXPECT_EQ(written(), R"({"method":"register","key":"get_qrcode"})");
    EXPECT_EQ(written(), "") << "numbers outside 0..45 are passed over";
    ASSERT_EQ(sdkclient_module(client()), 0);
    EXPECT_EQ(written(), R"({"method":"SDKhello"})");
    EXPECT_EQ(register_key_module(0, keys, 1, "mod"), -1);
    EXPECT_EQ(register_key_module(client(), nullptr, 1, "mod"), -1);
}

TEST_F(AgentClient, RequestAndBroadcastWireTexts)
{
    const int32_t five = 5;
    ASSERT_EQ(send_request_api(0, &five, nullptr, nullptr, 0, client()), 0);
    json_object *req = parse(written());
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(keys_of(req), (std::vector<std::string>{"id", "method", "params"}));
    EXPECT_STREQ(json_object_get_string(json_object_object_get(req, "method")), "set_motor");
    EXPECT_EQ(json_object_get_int(json_object_object_get(req, "params")), 5);
    json_object_put(req);

    agent_wifi_params_t wifi{};
    std::strcpy(wifi.ssid, "home \"net\"");
    std::strcpy(wifi.passwd, "p@ss");
    ASSERT_EQ(send_request_api(5, &wifi, nullptr, nullptr, 0, client()), 0);
    json_object *bc = parse(written());
    ASSERT_NE(bc, nullptr);
    EXPECT_EQ(keys_of(bc), (std::vector<std::string>{"method", "params"}));
    json_object *params = json_object_object_get(bc, "params");
    EXPECT_EQ(keys_of(params), (std::vector<std::string>{"ssid", "passwd"}));
    EXPECT_STREQ(json_object_get_string(json_object_object_get(params, "ssid")), "home \"net\"");
    json_object_put(bc);

    EXPECT_EQ(send_request_api(46, &five, nullptr, nullptr, 0, client()), -1);
    EXPECT_EQ(send_request_api(0, nullptr, nullptr, nullptr, 0, client()), -1);
    EXPECT_EQ(send_request_api(0, &five, nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(send_request_api(0x100 + 21, &five, nullptr, nullptr, 0, client()), 0) << "cmd is taken as a byte";
}

TEST_F(AgentClient, MethodsMatchExactlyAndRequestsAreAcknowledged)
{
    EXPECT_EQ(deliver(R"({"id":3,"method":"set_motor","params":7})"), -1);
    ASSERT_EQ(g_got.size(), 1u);
    EXPECT_EQ(g_got[0].cmd, 0);
    EXPECT_EQ(g_got[0].text, "7");
    EXPECT_EQ(written(), R"({"id":3,"result":"OK"})");

    deliver(R"({"id":4,"method":"set","params":7})");
    deliver(R"({"id":4,"method":"","params":7})");
    deliver(R"({"id":4,"method":"set_motor_positio","params":"x"})");
    EXPECT_EQ(g_got.size(), 1u) << "a prefix of a method is no method";
    EXPECT_EQ(written(), "");

    g_result = -1;
    deliver(R"({"id":9,"method":"set_motor_position","params":"10,20"})");
    ASSERT_EQ(g_got.size(), 2u);
    EXPECT_EQ(g_got[1].cmd, 1);
    EXPECT_EQ(g_got[1].text, "10,20");
    EXPECT_EQ(written(), R"({"id":9,"result":"FAIL"})");
}

TEST_F(AgentClient, BroadcastsAndRegisterMarkedRequestsAreNotAcknowledged)
{
    deliver(R"({"method":"set_flip_config_from_app","params":1})");
    deliver(R"({"id":2,"method":"set_light","params":1,"is_register":1})");
    ASSERT_EQ(g_got.size(), 2u);
    EXPECT_EQ(written(), "");
    deliver(R"({"method":"set_light","params":0})");
    EXPECT_EQ(written(), R"({"id":0,"result":"OK"})") << "a request without id is acknowledged as id 0";
}

TEST_F(AgentClient, SeveralTextsInOnePacketAreHandledInOrder)
{
    deliver(R"({"method":"set_flip_config_from_app","params":1}{"method":"local.status","params":"up"} {"method":"get_qrcode","params":"q"})");
    ASSERT_EQ(g_got.size(), 3u);
    EXPECT_EQ(g_got[0].cmd, 21);
    EXPECT_EQ(g_got[1].cmd, 7);
    EXPECT_EQ(g_got[1].text, "up");
    EXPECT_EQ(g_got[2].cmd, 8);
}

TEST_F(AgentClient, ParamsArriveAsTheirKindGivesThem)
{
    const std::string ssid(63, 's'), passwd(63, 'p');
    deliver(R"({"method":"wifi_start","params":{"ssid":")" + ssid + R"(","passwd":")" + passwd + R"("}})");
    deliver(R"({"method":"local.status","params":"a\"b\u00e9"})");
    deliver(R"({"method":"local.status"})");
    deliver(R"({"id":1,"method":"set_light","params":"7"})");
    ASSERT_EQ(g_got.size(), 4u);
    EXPECT_EQ(g_got[0].text, ssid + "/" + passwd) << "long Wi-Fi fields arrive whole";
    EXPECT_EQ(g_got[1].text, "a\"b\xc3\xa9");
    EXPECT_EQ(g_got[2].text, "");
    EXPECT_EQ(g_got[3].text, "0") << "an integer row reads a non-integer as 0";
    written();
    deliver(R"({"id":6,"method":"set_lsd_config","params":1})");
    EXPECT_EQ(g_got.size(), 4u) << "row 2 is not supported";
    EXPECT_EQ(written(), R"({"id":6,"result":"FAIL"})");
}

TEST_F(AgentClient, MalformedPacketsAreDroppedAndTheConnectionStays)
{
    EXPECT_EQ(deliver("garbage"), -1);
    EXPECT_EQ(deliver(R"({"method":"local.status","params":"a"}{"method":)"), -1);
    EXPECT_EQ(g_got.size(), 1u) << "texts before a cut-off one are handled";
    deliver(R"({"method":"local.status","params":"b"})");
    EXPECT_EQ(g_got.size(), 2u);
}

TEST_F(AgentClient, HangUpReadsAsMinusTwo)
{
    close(fds_[1]);
    fds_[1] = -1;
    EXPECT_EQ(message_recv_handler(client(), record), -2);
    EXPECT_EQ(message_recv_handler(0, record), -1);
    EXPECT_EQ(message_recv_handler(client(), nullptr), -1);
}

TEST_F(AgentClient, ReplySettlesItsRequestAndUnknownIdsAreDropped)
{
    Replies replies;
    const int32_t on = 1;
    ASSERT_EQ(send_request_api(3, &on, Replies::callback, &replies, 0, client()), 0);
    int id = -1;
    ASSERT_EQ(json_verify_get_int(written().c_str(), "id", &id), 0);
    EXPECT_EQ(ack_request(id), 0);
    deliver(R"({"id":)" + std::to_string(id + 1000) + R"(,"result":"OK"})");
    EXPECT_EQ(replies.count(), 0u);
    EXPECT_EQ(ack_request(id + 1000), -1);
    deliver(R"({"id":)" + std::to_string(id) + R"(,"result":"FAIL"})");
    ASSERT_EQ(replies.count(), 1u);
    EXPECT_EQ(replies.at(0), 1);
    EXPECT_EQ(zel_array_get_size(requests), 0);
    EXPECT_EQ(remove_request_from_requests(R"({"result":"OK"})"), -1);
}

TEST_F(AgentClient, AtMostTwelvePendingAndUnansweredOnesExpireAsNotOk)
{
    Replies replies;
    const int32_t on = 1;
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(send_request_api(3, &on, Replies::callback, &replies, 0, client()), 0) << i;
    EXPECT_EQ(send_request_api(3, &on, Replies::callback, &replies, 0, client()), -1);
    EXPECT_EQ(send_request_api(21, &on, nullptr, nullptr, 0, client()), 0) << "broadcasts are not held";
    EXPECT_EQ(replies.count(), 0u);

    // Nobody answers: after 10 s the requests are settled as not OK and make room.
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            requests_expire();
            return replies.count() == 12;
        },
        15s));
    for (size_t i = 0; i < 12; ++i)
        EXPECT_EQ(replies.at(i), 1);
    EXPECT_EQ(send_request_api(3, &on, Replies::callback, &replies, 0, client()), 0);
}

TEST_F(AgentClient, StoppingAConnectionSettlesItsRequestsAndClosesIt)
{
    int other[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, other), 0);
    Replies mine, theirs;
    const int32_t on = 1;
    ASSERT_EQ(send_request_api(3, &on, Replies::callback, &mine, 0, client()), 0);
    ASSERT_EQ(send_request_api(4, &on, Replies::callback, &mine, 0, client()), 0);
    ASSERT_EQ(send_request_api(3, &on, Replies::callback, &theirs, 0, other[0]), 0);

    EXPECT_EQ(stop_agent_client(client(), "mod"), 0);
    ASSERT_EQ(mine.count(), 2u) << "requests of a stopped connection are settled at once";
    EXPECT_EQ(mine.at(0), 1);
    EXPECT_EQ(mine.at(1), 1);
    EXPECT_EQ(theirs.count(), 0u) << "another connection's request still waits";
    EXPECT_EQ(zel_array_get_size(requests), 1);
    EXPECT_EQ(fcntl(client(), F_GETFD), -1) << "the descriptor is closed";
    fds_[0] = -1;
    written();
    written();
    char byte;
    EXPECT_EQ(recv(fds_[1], &byte, 1, MSG_DONTWAIT), 0) << "the server side sees the hang-up";
    EXPECT_EQ(stop_agent_client(0, "mod"), -1);
    close(other[0]);
    close(other[1]);
}

TEST(AgentRequests, IdsAreUniqueAcrossThreads)
{
    constexpr int THREADS = 8, EACH = 2000;
    std::vector<std::vector<int>> ids(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < EACH; ++i) {
                agent_request_t *r = new_request("set_motor", 0, 0, nullptr, nullptr, 1);
                ids[t].push_back(r->id);
                free_request(r);
            }
        });
    for (auto &th : threads)
        th.join();
    std::set<int> all;
    for (const auto &v : ids)
        all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(THREADS * EACH));
    EXPECT_GT(*all.begin(), 0);
}

TEST(JsonVerify, ReadersCheckTypesAndBounds)
{
    const char *text = R"({"i":42,"s":"hello","b":true,"o":{"k":1},"a":["ab",3,"cd"],"f":1.5})";
    int n = 0;
    EXPECT_EQ(json_verify(text), 0);
    EXPECT_EQ(json_verify("{nope"), -1);
    EXPECT_EQ(json_verify_method(text, "o"), 0);
    EXPECT_EQ(json_verify_method(text, "x"), -1);
    EXPECT_EQ(json_verify_get_int(text, "i", &n), 0);
    EXPECT_EQ(n, 42);
    EXPECT_EQ(json_verify_get_int(text, "s", &n), -1);
    EXPECT_EQ(json_verify_get_int(text, "f", &n), -1);
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(json_verify_get_string(text, "s", buf, 4), 0);
    EXPECT_EQ(std::string(buf, 4), "helx") << "at most len - 1 characters and no NUL";
    EXPECT_EQ(json_verify_get_boolean(text, "b", &n), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(json_verify_get_boolean(text, "i", &n), -1);
    char obj[32] = {};
    EXPECT_EQ(json_verify_get_object_string(text, "o", obj, sizeof obj), 0);
    EXPECT_EQ(json_verify("{\"k\":1}"), 0);
    EXPECT_EQ(json_verify_method(obj, "k"), 0);
    char arr[6] = {};
    EXPECT_EQ(json_verify_get_array(text, "a", arr, sizeof arr), 0);
    EXPECT_STREQ(arr, "ab3cd");
    char small[4] = {};
    EXPECT_EQ(json_verify_get_array(text, "a", small, sizeof small), 0);
    EXPECT_STREQ(small, "ab3");
    const int want = 42;
    EXPECT_EQ(json_verify_method_value(text, "i", &want, JSON_VERIFY_TYPE_INT), 0);
    EXPECT_EQ(json_verify_method_value(text, "s", "hello", JSON_VERIFY_TYPE_STRING), 0);
    EXPECT_EQ(json_verify_method_value(text, "s", "hell", JSON_VERIFY_TYPE_STRING), -1);
    EXPECT_EQ(json_verify_method_value(text, "s", "hello", 4), -1);
}

TEST(JsonVerify, LoggableTextMasksSecretsAtAnyDepth)
{
    char buf[256];
    const char *wifi = R"({"method":"wifi_start","params":{"ssid":"Halvorn-Home","passwd":"s3cr3t-pw",)"
                       R"("nets":[{"Passwd_5g":"other-pw"}]}})";
    const std::string shown = json_loggable_text(wifi, buf, sizeof buf);
    EXPECT_EQ(shown.find("s3cr3t-pw"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("other-pw"), std::string::npos) << shown;
    EXPECT_NE(shown.find(R"("ssid":"Halvorn-Home")"), std::string::npos) << shown;
    EXPECT_NE(shown.find(R"("passwd":"******")"), std::string::npos) << shown;

    const char *plain = R"({"method":"status","params":{"value":3}})";
    EXPECT_STREQ(json_loggable_text(plain, buf, sizeof buf), plain) << "a text without secrets is kept as it is";
    EXPECT_STREQ(json_loggable_text(R"({"token":"abc)", buf, sizeof buf), "(13 bytes, not JSON)");
    char small[8];
    EXPECT_STREQ(json_loggable_text(plain, small, sizeof small), "{\"metho");
}

} // namespace
