// The reliable channels against the test phone (ztp_phone.py): data both ways on all eight
// channels, straight and through the impairing proxy, the API's edge cases, hostile peers, packets,
// closing, and readers racing a forced close.
#include <atomic>
#include <thread>

#include "ztp_session_fixture.h"
#include "ztp_state.h"

namespace ztptest {
namespace {

constexpr size_t kPerChannel = 48 * 1024;

using ZtpData = ZtpSession;

// A reader inside ZTP_Read on channel 3 of `handle` with a time-out of a minute: its result and
// the tick at which it left.
class LongReader {
public:
    explicit LongReader(int handle)
        : thread_([this, handle] {
              char buf[16];
              int size = sizeof buf;
              reading_ = true;
              rc_ = ZTP_Read(handle, 3, buf, &size, 60000);
              left_at_ = ztp_tick_ms();
          })
    {
        EXPECT_TRUE(zeltest::wait_until([&] { return reading_.load(); }, std::chrono::seconds(5)));
        usleep(50 * 1000); // inside its wait
    }
    ~LongReader() { join(); }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    int rc() const { return rc_; }
    int64_t left_at() const { return left_at_; }

private:
    std::atomic<bool> reading_{false};
    std::atomic<int> rc_{1};
    std::atomic<int64_t> left_at_{0};
    std::thread thread_;
};

TEST_F(ZtpData, EightChannelsBothWaysStraight)
{
    open_session();
    both_ways(kPerChannel, std::chrono::seconds(30));
    uint32_t unsent = 1, unread = 1;
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return ZTP_Check_Buffer(handle_, 3, &unsent, &unread) == 0 && unsent == 0; }, std::chrono::seconds(5)));
    EXPECT_EQ(unread, 0u);
}

class ZtpImpaired : public ZtpSession, public ::testing::WithParamInterface<double> {};

TEST_P(ZtpImpaired, EightChannelsBothWaysThroughLossReorderingDuplicationAndDelay)
{
    Impairment im;
    im.loss = GetParam();
    im.reorder = 0.05;
    im.dup = 0.05;
    im.delay_ms = 25; // each way: 50 ms round trip
    im.seed = 7;
    open_session(&im);
    both_ways(kPerChannel / 2, std::chrono::seconds(60));
    Json state = proxy(R"({"cmd":"state"})");
    if (GetParam() > 0) {
        EXPECT_GT(member_int(state.get(), "lost"), 0);
    }
    EXPECT_GT(member_int(state.get(), "reordered"), 0);
    EXPECT_GT(member_int(state.get(), "duplicated"), 0);
    // What the phone saw in flight stays within the window and its slack.
    for (int c = 0; c < ZTP_CHANNELS; ++c)
        EXPECT_LE(stat(c, "max_span"), ZTP_WINDOW_MAX + 10) << "channel " << c;
}

INSTANTIATE_TEST_SUITE_P(Loss, ZtpImpaired, ::testing::Values(0.0, 0.05, 0.20));

TEST_F(ZtpData, AfterALossBurstTheWindowOfAQuietSessionGrowsBackEveryPeriod)
{
    open_session();
    auto lowest_window = [&] {
        std::lock_guard<std::mutex> g(ztp_gSessionLock);
        int low = ZTP_WINDOW_MAX;
        for (const auto &c : ztp_gSession[handle_].chan.ch)
            low = std::min(low, c.window);
        return low;
    };
    // Sixty blocks in flight unacknowledged, then an ack of the last: the other 59 count as lost.
    net_.phone(R"({"cmd":"chan_mode","ack":false})");
    write_pattern(1, 60 * ZTP_BLOCK_MAX);
    ASSERT_TRUE(phone_reaches(1, "rx", 60 * ZTP_BLOCK_MAX, std::chrono::seconds(5)));
    net_.phone(R"({"cmd":"chan_mode","ack":true})");
    net_.phone(R"({"cmd":"craft","kind":"drw_ack","ch":1,"indexes":[59]})");
    ASSERT_TRUE(zeltest::wait_until([&] { return lowest_window() < ZTP_WINDOW_MAX - 40; }, std::chrono::seconds(3)));
    const int lost = ZTP_WINDOW_MAX - lowest_window();
    int period;
    {
        std::lock_guard<std::mutex> g(ztp_gSessionLock);
        period = ztp_gSession[handle_].chan.send_period_ms;
    }
    // One block back every period: twice the periods that takes, and a second to spare.
    EXPECT_TRUE(zeltest::wait_until([&] { return lowest_window() == ZTP_WINDOW_MAX; },
                                    std::chrono::milliseconds(2 * lost * period + 1000)))
        << "still at " << lowest_window() << " after the loss of " << lost;
}

