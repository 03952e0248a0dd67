#include "app/rpc/ko_rpc_framer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Feeds `stream` in pieces of `piece` bytes and collects every object the framer gives.
std::vector<std::string> frame(ko_rpc::Framer &framer, const std::string &stream, size_t piece)
{
    std::vector<std::string> out;
    for (size_t pos = 0; pos < stream.size();) {
        const size_t n = std::min({piece, stream.size() - pos, framer.space_left()});
        std::memcpy(framer.space(), stream.data() + pos, n);
        framer.commit(n);
        pos += n;
        const char *obj;
        size_t len;
        while (framer.next(&obj, &len)) {
            out.emplace_back(obj, len);
            framer.pop();
        }
    }
    return out;
}

} // namespace

TEST(RpcFramer, ObjectsInOneReadAndInSingleBytes)
{
    const std::string stream = R"({"id":1,"method":"a"}{"id":2,"params":{"x":[1,{"y":2}]}}  {"id":3})";
    const std::vector<std::string> want = {R"({"id":1,"method":"a"})", R"({"id":2,"params":{"x":[1,{"y":2}]}})",
                                           R"({"id":3})"};
    ko_rpc::Framer whole;
    EXPECT_EQ(frame(whole, stream, stream.size()), want);
    ko_rpc::Framer bytes;
    EXPECT_EQ(frame(bytes, stream, 1), want);
    EXPECT_EQ(bytes.held(), 0u);
}

TEST(RpcFramer, BracesInsideStringsDoNotCount)
{
    const std::string a = R"({"ssid":"home}net{","pw":"a\"}b\\"})";
    const std::string b = R"({"id":7})";
    ko_rpc::Framer framer;
    EXPECT_EQ(frame(framer, " \r\n\t" + a + "\n" + b, 3), (std::vector<std::string>{a, b}));
    EXPECT_EQ(framer.fault(), ko_rpc::Framer::Fault::none);
}

TEST(RpcFramer, BytesThatStartNoObjectAreDroppedWithTheObjectAfterThem)
{
    for (const std::string &junk : std::vector<std::string>{"x", "]", std::string(1, '\0'), "\xff", "\"}"}) {
        ko_rpc::Framer framer;
        EXPECT_EQ(frame(framer, R"({"id":1} )" + junk + R"({"id":2})", 5),
                  (std::vector<std::string>{R"({"id":1})", R"({"id":2})"}));
        EXPECT_EQ(framer.fault(), ko_rpc::Framer::Fault::none);
    }
}

TEST(RpcFramer, ObjectNotEndedWithinItsBoundBreaksTheStream)
{
    // Ends exactly at the bound: still delivered (dropped as oversized), and the stream goes on.
    const std::string head = R"({"blob":")";
    const std::string at_bound = head + std::string(ko_rpc::Framer::kMaxObject - head.size() - 2, 'x') + "\"}";
    ko_rpc::Framer framer;
    EXPECT_EQ(frame(framer, at_bound + R"({"id":2})", 4000), (std::vector<std::string>{R"({"id":2})"}));
    EXPECT_EQ(framer.fault(), ko_rpc::Framer::Fault::none);
    EXPECT_EQ(framer.oversized(), 1u);

    // One byte more and it is out of step, whatever follows; an open string hides every brace.
    ko_rpc::Framer open;
    EXPECT_TRUE(frame(open, head + std::string(ko_rpc::Framer::kMaxObject, '}') + R"("}{"id":3})", 4000).empty());
    EXPECT_EQ(open.fault(), ko_rpc::Framer::Fault::unterminated);
}

TEST(RpcFramer, OversizedObjectIsSkippedAndTheNextOneArrives)
{
    const std::string big = R"({"id":1,"blob":")" + std::string(10000, 'x') + R"(}{","n":{"a":1}})";
    const std::string next = R"({"id":2,"method":"after"})";
    ko_rpc::Framer framer;
    EXPECT_EQ(frame(framer, big + next, 700), (std::vector<std::string>{next}));
    EXPECT_EQ(framer.oversized(), 1u);
}

TEST(RpcFramer, IncompleteObjectWaitsAcrossManyReads)
{
    ko_rpc::Framer framer;
    EXPECT_TRUE(frame(framer, R"({"id":9,"params":{")", 2).empty());
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(frame(framer, "k", 1).empty());
    EXPECT_EQ(frame(framer, R"(":1}})", 1), (std::vector<std::string>{R"({"id":9,"params":{"kkkkkkkkkk":1}})"}));
}

TEST(RpcFramer, CutOffObjectGivesNothingOfItselfWhereverItIsCut)
{
    const std::string request =
        R"({"id":90,"method":"set_properties","params":[{"did":"1","siid":2,"piid":1,"value":"a {b} \"c\""},)"
        R"({"did":"1","siid":2,"piid":2,"value":-1.5e3},{"did":"1","siid":2,"piid":3,"value":true}]})";
    std::vector<std::string> seven;
    std::string after;
    for (int id = 1; id <= 7; ++id) {
        seven.push_back(R"({"id":)" + std::to_string(id) + R"(,"method":"get_properties","params":[{"siid":2,"piid":1}]})");
        after += seven.back() + (id % 2 ? "" : "\n");
    }
    for (size_t cut = 1; cut < request.size(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        const std::string head = request.substr(0, cut);
        for (size_t piece : {size_t{1}, size_t{37}, size_t{4095}}) {
            ko_rpc::Framer framer;
            std::vector<std::string> got = frame(framer, head + after, piece);
            // Nothing of the cut-off object comes out; the object right after it is lost where the
            // cut left the cut-off one waiting for a value, which takes it in.
            ASSERT_GE(got.size(), seven.size() - 1);
            ASSERT_LE(got.size(), seven.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), seven.end() - got.size()));
            EXPECT_EQ(framer.fault(), ko_rpc::Framer::Fault::none);
            EXPECT_EQ(framer.cut_off(), 1u);
        }
    }
}

TEST(RpcFramer, CutOffObjectIsNeverFramedFromInside)
{
    ko_rpc::Framer framer;
    EXPECT_EQ(frame(framer, R"({"id":7,"params":{"id":9,"method":"set"})", 64), std::vector<std::string>{});
    EXPECT_EQ(frame(framer, R"({"id":2})", 64), (std::vector<std::string>{R"({"id":2})"}));
    EXPECT_EQ(framer.cut_off(), 1u);
}
