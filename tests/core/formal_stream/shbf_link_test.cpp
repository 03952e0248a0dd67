// The shared-buffer link: frames arrive whole with their flags and time stamps, messages go back,
// a receiver that never reads costs the broadcaster nothing but its own lost frames (event 4), and a
// hostile broadcaster (huge length, cut frame, junk) is dropped and retried each second.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shbf.h"
#include "shbf_loop.h"
#include "shbf_wire.h"
#include "zel_test_support.h"

using namespace std::chrono_literals;

namespace {

struct Inbox {
    std::mutex m;
    std::vector<std::string> frames; // "<ts>/<key>/<bytes>"
    std::atomic<int> starts{0}, closes{0};
    size_t size()
    {
        std::lock_guard<std::mutex> g(m);
        return frames.size();
    }
};

void on_rcv(shbfev_rcv_t *, int event, shbf_frame_t *f, void *user)
{
    auto *in = static_cast<Inbox *>(user);
    if (event == SHBF_RCV_START)
        in->starts++;
    if (event == SHBF_RCV_CLOSE)
        in->closes++;
    if (!f)
        return;
    std::lock_guard<std::mutex> g(in->m);
    in->frames.push_back(std::to_string(f->timestamp) + "/" + std::to_string(f->key) + "/" +
                         std::string(reinterpret_cast<char *>(f->data), f->length));
    shbf_free(f);
}

shbfev_rcv_t *receiver(LoopThread &lt, const std::string &path, Inbox *in)
{
    return lt.run([&] {
        shbfev_rcv_t *r = shbfev_rcv_create(lt.loop(), path.c_str());
        for (int e = 0; e < 4; e++)
            shbfev_rcv_event(r, e, on_rcv, in);
        shbfev_rcv_start(r);
        return r;
    });
}

struct Messages {
    std::mutex m;
    std::vector<std::string> got;
    std::atomic<int> receivers{0}, lagging{0};
    size_t size()
    {
        std::lock_guard<std::mutex> g(m);
        return got.size();
    }
};

int on_brd(shbfev_brd_t *, int event, int, int err, const void *data, int len, void *user)
{
    auto *ms = static_cast<Messages *>(user);
    if (event == SHBF_BRD_NEW_RECEIVER)
        ms->receivers++;
    if (event == SHBF_BRD_RECEIVER_ERROR && err == EAGAIN)
        ms->lagging++;
    if (event == SHBF_BRD_MESSAGE) {
        std::lock_guard<std::mutex> g(ms->m);
        ms->got.emplace_back(static_cast<const char *>(data), static_cast<size_t>(len));
    }
    return 0;
}

shbfev_brd_t *broadcaster(LoopThread &lt, const std::string &path, Messages *ms)
{
    return lt.run([&] {
        shbfev_brd_t *b = shbfev_brd_create(path.c_str());
        for (int e = 1; e <= 5; e++)
            shbfev_brd_event(b, e, on_brd, ms);
        EXPECT_EQ(shbfev_brd_start(lt.loop(), b), 0);
        return b;
    });
}

int send_frame(shbfev_brd_t *b, const std::string &bytes, uint64_t ts, int key)
{
    auto *f = static_cast<shbf_frame_t *>(shbfev_brd_alloc(b, static_cast<int>(bytes.size())));
    memcpy(f->data, bytes.data(), bytes.size());
    f->timestamp = ts;
    f->key = key;
    int rc = shbfev_brd_broadcast(b, f);
    if (rc != 0)
        shbf_free(f);
    return rc;
}

TEST(ShbfWire, ParserRefusesALengthAboveItsLimitBeforeAllocating)
{
    shbf::Parser p(100);
    uint8_t h[16];
    shbf_wire_put_header(h, 0xFFFFFFFFu, 1, 5);
    int sunk = 0;
    EXPECT_EQ(p.feed(h, 16, [](shbf_frame_t *f, void *c) { shbf_free(f); ++*static_cast<int *>(c); }, &sunk), -1);
    p.reset();
    shbf_wire_put_header(h, 3, SHBF_FLAG_KEY, 0x1122334455667788ull);
    std::vector<uint8_t> stream(h, h + 16);
    stream.insert(stream.end(), {'a', 'b', 'c'});
    shbf_wire_put_header(h, 0, 0, 9);
    stream.insert(stream.end(), h, h + 16);
    std::vector<std::string> got;
    for (uint8_t byte : stream) // one byte at a time: frames are cut anywhere on a stream socket
        ASSERT_EQ(p.feed(&byte, 1,
                         [](shbf_frame_t *f, void *c) {
                             static_cast<std::vector<std::string> *>(c)->push_back(
                                 std::to_string(f->timestamp) + "/" + std::to_string(f->key) + "/" +
                                 std::string(reinterpret_cast<char *>(f->data), f->length));
                             shbf_free(f);
                         },
                         &got),
                  0);
    EXPECT_EQ(got, (std::vector<std::string>{"1234605616436508552/1/abc", "9/0/"}));
}

TEST(ShbfLink, FramesArriveWholeAndMessagesGoBack)
{
    zeltest::TempRoot root;
    LoopThread lt;
    Messages ms;
    Inbox in;
    std::string path = root.path("/run/video_mainstream");
    shbfev_brd_t *b = broadcaster(lt, path, &ms);
    EXPECT_EQ(send_frame(b, "nobody", 1, 0), -ENOTCONN);
    shbfev_rcv_t *r = receiver(lt, path, &in);
    ASSERT_TRUE(zeltest::wait_until([&] { return shbfev_brd_receivers(b) == 1 && in.starts == 1; }, 2s));
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 31);
    ASSERT_EQ(send_frame(b, "first", 1000, 1), 0);
    ASSERT_EQ(send_frame(b, big, 1040, 0), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return in.size() == 2; }, 2s));
    EXPECT_EQ(in.frames[0], "1000/1/first");
    EXPECT_EQ(in.frames[1], "1040/0/" + big);
    EXPECT_EQ(shbfev_rcv_send_message(r, "REQ_IDR", 7), 0);
    ASSERT_TRUE(zeltest::wait_until([&] { return ms.size() == 1; }, 2s));
    EXPECT_EQ(ms.got[0], "REQ_IDR");
    lt.run([&] {
        shbfev_rcv_destroy(r);
        shbfev_brd_destroy(b);
        return 0;
    });
}