TEST_F(ZtpData, SixtyFourMebibytesWrapTheBlockIndexes)
{
    open_session();
    constexpr size_t kBytes = 64u << 20;
    std::thread writer([&] {
        Pattern p(1);
        for (size_t done = 0; done < kBytes;) {
            uint32_t unsent = 0;
            ZTP_Check_Buffer(handle_, 1, &unsent, nullptr);
            if (unsent > (4u << 20)) { // keep a few MiB queued, as a sender of frames does
                usleep(2000);
                continue;
            }
            const std::string data = p.next(256 * 1024);
            ASSERT_EQ(ZTP_Write(handle_, 1, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
            done += data.size();
        }
    });
    writer.join();
    EXPECT_TRUE(phone_reaches(1, "rx", static_cast<int64_t>(kBytes), std::chrono::seconds(120)));
    EXPECT_EQ(stat(1, "bad"), 0);
    EXPECT_EQ(stat(1, "expected"), 0); // 65536 blocks: the index came round to 0
}

TEST_F(ZtpData, ThirtyMebibytesWrittenAtOnceArriveAsTheWritesSay)
{
    open_session();
    constexpr size_t kBytes = 30u << 20;
    const std::string data = Pattern(1).next(kBytes);
    // As fast as the calls return: each takes what the channel can keep until the peer
    // acknowledges, and says how much that was.
    for (size_t taken = 0; taken < kBytes;) {
        const int want = static_cast<int>(std::min<size_t>(ZTP_WRITE_MAX, kBytes - taken));
        const int rc = ZTP_Write(handle_, 1, data.data() + taken, want);
        ASSERT_GE(rc, 0);
        ASSERT_LE(rc, want);
        taken += static_cast<size_t>(rc);
        if (rc == 0)
            usleep(5000);
    }
    // Every byte taken arrives: the stream never stops short of the end.
    for (int64_t rx = 0; rx < static_cast<int64_t>(kBytes);) {
        const int64_t before = rx;
        ASSERT_TRUE(zeltest::wait_until([&] { return (rx = stat(1, "rx")) > before; }, std::chrono::seconds(10)))
            << "the phone's stream stopped at " << rx;
    }
    EXPECT_EQ(stat(1, "bad"), 0);
}

TEST_F(ZtpData, WriteStagesTheRestOfABlockAndRefusesMoreThanTwoMebibytes)
{
    open_session();
    net_.phone(R"({"cmd":"chan_mode","ack":false})");
    const std::string data = Pattern(4).next(1500);
    // A sending pass that falls between the write and the look queues the staged rest as a short
    // block; on another channel the next try almost surely falls between two passes.
    uint8_t channel = 4;
    uint32_t unsent = 0;
    for (;; ++channel) {
        ASSERT_LT(channel, ZTP_CHANNELS) << "every try met a sending pass";
        ASSERT_EQ(ZTP_Write(handle_, channel, data.data(), 1500), 1500);
        ASSERT_EQ(ZTP_Check_Buffer(handle_, channel, &unsent, nullptr), 0);
        if (unsent != 1500)
            break;
    }
    EXPECT_EQ(unsent, 1024u); // the 476 staged bytes are not counted
    static char big[0x200001];
    EXPECT_EQ(ZTP_Write(handle_, 4, big, 0x200001), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Write(handle_, 8, big, 10), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(ZTP_Write(handle_, 4, big, 0), ERROR_ZTP_INVALID_PARAMETER);
    // Within a pass the staged rest goes out too.
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return ZTP_Check_Buffer(handle_, channel, &unsent, nullptr) == 0 && unsent == 1500; },
        std::chrono::seconds(2)));
}

