// The property families on rows of the test's own: what a set stores, reports and calls in the row's
// order, what equality stops, what a wrong JSON type or a refused value leaves, what a pulled value
// stores and what a get answers (escaped texts, objects only when they parse). Reports are read back
// from the daemon simulator.
#include <string>
#include <vector>

#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_family.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc_internal.h"
#include "zel_rpc_fixture.h"

namespace rpctest {
namespace {

using namespace zel_rpc;

// What a device call saw: its value and the stored text of its key at that moment.
struct DeviceCall {
    int value;
    std::string stored;
};
std::vector<DeviceCall> g_device;
const char *g_device_key = "";

std::string stored(const char *key)
{
    std::string v;
    return db_read(key, v) ? v : "<absent>";
}

int record_int(int value)
{
    g_device.push_back({value, stored(g_device_key)});
    return 0;
}

int record_text(const char *)
{
    g_device.push_back({0, stored(g_device_key)});
    return 0;
}

bool small(int v)
{
    return v >= 0 && v <= 100;
}

class RpcFamily : public RpcTest {
protected:
    void SetUp() override
    {
        RpcTest::SetUp();
        g_device.clear();
    }
    static std::string element(const std::string &value_json)
    {
        return R"({"siid":2,"piid":3,"value":)" + value_json + "}";
    }
    // Runs `call` and returns the reports it sent (params[0] of each), waiting `want` of them.
    template <typename F> std::vector<Json> reports(size_t want, F call)
    {
        const int since = rpc_count();
        call();
        std::vector<Json> out;
        int index = since - 1;
        for (size_t i = 0; i < want; ++i) {
            Json r = wait_rpc("properties_changed", index + 1, &index);
            if (!r)
                break;
            out.push_back(zeltest::parse_json(
                json_object_to_json_string(json_object_array_get_idx(member(r.get(), "params"), 0))));
        }
        if (out.size() == want && !nothing("properties_changed", index + 1, want == 0 ? 500 : 200))
            out.push_back(Json());
        return out;
    }
    template <typename Row, typename Family>
    void set(Family family, const Row &row, const std::string &value_json, int op = SPEC_OP_SET)
    {
        std::string e = element(value_json);
        family(row, 2, 3, op, e.data(), static_cast<int>(e.size()), true);
    }
    template <typename Row, typename Family> Json get(Family family, const Row &row)
    {
        std::string buf(4096, '\0');
        family(row, 2, 3, SPEC_OP_GET, buf.data(), 4096, false);
        return zeltest::parse_json(buf.c_str());
    }
    static void put(const char *key, const std::string &v)
    {
        ASSERT_TRUE(db_write(key, v, false));
    }
};

TEST_F(RpcFamily, BooleanTakesInItsOrderAndEqualityStopsEverything)
{
    g_device_key = "NVM.TEST:b";
    const BoolRow wrd{"NVM.TEST:b", "WRD", record_int};
    std::vector<Json> r = reports(1, [&] { set(spec_bool, wrd, "true"); });
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(same_json(r[0].get(), R"({"did":"424242","siid":2,"piid":3,"value":true})")) << text_of(r[0].get());
    ASSERT_EQ(g_device.size(), 1u);
    EXPECT_EQ(g_device[0].value, 1);
    EXPECT_EQ(g_device[0].stored, "1") << "written before the device call";
    EXPECT_EQ(reports(0, [&] { set(spec_bool, wrd, "true"); }).size(), 0u);
    EXPECT_EQ(g_device.size(), 1u) << "an equal value calls no device";

    const BoolRow dwr{"NVM.TEST:b", "DWR", record_int};
    r = reports(1, [&] { set(spec_bool, dwr, "false"); });
    ASSERT_EQ(g_device.size(), 2u);
    EXPECT_EQ(g_device[1].stored, "1") << "the device call comes before the write";
    EXPECT_EQ(stored("NVM.TEST:b"), "0");
    EXPECT_TRUE(same_json(get(spec_bool, dwr).get(), R"({"did":"424242","siid":2,"piid":3,"value":false,"code":0})"));
}

TEST_F(RpcFamily, BooleanOfAnotherTypeIsFalseAndPulledValuesAreStringsOnly)
{
    const BoolRow row{"NVM.TEST:b", "WR", nullptr};
    put("NVM.TEST:b", "1");
    reports(1, [&] { set(spec_bool, row, R"("true")"); });
    EXPECT_EQ(stored("NVM.TEST:b"), "0") << "a string is not a boolean: the default false";
    EXPECT_EQ(reports(0, [&] { set(spec_bool, row, R"("true")", SPEC_OP_PULLED); }).size(), 0u);
    EXPECT_EQ(stored("NVM.TEST:b"), "1");
    set(spec_bool, row, "false", SPEC_OP_PULLED);
    set(spec_bool, row, R"({"x":1})", SPEC_OP_PULLED);
    EXPECT_EQ(stored("NVM.TEST:b"), "1") << "a pulled value that is not \"true\"/\"false\" stores nothing";
}

TEST_F(RpcFamily, AFailedWriteIsNotReportedWhateverTheOrder)
{
    // The ROM store refuses writes.
    const BoolRow wrd{"ROM.TEST_b", "WRD", record_int};
    EXPECT_EQ(reports(0, [&] { set(spec_bool, wrd, "true"); }).size(), 0u);
    EXPECT_TRUE(g_device.empty());
    const BoolRow dwr{"ROM.TEST_b", "DWR", record_int};
    EXPECT_EQ(reports(0, [&] { set(spec_bool, dwr, "true"); }).size(), 0u);
    EXPECT_EQ(g_device.size(), 1u);
}

TEST_F(RpcFamily, IntegerComparesWholeTextsAndRefusesFirst)
{
    g_device_key = "NVM.TEST:i";
    const IntRow row{"NVM.TEST:i", "WDR", record_int, small};
    put("NVM.TEST:i", "10");
    std::vector<Json> r = reports(1, [&] { set(spec_int, row, "1"); });
    ASSERT_EQ(r.size(), 1u) << "1 is not equal to the stored 10";
    EXPECT_EQ(json_object_get_int(member(r[0].get(), "value")), 1);
    EXPECT_EQ(stored("NVM.TEST:i"), "1");
    EXPECT_EQ(reports(0, [&] { set(spec_int, row, "101"); }).size(), 0u);
    EXPECT_EQ(stored("NVM.TEST:i"), "1") << "a refused value leaves the key";
    EXPECT_EQ(g_device.size(), 1u);
    reports(1, [&] { set(spec_int, row, R"("7")"); });
    EXPECT_EQ(stored("NVM.TEST:i"), "0") << "a string is not an integer: the default 0";
    set(spec_int, row, R"("42")", SPEC_OP_PULLED);
    EXPECT_EQ(stored("NVM.TEST:i"), "42");
    set(spec_int, row, R"("4x")", SPEC_OP_PULLED);
    set(spec_int, row, R"("400")", SPEC_OP_PULLED);
    EXPECT_EQ(stored("NVM.TEST:i"), "42");
    EXPECT_TRUE(same_json(get(spec_int, row).get(), R"({"did":"424242","siid":2,"piid":3,"value":42,"code":0})"));

    const IntRow numeric{"NVM.TEST:i", "WR", nullptr, nullptr, true};
    put("NVM.TEST:i", "042");
    EXPECT_EQ(reports(0, [&] { set(spec_int, numeric, "42"); }).size(), 0u);
}

TEST_F(RpcFamily, TextComparesWholeTextsAndAnswersEscaped)
{
    g_device_key = "NVM.TEST:t";
    const TextRow row{"NVM.TEST:t", "DWR", record_text, nullptr};
    put("NVM.TEST:t", "10:10:10");
    std::vector<Json> r = reports(1, [&] { set(spec_text, row, R"("10:10:1")"); });
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(json_object_get_string(member(r[0].get(), "value")), std::string("10:10:1"));
    EXPECT_EQ(g_device.at(0).stored, "10:10:10");
    EXPECT_EQ(reports(0, [&] { set(spec_text, row, R"("")"); }).size(), 0u) << "an empty text changes nothing";
    EXPECT_EQ(stored("NVM.TEST:t"), "10:10:1");

    const std::string odd = "say \"hi\"\t\\ \xC3\xBC\xE6\x97\xA5 \"},{";
    reports(1, [&] { set(spec_text, row, zel_rpc::quoted(odd)); });
    EXPECT_EQ(stored("NVM.TEST:t"), odd);
    Json answer = get(spec_text, row);
    ASSERT_TRUE(answer);
    EXPECT_EQ(json_object_get_string(member(answer.get(), "value")), odd);
}

TEST_F(RpcFamily, TimesOutsideADayAreRefusedBeforeAnything)
{
    g_device_key = "NVM.TEST:t";
    const TextRow row{"NVM.TEST:t", "DWR", record_text, valid_day_time};
    put("NVM.TEST:t", "08:00:00");
    EXPECT_EQ(reports(0,
                      [&] {
                          for (const char *bad : {"24:00:00", "23:60:00", "23:59:60", "-1:00", "8", "08:00:00x", "a:b:c"})
                              set(spec_text, row, zel_rpc::quoted(bad));
                      })
                  .size(),
              0u);
    set(spec_text, row, R"("25:00:00")", SPEC_OP_PULLED);
    EXPECT_EQ(stored("NVM.TEST:t"), "08:00:00");
    EXPECT_TRUE(g_device.empty());
    EXPECT_EQ(reports(1, [&] { set(spec_text, row, R"("23:59:59")"); }).size(), 1u);
    EXPECT_EQ(reports(1, [&] { set(spec_text, row, R"("0:5")"); }).size(), 1u);
}

TEST_F(RpcFamily, ObjectsAreStoredOnlyWhenTheyParseAndAnsweredOnlyThen)
{
    const ObjectRow row{"NVM.TEST:o", "{\"switch\":1}"};
    EXPECT_TRUE(same_json(get(spec_object, row).get(),
                          R"({"did":"424242","siid":2,"piid":3,"value":{"switch":1},"code":0})"));
    EXPECT_EQ(stored("NVM.TEST:o"), "{\"switch\":1}") << "an absent key gets the default first";
    std::vector<Json> r = reports(1, [&] { set(spec_object, row, zel_rpc::quoted(R"({"switch":0,"n":"a\"b"})")); });
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(json_object_get_string(member(r[0].get(), "value")), std::string(R"({"switch":0,"n":"a\"b"})"));
    r = reports(1, [&] { set(spec_object, row, zel_rpc::quoted(R"({"switch":0,)")); });
    EXPECT_EQ(r.size(), 1u) << "reported whether stored or not";
    EXPECT_EQ(stored("NVM.TEST:o"), R"({"switch":0,"n":"a\"b"})");
    set(spec_object, row, zel_rpc::quoted("not json"), SPEC_OP_PULLED);
    EXPECT_EQ(stored("NVM.TEST:o"), R"({"switch":0,"n":"a\"b"})") << "op 5 stores what op 1 would";
    put("NVM.TEST:o", "{\"a\":1}, \"injected\":2");
    EXPECT_TRUE(same_json(get(spec_object, row).get(),
                          R"({"did":"424242","siid":2,"piid":3,"value":{"switch":1},"code":0})"))
        << "a stored text that does not parse answers the default";
}

TEST_F(RpcFamily, ConstantsAnswerGetOnly)
{
    std::string buf(4096, '\0');
    spec_constant("0.250000", 9, 7, SPEC_OP_GET, buf.data(), 4096);
    EXPECT_TRUE(same_json(zeltest::parse_json(buf.c_str()).get(),
                          R"({"did":"424242","siid":9,"piid":7,"value":0.25,"code":0})"));
    std::string e = element("1");
    spec_constant("1", 9, 7, SPEC_OP_SET, e.data(), static_cast<int>(e.size()));
    EXPECT_EQ(e, element("1"));
}

} // namespace
} // namespace rpctest
