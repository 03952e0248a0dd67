// The reliable channels on TCP links: a LAN TCP link with the test phone and a TCP relay whose far
// end sends each channel back. TCP carries the order; the camera only frames and must not let a
// channel that nobody reads grow without bound.
#include <sys/ioctl.h>

#include "ztp_session_fixture.h"

namespace ztptest {
namespace {

using ZtpTcpData = ZtpSession;

TEST_F(ZtpTcpData, LanLinkCarriesEightChannelsBothWays)
{
    open_lan_session();
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle_, &info), 0);
    EXPECT_EQ(info.mode, ZTP_MODE_P2P);
    both_ways(48 * 1024, std::chrono::seconds(30));
}

TEST_F(ZtpTcpData, UnsentSizeCountsWhatTheSocketHolds)
{
    open_lan_session();
    net_.phone(R"({"cmd":"chan_mode","read":false})");
    write_pattern(2, 4u << 20, 64 * 1024);
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle_, &info), 0);
    int queued = 0;
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return ioctl(info.socket, TIOCOUTQ, &queued) == 0 && queued > 64 * 1024; }, std::chrono::seconds(5)));
    uint32_t unsent = 0;
    ASSERT_EQ(ZTP_Check_Buffer(handle_, 2, &unsent, nullptr), 0);
    EXPECT_GE(unsent, static_cast<uint32_t>(queued) / 2);
    net_.phone(R"({"cmd":"chan_mode","read":true})");
    EXPECT_TRUE(phone_reaches(2, "rx", 4 << 20, std::chrono::seconds(30)));
    EXPECT_EQ(stat(2, "bad"), 0);
    EXPECT_TRUE(zeltest::wait_until(
        [&] { return ZTP_Check_Buffer(handle_, 2, &unsent, nullptr) == 0 && unsent == 0; }, std::chrono::seconds(5)));
}

TEST_F(ZtpTcpData, AFullChannelLetsTheOthersThroughAndAFloodPastItEndsTheSession)
{
    open_lan_session();
    // Channel 5, which nobody reads, takes what it may hold; channel 0 still flows.
    constexpr uint32_t kFull = ZTP_WAITING_MAX + ZTP_BLOCK_MAX;
    net_.phone(send_cmd(5, kFull));
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            uint32_t unread = 0;
            return ZTP_Check_Buffer(handle_, 5, nullptr, &unread) == 0 && unread >= kFull;
        },
        std::chrono::seconds(5)));
    net_.phone(send_cmd(0, 16 * 1024));
    EXPECT_EQ(read_pattern(0, 16 * 1024, std::chrono::seconds(10)), 16u * 1024);
    // A block more on channel 5 ends the session instead of growing the camera.
    net_.phone(send_cmd(5, ZTP_BLOCK_MAX));
    ztp_session_info info{};
    EXPECT_TRUE(zeltest::wait_until([&] { return ZTP_Check(handle_, &info) == ERROR_ZTP_SESSION_CLOSED_REMOTE; },
                                    std::chrono::seconds(5)));
}

TEST_F(ZtpTcpData, RelayedChannelsComeBackIntact)
{
    open_tcp_relay_session();
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle_, &info), 0);
    EXPECT_EQ(info.mode, ZTP_MODE_TCP_RELAY);
    std::atomic<int> good{0};
    std::vector<std::thread> readers;
    constexpr size_t kBytes = 40 * 1024;
    for (int c = 0; c < 8; ++c)
        readers.emplace_back([&, c] { good += read_pattern(c, kBytes, std::chrono::seconds(30)) == kBytes; });
    for (int c = 0; c < 8; ++c)
        write_pattern(c, kBytes);
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(good.load(), 8);
}

TEST_F(ZtpTcpData, CloseOnTheLanLinkReachesThePeer)
{
    open_lan_session();
    write_pattern(0, 100 * 1024);
    const int64_t t0 = ztp_tick_ms();
    EXPECT_EQ(ZTP_Close(handle_), 0);
    handle_ = -1;
    // The phone never answers with a Close of its own: the wait for it is bounded.
    EXPECT_LE(ztp_tick_ms() - t0, zeltest::scaled(std::chrono::milliseconds(9000)).count());
    EXPECT_EQ(stat(0, "rx"), 100 * 1024);
    EXPECT_TRUE(zeltest::wait_until([&] { return json_object_get_boolean(member(stats().get(), "closed")); },
                                    std::chrono::seconds(2)));
}

} // namespace
} // namespace ztptest