TEST_F(ZtpData, ShortReadTimesOutWithWhatArrived)
{
    open_session();
    net_.phone(send_cmd(2, 100));
    uint32_t unread = 0;
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return ZTP_Check_Buffer(handle_, 2, nullptr, &unread) == 0 && unread == 100; }, std::chrono::seconds(5)));
    char buf[300];
    int size = 300;
    EXPECT_EQ(ZTP_Read(handle_, 2, buf, &size, 300), ERROR_ZTP_TIME_OUT);
    EXPECT_EQ(size, 100);
    size = 10;
    EXPECT_EQ(ZTP_Read(handle_, 8, buf, &size, 10), ERROR_ZTP_INVALID_PARAMETER);
    EXPECT_EQ(size, 0);
    size = 10;
    EXPECT_EQ(ZTP_Read(ZTP_DEFAULT_MAX_SESS, 1, buf, &size, 10), ERROR_ZTP_INVALID_SESSION_HANDLE);
}

TEST_F(ZtpData, LoginAgeIsShownOnlyWhileAListenRuns)
{
    init();
    EXPECT_EQ(std::string(ZTP_GetAPIInformation()).find("\"LastLoginAck\":"), std::string::npos);
    listen_logged_in();
    const std::string during = ZTP_GetAPIInformation();
    EXPECT_NE(during.find("\"LastLoginAck\":"), std::string::npos) << during;
    EXPECT_NE(during.find("\"NumRunningListen\":1"), std::string::npos) << during;
    EXPECT_EQ(during.front(), '{');
    EXPECT_EQ(during.substr(during.size() - 2), "\n}");
}

TEST_F(ZtpData, ConcurrentInformationCallersEachGetAWholeText)
{
    init();
    std::atomic<int> torn{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                const std::string text = ZTP_GetAPIInformation();
                if (text.find("\"Initialized\":\"Yes\"") == std::string::npos || text.back() != '}')
                    ++torn;
            }
        });
    for (auto &t : callers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
}

// ---- hostile peers ------------------------------------------------------------------------------

TEST_F(ZtpData, DataForChannelNineClosesTheSession)
{
    open_session();
    net_.phone(R"({"cmd":"craft","kind":"channel9"})");
    char buf[16];
    int size = 16;
    EXPECT_EQ(ZTP_Read(handle_, 0, buf, &size, 3000), ERROR_ZTP_SESSION_CLOSED_REMOTE);
    ztp_session_info info{};
    EXPECT_EQ(ZTP_Check(handle_, &info), ERROR_ZTP_SESSION_CLOSED_REMOTE);
}

TEST_F(ZtpData, OversizedBlockIsNeitherAcknowledgedNorKept)
{
    open_session();
    net_.phone(R"({"cmd":"craft","kind":"oversized","ch":3,"index":0})");
    usleep(200 * 1000);
    uint32_t unread = 1;
    ASSERT_EQ(ZTP_Check_Buffer(handle_, 3, nullptr, &unread), 0);
    EXPECT_EQ(unread, 0u);
    // The real block 0 follows and the stream is intact.
    net_.phone(send_cmd(3, 5000));
    EXPECT_EQ(read_pattern(3, 5000, std::chrono::seconds(5)), 5000u);
}

TEST_F(ZtpData, ShortAckAcknowledgesNothing)
{
    open_session();
    net_.phone(R"({"cmd":"chan_mode","ack":false})");
    write_pattern(6, 2048, 2048);
    usleep(200 * 1000);
    net_.phone(R"({"cmd":"craft","kind":"short_ack","ch":6,"index":0})");
    usleep(200 * 1000);
    uint32_t unsent = 0;
    ASSERT_EQ(ZTP_Check_Buffer(handle_, 6, &unsent, nullptr), 0);
    EXPECT_EQ(unsent, 2048u);
    ztp_session_info info{};
    EXPECT_EQ(ZTP_Check(handle_, &info), 0);
    net_.phone(R"({"cmd":"chan_mode","ack":true})");
    EXPECT_TRUE(zeltest::wait_until(
        [&] { return ZTP_Check_Buffer(handle_, 6, &unsent, nullptr) == 0 && unsent == 0; }, std::chrono::seconds(5)));
}

TEST_F(ZtpData, ChannelNobodyReadsStaysBoundedAndOthersFlow)
{
    open_session();
    net_.phone(send_cmd(5, 2u << 20));
    net_.phone(send_cmd(0, 64 * 1024));
    EXPECT_EQ(read_pattern(0, 64 * 1024, std::chrono::seconds(20)), 64u * 1024);
    usleep(500 * 1000);
    expect_unread_bounded_then_intact(5, 2u << 20);
}

