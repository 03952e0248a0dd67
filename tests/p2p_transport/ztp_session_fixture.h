// What the channel tests share: a ready session with test phone 0 through the relay (ztp_relay.py)
// that the phone asks the servers for, straight or with the impairing proxy (udp_impair.py)
// between the camera and the relay.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "ztp_listen_fixture.h"
#include "ztp_pattern.h"
#include "ztp_state.h"

namespace ztptest {

inline std::string send_cmd(int channel, size_t n, int rate = 0)
{
    return R"({"cmd":"chan_send","ch":)" + std::to_string(channel) + R"(,"bytes":)" + std::to_string(n) +
           R"(,"rate":)" + std::to_string(rate) + "}";
}

struct Impairment {
    double loss = 0, reorder = 0, dup = 0;
    int delay_ms = 0;
    int seed = 1;
};

class ZtpSession : public ZtpNet {
protected:
    void TearDown() override
    {
        if (handle_ >= 0)
            ZTP_ForceClose(handle_);
        handle_ = -1;
        ZtpNet::TearDown();
        proxy_ctl_.reset();
        proxy_.reset();
    }
    int phone_port() { return member_int(net_.phone(R"({"cmd":"state"})").get(), "port"); }
    // Starts the proxy in front of the relay: its port.
    int start_proxy(const Impairment &im)
    {
        const std::string ctl = net_.root().path("/tmp/impair.ctl");
        proxy_ = std::make_unique<zeltest::ChildProcess>(
            zeltest::python_peer("udp_impair.py",
                                 {"--host", net_.ip(9), "--phone", net_.ip(5) + ":" + std::to_string(relay_port()),
                                  "--control", ctl, "--seed", std::to_string(im.seed), "--loss",
                                  std::to_string(im.loss), "--reorder", std::to_string(im.reorder), "--dup",
                                  std::to_string(im.dup), "--delay-ms", std::to_string(im.delay_ms)}),
            std::vector<std::string>{}, net_.root().path("/tmp/impair.log"));
        proxy_ctl_ = std::make_unique<zeltest::PeerControl>(ctl, "udp_impair.py");
        return member_int(proxy_ctl_->command(R"({"cmd":"state"})").get(), "port");
    }
    Json proxy(const std::string &json) { return proxy_ctl_->command(json); }
    // The UDP relay's port, the relay started at the first call.
    int relay_port()
    {
        if (relay_port_ == 0) {
            relay_port_ = zeltest::free_udp_port();
            net_.start_relay({"--udp-port", std::to_string(relay_port_)});
        }
        return relay_port_;
    }
    // Phone `which` asks server 0 for a relay and links through it; the camera reaches the relay at
    // `camera_side` when given (the proxy), as the servers tell it.
    void relay_link(int which = 0, const std::string &camera_side = "null")
    {
        script(R"("relays":[)" + json_addr(net_.ip(5), relay_port()) + R"(],"relay_for_camera":)" + camera_side, 0);
        net_.phone(R"({"cmd":"relay_req","server":)" + json_addr(net_.ip(2), 32100) + R"(,"did":)" + kDidJson + "}",
                   which);
    }
    // A ready session in mode 1 with phone 0, through the proxy when `im` is given.
    void open_session(const Impairment *im = nullptr, const std::string &init_text = "")
    {
        if (init_text.empty())
            init();
        else
            ASSERT_EQ(ZTP_Initialize(init_text.c_str()), 0);
        const std::string camera_side = im ? json_addr(net_.ip(9), start_proxy(*im)) : "null";
        listen_logged_in();
        relay_link(0, camera_side);
        handle_ = run_->wait(std::chrono::milliseconds(5000));
        ASSERT_GE(handle_, 0);
    }
    // A direct session on a LAN TCP link with phone 0.
    void open_lan_session()
    {
        init();
        listen_logged_in();
        net_.phone(R"({"cmd":"lan_search","tcp":true,"to":)" + json_addr("127.0.0.1", net_.lan_port()) + "}");
        handle_ = run_->wait(std::chrono::milliseconds(5000));
        ASSERT_GE(handle_, 0);
        ASSERT_TRUE(zeltest::wait_until(
            [&] { return json_object_get_boolean(member(net_.phone(R"({"cmd":"state"})").get(), "tcp_ready")); },
            std::chrono::milliseconds(3000)));
    }
    // A session through the TCP relay, whose far end sends back what each channel carries.
    void open_tcp_relay_session()
    {
        const int relay_port = zeltest::free_tcp_port();
        net_.start_relay({"--port", std::to_string(relay_port), "--mode", "ok", "--echo"});
        init();
        listen_logged_in(2);
        server_send(R"("msg":"tcp_rs_start","ticket":80,"relay":)" + json_addr(net_.ip(5), relay_port));
        handle_ = run_->wait(std::chrono::milliseconds(5000));
        ASSERT_GE(handle_, 0);
    }
    // Pattern both ways on every channel: the camera's writes checked by the phone, the phone's
    // sends checked by the camera's readers.
    void both_ways(size_t n, std::chrono::milliseconds timeout)
    {
        for (int c = 0; c < 8; ++c)
            net_.phone(send_cmd(c, n));
        std::atomic<int> good{0};
        std::vector<std::thread> readers;
        for (int c = 0; c < 8; ++c)
            readers.emplace_back([&, c] { good += read_pattern(c, n, timeout) == n; });
        for (int c = 0; c < 8; ++c)
            write_pattern(c, n);
        for (auto &t : readers)
            t.join();
        EXPECT_EQ(good.load(), 8) << "a channel from the phone lost or changed bytes";
        for (int c = 0; c < 8; ++c) {
            EXPECT_TRUE(phone_reaches(c, "rx", static_cast<int64_t>(n), timeout)) << "channel " << c;
            EXPECT_EQ(stat(c, "bad"), 0) << "channel " << c;
        }
    }
    // ZTP_Read on `channel` in `step_ms` reads until it ends otherwise than by its time-out, at most
    // `limit` (stretched): its last result.
    int read_until_not_timeout(int channel, unsigned step_ms, std::chrono::milliseconds limit)
    {
        const int64_t t0 = ztp_tick_ms();
        char buf[16];
        int rc = ERROR_ZTP_TIME_OUT;
        while (rc == ERROR_ZTP_TIME_OUT && ztp_tick_ms() - t0 < zeltest::scaled(limit).count()) {
            int size = sizeof buf;
            rc = ZTP_Read(handle_, static_cast<uint8_t>(channel), buf, &size, step_ms);
        }
        return rc;
    }
    // After the phone has sent `n` bytes on a channel nobody reads: what waits stays within the
    // channel's limit, and reading it later gets the whole stream.
    void expect_unread_bounded_then_intact(int channel, size_t n)
    {
        uint32_t unread = 0;
        ASSERT_EQ(ZTP_Check_Buffer(handle_, static_cast<uint8_t>(channel), nullptr, &unread), 0);
        EXPECT_GT(unread, 0u);
        EXPECT_LE(unread, static_cast<uint32_t>(ZTP_WAITING_MAX + ZTP_BLOCK_MAX));
        EXPECT_EQ(read_pattern(channel, n, std::chrono::seconds(60)), n);
    }
    Json stats() { return net_.phone(R"({"cmd":"chan_stats"})"); }
    // Per-channel member of the phone's statistics.
    int64_t stat(int channel, const char *key)
    {
        Json s = stats();
        json_object *chs = member(s.get(), "ch");
        if (!json_object_is_type(chs, json_type_array))
            return -1; // no session on the phone's side yet
        return json_object_get_int64(member(json_object_array_get_idx(chs, static_cast<size_t>(channel)), key));
    }
    // Writes the next n pattern bytes of `channel` in pieces of up to `piece`.
    void write_pattern(int channel, size_t n, size_t piece = 3000)
    {
        Pattern &p = out_[static_cast<size_t>(channel)];
        for (size_t done = 0; done < n;) {
            const size_t k = std::min(piece, n - done);
            const std::string data = p.next(k);
            ASSERT_EQ(ZTP_Write(handle_, static_cast<uint8_t>(channel), data.data(), static_cast<int>(k)),
                      static_cast<int>(k));
            done += k;
        }
    }
    // Reads and checks n pattern bytes on `channel` within `timeout`: the bytes that were right.
    uint64_t read_pattern(int channel, size_t n, std::chrono::milliseconds timeout)
    {
        PatternCheck check(channel);
        const int64_t end = ztp_tick_ms() + zeltest::scaled(timeout).count();
        std::vector<char> buf(4096);
        while (check.total() < n && ztp_tick_ms() < end) {
            int size = static_cast<int>(std::min<size_t>(buf.size(), n - check.total()));
            const int rc = ZTP_Read(handle_, static_cast<uint8_t>(channel), buf.data(), &size, 200);
            if (rc != 0 && rc != ERROR_ZTP_TIME_OUT)
                break;
            check.feed(buf.data(), static_cast<size_t>(size));
        }
        return check.bad() == 0 ? check.total() : 0;
    }
    // Waits until the phone's statistics show `key` of `channel` at least `value`.
    bool phone_reaches(int channel, const char *key, int64_t value, std::chrono::milliseconds timeout)
    {
        return zeltest::wait_until([&] { return stat(channel, key) >= value; }, timeout);
    }

    int handle_ = -1;
    int relay_port_ = 0;
    std::vector<Pattern> out_{Pattern(0), Pattern(1), Pattern(2), Pattern(3),
                              Pattern(4), Pattern(5), Pattern(6), Pattern(7)};
    std::unique_ptr<zeltest::ChildProcess> proxy_;
    std::unique_ptr<zeltest::PeerControl> proxy_ctl_;
};

} // namespace ztptest
