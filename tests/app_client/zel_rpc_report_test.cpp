// What the engine sends on its own, read back by the daemon simulator: property reports of every kind
// (escaped, checked, bounded), the internal -> outward map, local changes, the OK reply, string reply
// elements, the statistics report and the firmware version it carries.
#include <unistd.h>

#include <string>

#include "zel_rpc_fixture.h"

namespace rpctest {
namespace {

class RpcReport : public RpcTest {
protected:
    void SetUp() override
    {
        RpcTest::SetUp();
        zel_rpc_test_install_tables(test_tables());
    }
    // The "params"[0] of the next report from `since`.
    Json report_element(int since)
    {
        Json report = wait_rpc("properties_changed", since);
        json_object *element = json_object_array_get_idx(member(report.get(), "params"), 0);
        return element ? zeltest::parse_json(json_object_to_json_string(element)) : Json();
    }
};

TEST_F(RpcReport, StringValuesWithQuotesBackslashesAndNonAsciiArriveUnchanged)
{
    const std::string value = "say \"hi\" \\ back\\slash, \xC3\xBC\xC3\xA9 \xE6\x97\xA5 \"}]";
    const int since = rpc_count();
    ASSERT_EQ(spec_property_changed(get_notify_id(), 2, 3, ZEL_RPC_KIND_STRING, value.c_str()), 0);
    Json element = report_element(since);
    ASSERT_TRUE(element);
    EXPECT_EQ(json_object_get_string(member(element.get(), "value")), value);
    EXPECT_EQ(json_object_get_string(member(element.get(), "did")), std::string("424242"));
}

TEST_F(RpcReport, InternalPairsGoOutUnderTheirOutwardIds)
{
    const struct {
        int siid, piid, o_siid, o_piid;
    } cases[] = {{4, 1, 3, 1}, {2, 2, 2, 4}, {2, 11, 2, 2}, {27, 2, 6, 2}, {6, 4, 9, 1}, {2, 1, 2, 1}, {9, 1, 9, 1}};
    for (const auto &c : cases) {
        const int since = rpc_count();
        ASSERT_EQ(spec_property_changed(get_notify_id(), c.siid, c.piid, ZEL_RPC_KIND_INT, "5"), 0);
        Json element = report_element(since);
        EXPECT_EQ(json_object_get_int(member(element.get(), "siid")), c.o_siid) << c.siid << "." << c.piid;
        EXPECT_EQ(json_object_get_int(member(element.get(), "piid")), c.o_piid) << c.siid << "." << c.piid;
    }
}

TEST_F(RpcReport, KindsGiveIntegersBooleansAndRawJson)
{
    const struct {
        int kind;
        const char *value;
        const char *want;
    } cases[] = {{ZEL_RPC_KIND_INT, "42", "42"},
                 {ZEL_RPC_KIND_BOOL, "1", "true"},
                 {ZEL_RPC_KIND_BOOL, "0", "false"},
                 {ZEL_RPC_KIND_JSON, R"({"switch":1,"area":[1,2]})", R"({"switch":1,"area":[1,2]})"},
                 {ZEL_RPC_KIND_JSON, "3", "3"}};
    for (const auto &c : cases) {
        const int since = rpc_count();
        ASSERT_EQ(spec_property_changed(get_notify_id(), 5, 2, c.kind, c.value), 0);
        Json element = report_element(since);
        EXPECT_TRUE(same_json(member(element.get(), "value"), c.want)) << c.value;
    }
}

TEST_F(RpcReport, RawValuesThatAreNotOneJsonValueAndOversizedReportsAreRefused)
{
    const int since = rpc_count();
    EXPECT_EQ(spec_property_changed(1, 5, 2, ZEL_RPC_KIND_JSON, R"(1}],"method":"x","params":[{)"), -1);
    EXPECT_EQ(spec_property_changed(1, 5, 2, ZEL_RPC_KIND_JSON, "{\"a\":1}{\"b\":2}"), -1);
    EXPECT_EQ(spec_property_changed(1, 5, 2, ZEL_RPC_KIND_JSON, ""), -1);
    EXPECT_EQ(spec_property_changed(1, 5, 2, 9, "1"), -1);
    EXPECT_EQ(spec_property_changed(1, 5, 2, ZEL_RPC_KIND_STRING, nullptr), -1);
    EXPECT_EQ(spec_property_changed(1, 5, 2, ZEL_RPC_KIND_STRING, std::string(4000, 'x').c_str()), -1);
    EXPECT_EQ(spec_property_changed(1, 5, 2, ZEL_RPC_KIND_STRING, std::string(3000, '"').c_str()), -1);
    EXPECT_TRUE(nothing("properties_changed", since));
    // The largest report that fits goes out whole.
    const std::string big(3900, 'y');
    ASSERT_EQ(spec_property_changed(1, 5, 2, ZEL_RPC_KIND_STRING, big.c_str()), 0);
    Json element = report_element(since);
    EXPECT_EQ(json_object_get_string(member(element.get(), "value")), big);
}

TEST_F(RpcReport, NotifyIdsRunFrom1To65534AndWrap)
{
    int first = get_notify_id();
    EXPECT_GE(first, 1);
    int last = first;
    for (int i = 0; i < 70000; ++i) {
        const int id = get_notify_id();
        ASSERT_TRUE(id >= 1 && id <= 65534) << id;
        if (last == 65534)
            ASSERT_EQ(id, 1);
        else
            ASSERT_EQ(id, last + 1);
        last = id;
    }
}

TEST_F(RpcReport, LocalChangeReachesTheFirstRowWhoseKeyBeginsWithIt)
{
    const char value[] = {'1', '2', 'x'}; // not NUL-terminated: only len bytes count
    EXPECT_EQ(zel_rpc_properties_change("NVM.TEST:md_", value, 2), 0);
    EXPECT_EQ(zel_rpc_properties_change("NVM.TEST:none", "1", 1), 0);
    EXPECT_EQ(zel_rpc_properties_change(nullptr, "1", 1), -1);
    const std::vector<Call> seen = calls();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].op, SPEC_OP_LOCAL);
    EXPECT_EQ(seen[0].siid, 5);
    EXPECT_EQ(seen[0].piid, 1);
    EXPECT_EQ(seen[0].json, "12");
    EXPECT_EQ(seen[0].id, 1);
    EXPECT_FALSE(seen[0].notify);
}

