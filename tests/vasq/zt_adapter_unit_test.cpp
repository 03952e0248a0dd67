// The adapter's pure rules: the transport's initialisation text by version, the login-ack age in
// the API information, the event type of a network record, and the error names and mappings.
#include <gtest/gtest.h>

#include <string>

#include "vasq_errors.h"
#include "zt_adapter.h"
#include "zt_errors.h"

namespace {

std::string param(const char *version, int max = 6)
{
    char out[512];
    if (zt_init_parameter(version, "EFGHFDBAKJLMPOQNT:ZelmarKey", max, out, sizeof out) < 0)
        return "<too long>";
    return out;
}

TEST(InitParameter, JsonFormFromVersionFourTwoOn)
{
    const std::string json = R"({"InitString":"EFGHFDBAKJLMPOQNT:ZelmarKey","MaxNumSess":7,"SessAliveSec":10})";
    EXPECT_EQ(param("5.0.8.0"), json);
    EXPECT_EQ(param("4.2.0.0"), json);
    EXPECT_EQ(param("4.2.0.1"), json);
}

TEST(InitParameter, RawInitStringBelowFourTwo)
{
    EXPECT_EQ(param("4.1.9.9"), "EFGHFDBAKJLMPOQNT:ZelmarKey");
    EXPECT_EQ(param("3.5.0.0"), "EFGHFDBAKJLMPOQNT:ZelmarKey");
    EXPECT_EQ(param("4.1.0.0"), "EFGHFDBAKJLMPOQNT:ZelmarKey");
}

TEST(InitParameter, ATextThatDoesNotFitIsRefused)
{
    char out[16];
    EXPECT_EQ(zt_init_parameter("5.0.8.0", "EFGHFDBAKJLMPOQNT", 3, out, sizeof out), -1);
}

TEST(LoginAckAge, ReadFromTheApiInformation)
{
    EXPECT_EQ(zt_login_ack_age("{\n\"LibType\":\"c\"\n,\n\"LastLoginAck\":12\n,\n\"ServerInfo\":\"x\"\n}"), 12);
    EXPECT_EQ(zt_login_ack_age("{\"LastLoginAck\":0}"), 0);
    EXPECT_EQ(zt_login_ack_age("{\"LastLoginAck\":\"x\"}"), -1);
    EXPECT_EQ(zt_login_ack_age("{\"Initialized\":\"Yes\"}"), -1);
    EXPECT_EQ(zt_login_ack_age(nullptr), -1);
}

TEST(EventType, FromTheNetworkRecord)
{
    ztp_net_info ok{1, 1, 1, 2, "10.0.0.2", "1.2.3.4"};
    EXPECT_EQ(zt_event_type(&ok, 0), 0);
    ztp_net_info offline{0, 1, 0, 0, "", ""};
    EXPECT_EQ(zt_event_type(&offline, 0), 100);
    EXPECT_EQ(zt_event_type(&offline, 1), 101);
    ztp_net_info unresolved{0, 0, 0, 0, "", ""};
    EXPECT_EQ(zt_event_type(&unresolved, 0), 102);
}

TEST(TransportErrors, NamesAndBothMappings)
{
    EXPECT_STREQ(zt_error_name(0), "OK");
    EXPECT_STREQ(zt_error_name(-12), "ERROR_ZTP_SESSION_CLOSED_REMOTE");
    EXPECT_STREQ(zt_error_name(-25), "ERROR_ZTP_FAIL_TO_ALLOCATE_MEMORY");
    EXPECT_STREQ(zt_error_name(-21), "Unknown, something is wrong");
    EXPECT_STREQ(zt_error_name(3), "Unknown, something is wrong");

    const int codes[] = {-15, -14, -13, -12, -11, -5, -1, -3, -20};
    const int read[] = {26, 1, 4, 2, 16, 22, 7, 8, 8};
    const int write[] = {26, 8, 4, 2, 16, 22, 7, 8, 8};
    for (size_t i = 0; i < sizeof codes / sizeof codes[0]; i++) {
        EXPECT_EQ(zt_read_error(codes[i]), read[i]) << codes[i];
        EXPECT_EQ(zt_write_error(codes[i]), write[i]) << codes[i];
    }
    EXPECT_EQ(zt_link_type(0), 1);
    EXPECT_EQ(zt_link_type(1), 2);
    EXPECT_EQ(zt_link_type(2), 4);
    EXPECT_EQ(zt_link_type(3), 5);
    EXPECT_EQ(zt_link_type(9), 0);
    EXPECT_STREQ(zt_mode_name(3), "relay_r_p2p mode");
    EXPECT_STREQ(zt_mode_name(7), "unknown mode");
}

} // namespace
