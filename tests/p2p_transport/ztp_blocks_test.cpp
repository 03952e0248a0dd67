// The channel engine without a network: block order across the index wrap, the insertion rules,
// and what a DRW or a DRWAck does to a channel's lists, window and send period.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ztp_drw.h"
#include "ztp_tick_test.h"

namespace {

std::vector<int> indexes(const ztp_block_list &l)
{
    std::vector<int> out;
    for (const ztp_block *b = l.head; b; b = b->next)
        out.push_back(b->index);
    return out;
}

void add(ztp_block_list &l, uint16_t index, size_t len = 10)
{
    const std::vector<uint8_t> data(len, static_cast<uint8_t>(index));
    ztp_list_insert(&l, ztp_block_new(index, data.data(), len));
}

TEST(ZtpBlocks, OrderFollowsTheWrapAndFarOrRepeatedIndexesAreRefused)
{
    EXPECT_EQ(ztp_IndexCompare(0, 65535), 1);
    EXPECT_EQ(ztp_IndexCompare(65535, 0), -1);
    EXPECT_EQ(ztp_IndexDistance(2, 65534), 4);
    EXPECT_EQ(ztp_IndexDistance(0, 32768), 32768);

    ztp_block_list l{};
    for (uint16_t i : {65534, 1, 65535, 0, 2})
        add(l, i);
    EXPECT_EQ(indexes(l), (std::vector<int>{65534, 65535, 0, 1, 2}));
    add(l, 0); // already listed
    add(l, 2 + 21846);     // more than a third of the range after the head
    add(l, 65534 - 21846); // more than a third before the tail
    EXPECT_EQ(indexes(l), (std::vector<int>{65534, 65535, 0, 1, 2}));
    EXPECT_EQ(l.count, 5u);
    EXPECT_EQ(l.bytes, 50u);
    // A block nearer the head is searched from there and still lands in order.
    add(l, 65533);
    EXPECT_EQ(indexes(l), (std::vector<int>{65533, 65534, 65535, 0, 1, 2}));
    ztp_block *b = ztp_list_take(&l, 0);
    ASSERT_NE(b, nullptr);
    delete b;
    EXPECT_EQ(ztp_list_take(&l, 0), nullptr);
    EXPECT_EQ(indexes(l), (std::vector<int>{65533, 65534, 65535, 1, 2}));
    ztp_list_free(&l);
    EXPECT_EQ(l.count, 0u);
}

class ZtpChannelEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::memset(&slot_, 0, sizeof slot_);
        slot_.sock = -1; // what the engine sends goes nowhere
        slot_.chan.send_period_ms = 40;
        for (auto &c : slot_.chan.ch)
            c.window = ZTP_WINDOW_MAX;
        now_ = 1000;
        ztp_tick_set_source([] { return now_; });
    }
    void TearDown() override
    {
        ztp_channels_free(&slot_);
        ztp_tick_set_source(nullptr);
    }
    void in_flight(int channel, uint16_t index, int64_t sent)
    {
        ztp_channel &c = slot_.chan.ch[channel];
        ztp_block *b = ztp_block_new(index, reinterpret_cast<const uint8_t *>("data"), 4);
        b->first_send_ms = sent;
        ztp_list_insert(&c.inflight, b);
    }
    void data(int channel, uint16_t index, size_t len = 1024)
    {
        static const std::vector<uint8_t> bytes(1024, 0x5A);
        ztp_drw d{static_cast<uint8_t>(channel), index, bytes.data(), len};
        ztp_drw_on_data(&slot_, d);
    }

    static int64_t now_;
    ztp_slot slot_;
};
int64_t ZtpChannelEngine::now_ = 0;

TEST_F(ZtpChannelEngine, AckOfALaterBlockSendsTheEarlierOnesAgainAndNarrowsTheWindow)
{
    for (uint16_t i : {3, 4, 5})
        in_flight(2, i, 900);
    const uint16_t ack = 5;
    ztp_drw_on_ack(&slot_, 2, &ack, 1);
    const ztp_channel &c = slot_.chan.ch[2];
    EXPECT_EQ(indexes(c.send), (std::vector<int>{3, 4}));
    EXPECT_EQ(c.inflight.count, 0u);
    EXPECT_EQ(c.window, ZTP_WINDOW_MAX - 2);
    // Sent 100 ms ago: slower than the period, which stays.
    EXPECT_EQ(slot_.chan.send_period_ms, 40);
}

TEST_F(ZtpChannelEngine, QuickAcksShortenTheSendPeriod)
{
    in_flight(0, 65535, now_ - 7);
    in_flight(0, 0, now_ - 3);
    const uint16_t acks[2] = {65535, 0};
    ztp_drw_on_ack(&slot_, 0, acks, 2);
    EXPECT_EQ(slot_.chan.send_period_ms, 4);
    EXPECT_EQ(slot_.chan.ch[0].inflight.count, 0u);
    EXPECT_EQ(slot_.chan.ch[0].window, ZTP_WINDOW_MAX);
}

TEST_F(ZtpChannelEngine, FullChannelTakesOnlyTheExpectedBlock)
{
    ztp_channel &c = slot_.chan.ch[5];
    // 129 blocks after the expected one fill the channel past 0x20000 bytes.
    for (uint16_t i = 1; i <= 129; ++i)
        data(5, i);
    EXPECT_GT(c.received.bytes, static_cast<uint64_t>(ZTP_WAITING_MAX));
    const uint32_t held = c.received.count;
    c.nacks = 0;
    data(5, 200); // later: neither stored nor acknowledged
    EXPECT_EQ(c.received.count, held);
    EXPECT_EQ(c.nacks, 0);
    data(5, 0); // the expected block
    EXPECT_EQ(c.received.count, held + 1);
    ASSERT_EQ(c.nacks, 1);
    EXPECT_EQ(c.acks[0], 0);
}

TEST_F(ZtpChannelEngine, AckListIsSentBeforeItPassesTheLimit)
{
    ztp_channel &c = slot_.chan.ch[1];
    for (uint16_t i = 0; i < 200; ++i) {
        data(1, i, 16);
        ASSERT_LE(c.nacks, ZTP_ACK_SEND_AT);
    }
    // Blocks already read are acknowledged again but not stored.
    c.next_read = 300;
    const uint32_t held = c.received.count;
    data(1, 10, 16);
    EXPECT_EQ(c.received.count, held);
    EXPECT_GE(c.nacks, 1);
}

} // namespace
