// Playback requests and RDT file requests of a phone without a card and with custom-record files
// in a temporary root: replies, bare heads for short or lying requests, a custom file in packets
// of at most 2048 bytes, and an interrupted transfer that leaves the next one free.
#include <json-c/json.h>

#include <filesystem>
#include <fstream>

#include "app/record/custom_record_index.h"
#include "common/ipc/ko_message.h"
#include "p2p_lab.h"
#include "peer_control.h"
#include "zel_test_support.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;

class Files : public P2pTest {
protected:
    static void SetUpTestSuite() { ko_message_init(nullptr); }
    static void TearDownTestSuite() { ko_message_deinit(); }
    void SetUp() override
    {
        P2pTest::SetUp();
        ASSERT_EQ(lab_start_service(), 0);
    }
    void TearDown() override
    {
        ko_p2p_deinit();
        P2pTest::TearDown();
    }
    int command(int code, const std::string &json)
    {
        return vasq_on_cmd(phone(0), code, json.data(), static_cast<int>(json.size()), nullptr);
    }
    void rdt(const std::string &bytes) { vasq_on_rdt_data(phone(0), bytes.data(), static_cast<int>(bytes.size()), nullptr); }
    std::vector<std::string> playback_replies()
    {
        std::vector<std::string> out;
        for (const Sent &s : Lab::get().sent())
            if (s.code == 270)
                out.push_back(s.data);
        return out;
    }
    // A custom-record file of `size` bytes for `time`.
    std::string custom_file(uint32_t time, size_t size)
    {
        char path[256];
        EXPECT_EQ(timestamp_to_custom_record_path(time, path, sizeof path), 0);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::string content(size, '\0');
        for (size_t i = 0; i < size; i++)
            content[i] = static_cast<char>(i * 7 + 3);
        std::ofstream(path, std::ios::binary) << content;
        return content;
    }
    zeltest::TempRoot root_;
};

TEST_F(Files, PlaybackRequestsWithoutACard)
{
    const std::string request = R"({"sessionid":7,"starttime":1800000000,"endtime":0,"autoswitchtolive":0,"offset":0)";
    EXPECT_EQ(command(269, request + "}"), 0);
    ASSERT_EQ(playback_replies().size(), 1u) << "end time 0 plays until now + 311040000 s, past 2038 too";
    EXPECT_EQ(playback_replies()[0], std::string(R"({"id":7, "status":"filenotfound"})") + '\0');
    command(269, request + R"(,"speed":2})");
    command(269, R"({"sessionid":7,"starttime":1800000000,"endtime":1700000000,"autoswitchtolive":0,"offset":0})");
    command(269, R"({"sessionid":7,"starttime":1800000000,"autoswitchtolive":0,"offset":0})");
    EXPECT_EQ(playback_replies().size(), 1u) << "speed 2, an end before the start, no end: ignored";
    EXPECT_EQ(command(269, R"({"sessionid":7,"starttime":0,"endtime":0,"autoswitchtolive":1,"offset":0})"), 0);
    EXPECT_EQ(ko_p2p::g_vasq_ctrl.slots[0].mode.load(), ko_p2p::kModeLive) << "start 0 is back to live";
    EXPECT_EQ(command(271, R"({"sessionid":7,"speed":4})"), 0);
    EXPECT_EQ(playback_replies().size(), 1u);
}

TEST_F(Files, ShortOrLyingRequestsGetABareHead)
{
    rdt(std::string("\x10\0\0", 3));
    EXPECT_TRUE(Lab::get().rdt_sent().empty()) << "no head at all: ignored";
    rdt(le_words({16, 100}) + le_words({1700000000}));
    rdt(le_words({16, 2}) + std::string(2, '\0'));
    rdt(le_words({99, 0}));
    rdt(le_words({1, 0x7FFFFFFF, 1700000000}));
    rdt(le_words({1, 3}) + std::string(3, '\0'));
    rdt(le_words({15, 8}));
    const std::vector<std::string> sent = Lab::get().rdt_sent();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0], le_words({16, 0, 0})) << "100 bytes declared, 4 came";
    EXPECT_EQ(sent[1], le_words({16, 0, 0})) << "no room for the time stamp";
    EXPECT_EQ(sent[2], le_words({99, 0, 0}));
    EXPECT_EQ(sent[3], le_words({1, 0, 0})) << "a length far past what came";
    EXPECT_EQ(sent[4], le_words({1, 0, 0})) << "a time stamp cut short";
    EXPECT_EQ(sent[5], le_words({15, 0, 0})) << "8 bytes declared, none came";
}