TEST(ShbfLink, ReceiverThatNeverReadsNeverStallsTheBroadcaster)
{
    zeltest::TempRoot root;
    LoopThread lt;
    Messages ms;
    std::string path = root.path("/run/video_mainstream");
    shbfev_brd_t *b = broadcaster(lt, path, &ms);
    int stalled = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    Inbox in;
    shbfev_rcv_t *r = receiver(lt, path, &in);
    ASSERT_TRUE(zeltest::wait_until([&] { return shbfev_brd_receivers(b) == 2; }, 2s));
    std::string frame(150000, 'f');
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 200; i++) { // 30 MB, far beyond what the stalled socket and its queue take
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(send_frame(b, frame, i, 0), 0);
        slowest = std::max(slowest, std::chrono::steady_clock::now() - t0);
        std::this_thread::sleep_for(5ms); // at a pace the reading receiver keeps up with
    }
    EXPECT_LT(slowest, zeltest::scaled(50ms));
    ASSERT_TRUE(zeltest::wait_until([&] { return in.size() == 200; }, 10s)) << in.size(); // the reader lost none
    EXPECT_TRUE(zeltest::wait_until([&] { return ms.lagging.load() >= 1; }, 2s));
    close(stalled);
    ASSERT_TRUE(zeltest::wait_until([&] { return shbfev_brd_receivers(b) == 1; }, 2s));
    lt.run([&] {
        shbfev_rcv_destroy(r);
        shbfev_brd_destroy(b);
        return 0;
    });
}

class ShbfHostile : public ::testing::TestWithParam<const char *> {};

TEST_P(ShbfHostile, BadBroadcasterIsDroppedAndTheNextOneServes)
{
    zeltest::TempRoot root;
    std::string path = root.path("/run/video_mainstream");
    zeltest::ChildProcess peer(zeltest::python_peer("shbf_peer.py", {path, GetParam()}));
    ASSERT_TRUE(zeltest::wait_until([&] { return root.exists("/run/video_mainstream"); }, 5s));
    LoopThread lt;
    Inbox in;
    shbfev_rcv_t *r = receiver(lt, path, &in);
    lt.run([&] { return shbf_set_size(r, 0x80000); });
    // The first link is hostile and closes; a second second brings a good one with one frame.
    ASSERT_TRUE(zeltest::wait_until([&] { return in.size() >= 1; }, 8s));
    EXPECT_GE(in.closes.load(), 1);
    EXPECT_EQ(in.frames[0], "77/1/good frame");
    lt.run([&] {
        shbfev_rcv_destroy(r);
        return 0;
    });
}

INSTANTIATE_TEST_SUITE_P(Modes, ShbfHostile, ::testing::Values("huge", "oversize", "cut", "junk"));

} // namespace