TEST_F(RpcReport, OkReplyAndStringElements)
{
    int since = rpc_count();
    ASSERT_EQ(zel_rpc_reply_ok(77), 0);
    EXPECT_TRUE(same_json(wait_rpc("", since).get(), R"({"id":77,"result":["OK"]})"));
    char buf[256];
    zel_rpc_json_to_value_string(buf, sizeof buf, "424242", 23, 2, "a \"b\" \\c");
    EXPECT_TRUE(same_json(zeltest::parse_json(buf).get(),
                          R"({"did":"424242","siid":23,"piid":2,"value":"a \"b\" \\c","code":0})"))
        << buf;
}

TEST_F(RpcReport, StatisticsReportCarriesTheInfoAndTheVersion)
{
    root_.write_file("/etc/os-release", "NAME=zelmar\nHALVORN_VERSION=2.4.17_0031\n");
    const int since = rpc_count();
    ASSERT_EQ(zel_app_report_info(R"({"uptime":5})", 0), 0);
    Json report = wait_rpc("_async.stat", since);
    ASSERT_TRUE(report);
    EXPECT_TRUE(same_json(member(member(report.get(), "params"), "halvorn.info"), R"({"uptime":5})"));
    EXPECT_EQ(json_object_get_string(member(member(report.get(), "params"), "fw_ver")), std::string("2.4.17_0031"));
    EXPECT_EQ(zel_app_report_info(nullptr, 0), -1);
}

class FirmwareVersion : public ::testing::Test {
protected:
    std::string version_of(const std::string &file, int size = 32, int *rc = nullptr)
    {
        root_.write_file("/etc/os-release", file);
        std::string out(static_cast<size_t>(size), '#');
        const int r = zel_rpc_get_firmware_version(out.data(), size);
        if (rc)
            *rc = r;
        return r == 0 ? std::string(out.c_str()) : "<" + std::to_string(r) + ">";
    }
    zeltest::TempRoot root_;
};

TEST_F(FirmwareVersion, TakesTheTextAfterTheEqualsSign)
{
    EXPECT_EQ(version_of("ID=zelmar\nHALVORN_VERSION=1.0.9_0007\nOTHER=1\n"), "1.0.9_0007");
}

TEST_F(FirmwareVersion, LastLineWithoutNewlineKeepsItsLastCharacter)
{
    EXPECT_EQ(version_of("ID=zelmar\nHALVORN_VERSION=1.0.9_0007"), "1.0.9_0007");
}

TEST_F(FirmwareVersion, BareKeyAtTheEndGivesAnEmptyVersion)
{
    EXPECT_EQ(version_of("ID=zelmar\nHALVORN_VERSION="), "");
    EXPECT_EQ(version_of("HALVORN_VERSION=\n"), "");
}

TEST_F(FirmwareVersion, StaysWithinTheCallersBufferAnd31Characters)
{
    EXPECT_EQ(version_of("HALVORN_VERSION=1.2.3.4.5.6\n", 4), "1.2");
    EXPECT_EQ(version_of("HALVORN_VERSION=" + std::string(40, '9') + "\n", 64), std::string(31, '9'));
}

TEST_F(FirmwareVersion, MissingFileOrKeyFails)
{
    char out[32];
    EXPECT_EQ(zel_rpc_get_firmware_version(out, sizeof out), -1);
    EXPECT_EQ(zel_rpc_get_firmware_version(nullptr, 32), -1);
    EXPECT_EQ(version_of("ID=zelmar\n"), "<-1>");
}

TEST(CardSizes, ComeFromTheCardFolderBelowTheRoot)
{
    zeltest::TempRoot root;
    uint64_t total = 0, used = 0, free_bytes = 0;
    ASSERT_EQ(zel_rpc_sd_statfs(&total, &used, &free_bytes), 0);
    EXPECT_GT(total, 0u);
    EXPECT_LE(used, total);
    EXPECT_LE(free_bytes, total);
    EXPECT_EQ(zel_rpc_sd_statfs(nullptr, &used, &free_bytes), -1);
    ASSERT_EQ(rmdir(root.path("/mnt/sdcard").c_str()), 0);
    EXPECT_EQ(zel_rpc_sd_statfs(&total, &used, &free_bytes), -1);
}

} // namespace
} // namespace rpctest