TEST_F(ZtpData, FloodOfOneByteBlocksIsHeldToAFewBlocksWhileAnotherPhoneIsServed)
{
    open_session();
    // Phone 1 links a session of its own and floods the channels nobody reads.
    ListenRun second;
    const int since = net_.server_log_size();
    second.start(kDid, 60, 1);
    ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})", since));
    ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":2})", since));
    usleep(100 * 1000);
    net_.phone(R"({"cmd":"p2p_req","server":)" + json_addr(net_.ip(2), 32100) + R"(,"did":)" + kDidJson + "}", 1);
    const int hostile = second.wait(std::chrono::milliseconds(5000));
    ASSERT_GE(hostile, 0);
    constexpr int kBlocks = 4000;
    net_.phone(R"({"cmd":"chan_flood","ch":[4,5,6,7],"blocks":)" + std::to_string(kBlocks) + "}", 1);
    both_ways(kPerChannel / 4, std::chrono::seconds(30));
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return member_int(net_.phone(R"({"cmd":"chan_stats"})", 1).get(), "flooded") == 4 * kBlocks; },
        std::chrono::seconds(30)));
    usleep(200 * 1000); // the last of them reach the camera
    for (uint8_t c = 4; c < 8; ++c) {
        uint32_t unread = 0;
        ASSERT_EQ(ZTP_Check_Buffer(hostile, c, nullptr, &unread), 0);
        EXPECT_GT(unread, 0u) << "channel " << unsigned(c);
        EXPECT_LE(unread, static_cast<uint32_t>(ZTP_WAITING_BLOCKS_MAX)) << "channel " << unsigned(c); // a byte a block
    }
    EXPECT_EQ(ZTP_ForceClose(hostile), 0);
}

TEST_F(ZtpData, SilentPeerTimesOutAfterAboutFourSeconds)
{
    open_session();
    net_.phone(R"({"cmd":"chan_mode","silent":true})");
    const int64_t t0 = ztp_tick_ms();
    EXPECT_EQ(read_until_not_timeout(0, 100, std::chrono::seconds(15)), ERROR_ZTP_SESSION_CLOSED_TIMEOUT);
    const int64_t took = ztp_tick_ms() - t0;
    EXPECT_GE(took, 2500);
    EXPECT_LE(took, zeltest::scaled(std::chrono::milliseconds(9000)).count());
}

TEST_F(ZtpData, GapThatNeverFillsTimesTheReadOut)
{
    open_session();
    // Block 1 arrives, block 0 never does; the phone keeps answering, so only the gap ends it.
    net_.phone(R"({"cmd":"craft","kind":"drw","ch":2,"index":1})");
    const int64_t t0 = ztp_tick_ms();
    EXPECT_EQ(read_until_not_timeout(2, 500, std::chrono::seconds(20)), ERROR_ZTP_SESSION_CLOSED_TIMEOUT);
    EXPECT_GE(ztp_tick_ms() - t0, 5500); // the session's 6 alive seconds
}

TEST_F(ZtpData, RelayedSessionMovesToADirectPathAndKeepsItsStreams)
{
    open_session();
    ztp_session_info info{};
    ASSERT_EQ(ZTP_Check(handle_, &info), 0);
    ASSERT_EQ(info.mode, ZTP_MODE_RELAY);
    write_pattern(3, 32 * 1024);
    ASSERT_TRUE(phone_reaches(3, "rx", 32 * 1024, std::chrono::seconds(10)));
    net_.phone(R"({"cmd":"upgrade","ticket":"00112233445566778899aabbccddeeff"})");
    ASSERT_TRUE(zeltest::wait_until([&] { return ZTP_Check(handle_, &info) == 0 && info.mode == ZTP_MODE_RELAY_TO_P2P; },
                                    std::chrono::seconds(5)));
    EXPECT_NE(ntohs(info.remote_addr.sin_port), phone_port()); // the phone's second socket
    EXPECT_TRUE(net_.server_wait(R"({"type":251})"));
    write_pattern(3, 32 * 1024);
    EXPECT_TRUE(phone_reaches(3, "rx", 64 * 1024, std::chrono::seconds(10)));
    EXPECT_EQ(stat(3, "bad"), 0);
    net_.phone(send_cmd(4, 20000));
    EXPECT_EQ(read_pattern(4, 20000, std::chrono::seconds(10)), 20000u);
}

