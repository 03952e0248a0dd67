// The transport's entry points without a network: the DID text and its refusals, the init text,
// the login-check key, and init/de-init cycles that must leave no thread and no descriptor behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "zel_test_support.h"
#include "zelmar/zel_rand.h"
#include "ztp_api.h"
#include "ztp_did_text.h"
#include "ztp_loopback.h"

namespace {

std::string formatted(const char *in)
{
    char out[32];
    EXPECT_EQ(ztp_format_did(in, out, sizeof out), 0);
    return out;
}

// A syntactically valid init string (servers that are never asked here).
const std::string kInit = "MCGEMCHIAFHLJFNACKIOFCFPMICIHNGCBNJLAHLHGEDBDJLPIOIGEDCJMFHH:KEYSTR";

TEST(ZtpDid, FormatsCaseAndDashes)
{
    EXPECT_EQ(formatted("abcd12345efgh"), "ABCD-12345-EFGH");
    EXPECT_EQ(formatted("ABC-000123-XYZ:secret"), "ABC-000123-XYZ");
    EXPECT_EQ(formatted("12ab"), "-12-AB");
    EXPECT_EQ(ZTP__CheckValidDID("ABCD-12345-EFGH"), 0);
    EXPECT_EQ(ZTP__CheckValidDID("AB-12-CD-34"), -1);
    EXPECT_EQ(ZTP__CheckValidDID("-12-AB"), -1);
    EXPECT_EQ(ZTP__CheckValidDID(nullptr), -1);
}

TEST(ZtpDid, RefusesWhatDoesNotFitItsFields)
{
    ztp_did did{};
    char text[24];
    char dsk[24];
    EXPECT_EQ(ztp_parse_did_arg("ABCDEFG-4294967295-XYZW", &did, text, dsk), 0);
    EXPECT_EQ(ztp_parse_did_arg("ABCDEFG-4294967295-XYZWV", &did, text, dsk), ERROR_ZTP_INVALID_ID); // 24 characters
    EXPECT_EQ(ztp_parse_did_arg("A-4294967296-B", &did, text, dsk), ERROR_ZTP_INVALID_ID);           // 33 bits
    EXPECT_EQ(ztp_parse_did_arg("A-4294967295-B", &did, text, dsk), 0);
    EXPECT_EQ(did.serial, 4294967295u);
    EXPECT_EQ(ztp_parse_did_arg("ABCDEFG-123456789-ABCDEFG", &did, text, dsk), ERROR_ZTP_INVALID_ID);
    EXPECT_EQ(ztp_parse_did_arg("ABCDEFGH-1-A", &did, text, dsk), ERROR_ZTP_INVALID_ID); // prefix of 8
    EXPECT_EQ(ztp_parse_did_arg(("ABC-123-XYZ:" + std::string(24, 'k')).c_str(), &did, text, dsk),
              ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ztp_parse_did_arg(("ABC-123-XYZ:" + std::string(23, 'k')).c_str(), &did, text, dsk), 0);
    EXPECT_STREQ(text, "ABC-000123-XYZ");
    EXPECT_EQ(std::string(dsk), std::string(23, 'k'));
}

TEST(ZtpInit, RefusesBadInitTexts)
{
    EXPECT_EQ(ZTP_Initialize(nullptr), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Initialize("ABCDEFGHIJKLMNOPQ"), ERROR_ZTP_INVALID_PARAMETER); // 17 characters
    EXPECT_EQ(ZTP_Initialize(std::string(257, 'A').c_str()), ERROR_ZTP_INVALID_PARAMETER);
    const std::string json = "{\"InitString\":\"" + kInit + "\",";
    EXPECT_EQ(ZTP_Initialize((json + "\"MaxNumSess\":300}").c_str()), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Initialize((json + "\"SessAliveSec\":5}").c_str()), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Initialize((json + "\"SessAliveSec\":31}").c_str()), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Initialize("{\"MaxNumSess\":2}"), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Initialize((json + "\"MaxNumSess\":2}").c_str()), 0);
    EXPECT_EQ(ZTP_Initialize(kInit.c_str()), ERROR_ZTP_ALREADY_INITIALIZED);
    EXPECT_EQ(ZTP_DeInitialize(), 0);
    EXPECT_EQ(ZTP_DeInitialize(), ERROR_ZTP_NOT_INITIALIZED);
}

TEST(ZtpInit, CallsBeforeInitialisationAreRefused)
{
    uint8_t flag = 0;
    ztp_net_info net{};
    EXPECT_EQ(ZTP_GetAPIVersion(), 0x05000800);
    EXPECT_EQ(ZTP_SetCRCKey("key"), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_Listen("ABC-123-XYZ", 60, 0, 1), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_Listen_Break(), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_NetworkDetect(&net, 0), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_LoginStatus_Check(&flag), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_Share_Bandwidth(1), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_Close(0), ERROR_ZTP_NOT_INITIALIZED);
    char buf[4];
    int size = 4;
    EXPECT_EQ(ZTP_Read(0, 0, buf, &size, 10), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_Write(0, 0, buf, 4), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_ForceClose(0), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_EQ(ZTP_Connect("ABC-123-XYZ", 1, 0), ERROR_ZTP_NOT_INITIALIZED);
    const std::string info = ZTP_GetAPIInformation();
    EXPECT_NE(info.find("\"Initialized\":\"No\""), std::string::npos) << info;
    EXPECT_EQ(info.find("\"NumSess\":"), std::string::npos) << info;
}

TEST(ZtpInit, ClientRoleChecksItsArgumentsThenIsNotOffered)
{
    ASSERT_EQ(ZTP_Initialize(kInit.c_str()), 0);
    EXPECT_EQ(ZTP_Connect(nullptr, 1, 0), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Connect("ABC-123-XYZ", 3, 0), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Connect("1ABC-123-XYZ", 1, 0), ERROR_ZTP_INVALID_ID);
    EXPECT_EQ(ZTP_Connect("ABC-123-XYZ", 1, 0), ERROR_ZTP_DEVICE_NOT_ONLINE);
    EXPECT_EQ(ZTP_Connect("127.0.0.1", 1, 0), ERROR_ZTP_DEVICE_NOT_ONLINE);
    EXPECT_EQ(ZTP_ConnectByServer("ABC-123-XYZ", 1, 0, nullptr), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_ConnectByServer("ABC-123-XYZ", 1, 0, kInit.c_str()), ERROR_ZTP_DEVICE_NOT_ONLINE);
    EXPECT_EQ(ZTP_Connect_Break(), 0);
    EXPECT_EQ(ZTP_QueryDID(), 0);
    const std::string info = ZTP_GetAPIInformation();
    EXPECT_EQ(info.rfind("{\n\"LibType\":\"c\",\n\"Version\":\"5.0.8.0\",\n", 0), 0u) << info;
    EXPECT_NE(info.find(",\n\"NumSess\":0,\n"), std::string::npos) << info;
    EXPECT_EQ(ZTP_DeInitialize(), 0);
}

TEST(ZtpInit, CrcKeyAndListenArguments)
{
    ASSERT_EQ(ZTP_Initialize(kInit.c_str()), 0);
    EXPECT_EQ(ZTP_SetCRCKey(nullptr), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_SetCRCKey(std::string(65, 'c').c_str()), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_SetCRCKey(std::string(64, 'c').c_str()), 0);
    EXPECT_EQ(ZTP_Listen("1BC-123-XYZ", 60, 0, 0), ERROR_ZTP_INVALID_ID);
    EXPECT_EQ(ZTP_Listen("ABC-123-XYZ", 59, 0, 0), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Listen("ABC-123-XYZ", 86401, 0, 0), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Listen(("ABC-123-XYZ:" + std::string(24, 'k')).c_str(), 60, 0, 0), ERROR_ZTP_INVALID_PARAMETER);
    ztp_session_info info{};
    EXPECT_EQ(ZTP_Check(0, &info), ERROR_ZTP_INVALID_SESSION_HANDLE);
    EXPECT_EQ(ZTP_Check(99, &info), ERROR_ZTP_INVALID_SESSION_HANDLE);
    EXPECT_EQ(ZTP_Check(0, nullptr), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Close(0), ERROR_ZTP_INVALID_SESSION_HANDLE);
    EXPECT_EQ(ZTP_DeInitialize(), 0);
}

// Init, a listen that is broken, de-init: a hundred times, and every thread and descriptor the
// transport made is gone again.
TEST(ZtpInit, HundredCyclesLeaveNothingBehind)
{
    zeltest::TempRoot root;
    setenv("ZELMAR_ZTP_LAN_PORT", std::to_string(zeltest::free_udp_port()).c_str(), 1);
    // The random source stays open for the process once used, and a sanitizer may start a thread
    // of its own with the first thread: both before counting.
    rand_long();
    ASSERT_EQ(ZTP_Initialize(kInit.c_str()), 0);
    ASSERT_EQ(ZTP_DeInitialize(), 0);
    const int threads_before = zeltest::task_count();
    const int fds_before = zeltest::descriptor_count();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(ZTP_Initialize(kInit.c_str()), 0);
        std::atomic<int> result{1};
        std::thread listen([&] { result = ZTP_Listen("ABC-123-XYZ", 60, 0, 0); });
        usleep(static_cast<useconds_t>(i % 5) * 10000);
        if (i % 2 == 0) {
            // A break that comes before the listen has begun is not for it: break until it ends.
            while (result.load() == 1) {
                ZTP_Listen_Break();
                usleep(5000);
            }
            listen.join();
            EXPECT_EQ(result, ERROR_ZTP_USER_LISTEN_BREAK);
            EXPECT_EQ(ZTP_DeInitialize(), 0);
        } else {
            // De-initialising under a running listen waits for it.
            EXPECT_EQ(ZTP_DeInitialize(), 0);
            listen.join();
            EXPECT_LT(result, 0);
        }
    }
    // A joined thread's task may linger a moment after the join (long under an emulator).
    EXPECT_TRUE(zeltest::wait_until([&] { return zeltest::task_count() == threads_before; },
                                    std::chrono::milliseconds(2000)))
        << zeltest::task_count() << " threads, " << threads_before << " before";
    EXPECT_EQ(zeltest::descriptor_count(), fds_before);
    unsetenv("ZELMAR_ZTP_LAN_PORT");
}

} // namespace