TEST_F(Files, ListsAndPicturesWithoutACardGetABareHead)
{
    const std::string all = R"({"time":""})", hour = R"({"time":"2026120913"})", bad = R"({"time":"20261341"})";
    rdt(le_words({6, 0}));
    rdt(le_words({5, 4, 1700000000}));
    rdt(le_words({11, static_cast<uint32_t>(all.size())}) + all);
    rdt(le_words({11, static_cast<uint32_t>(hour.size())}) + hour);
    rdt(le_words({11, static_cast<uint32_t>(bad.size())}) + bad);
    rdt(le_words({11, 40}) + all);
    const std::vector<std::string> sent = Lab::get().rdt_sent();
    ASSERT_EQ(sent.size(), 6u);
    for (size_t i = 0; i < sent.size(); i++)
        EXPECT_EQ(sent[i], le_words({i == 0 ? 6u : i == 1 ? 5u : 11u, 0, 0})) << i;
}

TEST_F(Files, CustomFileComesInPacketsAfterItsHead)
{
    const uint32_t t = 1700000000;
    const std::string content = custom_file(t, 5000);
    rdt(le_words({16, 4, t}));
    const std::vector<std::string> sent = Lab::get().rdt_sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].size(), 2048u);
    EXPECT_EQ(sent[1].size(), 2048u);
    EXPECT_EQ(sent[0].substr(0, 12), le_words({16, 5000, 0}));
    std::string body = sent[0].substr(12) + sent[1] + sent[2];
    EXPECT_EQ(body, content);
    Lab::get().reset();
    rdt(le_words({16, 4, t + 1}));
    ASSERT_EQ(Lab::get().rdt_sent().size(), 1u);
    EXPECT_EQ(Lab::get().rdt_sent()[0], le_words({16, 0, 0})) << "no such file";
}

TEST_F(Files, InterruptedTransferLeavesTheNextOneFree)
{
    EXPECT_EQ(ko_p2p_interrupt_custom_file_transfer(0), 0) << "idle: at once";
    EXPECT_EQ(ko_p2p::g_vasq_ctrl.slots[0].transfer.load(), ko_p2p::kTransferIdle) << "and left idle";
    EXPECT_EQ(ko_p2p_interrupt_custom_file_transfer(5), -1);
    const uint32_t t = 1700000100;
    const std::string content = custom_file(t, 20000);
    std::atomic<int> interrupted{1};
    Lab::get().on_rdt = [&] {
        // The phone interrupts while the first packet is out: the transfer is busy sending.
        if (interrupted.exchange(0)) {
            EXPECT_EQ(ko_p2p_interrupt_custom_file_transfer(0), -1) << "not idle within 200 ms";
        }
    };
    rdt(le_words({16, 4, t}));
    std::vector<std::string> sent = Lab::get().rdt_sent();
    ASSERT_EQ(sent.size(), 2u) << "one packet, then the bare head";
    EXPECT_EQ(sent[1], le_words({16, 0, 0}));
    EXPECT_EQ(ko_p2p::g_vasq_ctrl.slots[0].transfer.load(), ko_p2p::kTransferIdle);
    Lab::get().reset();
    rdt(le_words({16, 4, t}));
    sent = Lab::get().rdt_sent();
    ASSERT_EQ(sent.size(), 10u) << "the next transfer is taken whole";
    std::string body;
    for (const std::string &p : sent)
        body += p;
    EXPECT_EQ(body.substr(12), content);
}

} // namespace
} // namespace p2ptest