TEST_F(ZtpData, UpgradeWithAnotherTicketIsIgnored)
{
    open_session();
    net_.phone(R"({"cmd":"upgrade","ticket":"00112233445566778899aabbccddeeff"})");
    ztp_session_info info{};
    ASSERT_TRUE(zeltest::wait_until([&] { return ZTP_Check(handle_, &info) == 0 && info.mode == ZTP_MODE_RELAY_TO_P2P; },
                                    std::chrono::seconds(5)));
    // A second move, once moved, changes nothing.
    net_.phone(R"({"cmd":"upgrade","ticket":"ffeeddccbbaa99887766554433221100"})");
    usleep(300 * 1000);
    const sockaddr_in before = info.remote_addr;
    ASSERT_EQ(ZTP_Check(handle_, &info), 0);
    EXPECT_EQ(info.remote_addr.sin_port, before.sin_port);
}

// ---- packets and closing ------------------------------------------------------------------------

TEST_F(ZtpData, PacketsGoBothWays)
{
    open_session();
    EXPECT_EQ(ZTP_PktSend(handle_, 7, "ping", 4), 4);
    EXPECT_EQ(ZTP_PktSend(handle_, 7, "", 0), 0);
    char big[1241] = {};
    EXPECT_EQ(ZTP_PktSend(handle_, 7, big, 1241), ERROR_ZTP_INVALID_PARAMETER);
    ASSERT_TRUE(zeltest::wait_until(
        [&] { return std::string(json_object_to_json_string(stats().get())).find("70696e67") != std::string::npos; },
        std::chrono::seconds(3)));
    net_.phone(R"({"cmd":"psr","ch":7,"index":4,"hex":"706f6e67"})");
    net_.phone(R"({"cmd":"psr","ch":7,"index":2,"hex":"6f6c64"})"); // before the last: dropped
    char buf[2] = {};
    int size = 2;
    ASSERT_EQ(ZTP_PktRecv(handle_, 7, buf, &size, 3000), 0);
    EXPECT_EQ(std::string(buf, 2), "po"); // cut to the buffer
    size = 2;
    EXPECT_EQ(ZTP_PktRecv(handle_, 7, buf, &size, 300), ERROR_ZTP_TIME_OUT);
}

TEST_F(ZtpData, CloseSendsWhatIsQueuedAndTellsThePeer)
{
    open_session();
    write_pattern(1, 256 * 1024, 64 * 1024);
    EXPECT_EQ(ZTP_Close(handle_), 0);
    handle_ = -1;
    EXPECT_EQ(stat(1, "rx"), 256 * 1024);
    EXPECT_EQ(stat(1, "bad"), 0);
    EXPECT_TRUE(zeltest::wait_until([&] { return json_object_get_boolean(member(stats().get(), "closed")); },
                                    std::chrono::seconds(2)));
}

TEST_F(ZtpData, CloseAgainstAPeerThatNeverAcknowledgesEndsWithinTheAliveTime)
{
    open_session();
    net_.phone(R"({"cmd":"chan_mode","ack":false})");
    write_pattern(1, 64 * 1024);
    const int64_t t0 = ztp_tick_ms();
    EXPECT_EQ(ZTP_Close(handle_), 0);
    handle_ = -1;
    EXPECT_LE(ztp_tick_ms() - t0, zeltest::scaled(std::chrono::milliseconds(9000)).count());
    EXPECT_TRUE(zeltest::wait_until([&] { return json_object_get_boolean(member(stats().get(), "closed")); },
                                    std::chrono::seconds(2)));
}

// A reader waiting for a minute leaves as soon as a close starts, not once the close has waited
// out what the peer never acknowledges.
TEST_F(ZtpData, CloseWakesAReaderWaitingLong)
{
    open_session();
    net_.phone(R"({"cmd":"chan_mode","ack":false})");
    write_pattern(1, 64 * 1024);
    LongReader reader(handle_);
    const int64_t t0 = ztp_tick_ms();
    EXPECT_EQ(ZTP_Close(handle_), 0);
    const int64_t closed_at = ztp_tick_ms();
    reader.join();
    handle_ = -1;
    EXPECT_EQ(reader.rc(), ERROR_ZTP_SESSION_CLOSED_CALLED);
    EXPECT_GE(closed_at - t0, 3000); // the close waited for the acknowledgements
    EXPECT_LT(reader.left_at() - t0, 2000 * zeltest::time_scale());
}

TEST_F(ZtpData, ForceCloseDropsWhatIsUnsent)
{
    open_session();
    net_.phone(R"({"cmd":"chan_mode","ack":false})");
    write_pattern(1, 512 * 1024, 64 * 1024);
    const int64_t t0 = ztp_tick_ms();
    EXPECT_EQ(ZTP_ForceClose(handle_), 0);
    EXPECT_LE(ztp_tick_ms() - t0, zeltest::scaled(std::chrono::milliseconds(1000)).count());
    EXPECT_EQ(ZTP_ForceClose(handle_), ERROR_ZTP_INVALID_SESSION_HANDLE);
    handle_ = -1;
    EXPECT_TRUE(zeltest::wait_until([&] { return json_object_get_boolean(member(stats().get(), "closed")); },
                                    std::chrono::seconds(2)));
    EXPECT_LT(stat(1, "rx"), 512 * 1024);
}

TEST_F(ZtpData, OfTwoClosersOneCloses)
{
    open_session();
    write_pattern(1, 64 * 1024);
    std::atomic<int> ok{0}, refused{0};
    std::vector<std::thread> closers;
    for (int t = 0; t < 2; ++t)
        closers.emplace_back([&, t] {
            const int rc = t ? ZTP_Close(handle_) : ZTP_ForceClose(handle_);
            (rc == 0 ? ok : refused) += rc == 0 || rc == ERROR_ZTP_INVALID_SESSION_HANDLE;
        });
    for (auto &t : closers)
        t.join();
    handle_ = -1;
    EXPECT_EQ(ok.load(), 1);
    EXPECT_EQ(refused.load(), 1);
}

TEST_F(ZtpData, CloseRacingDeInitializeFreesOnce)
{
    open_session();
    net_.phone(R"({"cmd":"chan_mode","ack":false})");
    write_pattern(1, 64 * 1024);
    std::thread closer([&] {
        const int rc = ZTP_Close(handle_);
        EXPECT_TRUE(rc == 0 || rc == ERROR_ZTP_INVALID_SESSION_HANDLE || rc == ERROR_ZTP_NOT_INITIALIZED) << rc;
    });
    usleep(20 * 1000);
    EXPECT_EQ(ZTP_DeInitialize(), 0);
    closer.join();
    handle_ = -1;
}

// A reader that waits for a minute leaves as soon as the library de-initialises, and so does not
// hold the de-initialisation up.
TEST_F(ZtpData, DeInitializeWakesAReaderWaitingLong)
{
    open_session();
    LongReader reader(handle_);
    const int64_t t0 = ztp_tick_ms();
    EXPECT_EQ(ZTP_DeInitialize(), 0);
    reader.join();
    handle_ = -1;
    EXPECT_EQ(reader.rc(), ERROR_ZTP_NOT_INITIALIZED);
    EXPECT_LT(reader.left_at() - t0, zeltest::scaled(std::chrono::milliseconds(10000)).count());
}

// Readers inside ZTP_Read while a close frees the slot: each is woken and leaves with -14 (or
// finds the handle gone), and nothing touches the freed lists (ASan, TSan).
TEST_F(ZtpData, ReadersAndAWriterRaceAForcedClose)
{
    open_session();
    constexpr int rounds = 200;
    for (int r = 0; r < rounds; ++r) {
        if (r > 0) {
            run_ = std::make_unique<ListenRun>();
            run_->start(kDid, 60, 1);
            ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})", net_.server_log_size()));
            usleep(20 * 1000);
            relay_link();
            handle_ = run_->wait(std::chrono::milliseconds(5000));
            ASSERT_GE(handle_, 0) << "round " << r;
        }
        const int h = handle_;
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int c = 0; c < 3; ++c)
            threads.emplace_back([&, c] {
                char buf[2048];
                while (!stop) {
                    int size = sizeof buf;
                    const int rc = ZTP_Read(h, static_cast<uint8_t>(c), buf, &size, 50);
                    if (rc != ERROR_ZTP_TIME_OUT && rc != 0)
                        return;
                }
            });
        threads.emplace_back([&] {
            const std::string data(3000, 'w');
            while (!stop && ZTP_Write(h, 0, data.data(), 3000) == 3000)
                usleep(1000);
        });
        usleep(static_cast<useconds_t>(2000 + (r % 7) * 1000));
        // A close that drains, too: readers wait on while it sends.
        EXPECT_EQ(r % 2 ? ZTP_Close(h) : ZTP_ForceClose(h), 0) << "round " << r;
        handle_ = -1;
        stop = true;
        for (auto &t : threads)
            t.join();
        ListenRun *old = run_.release();
        delete old;
    }
}

} // namespace
} // namespace ztptest
