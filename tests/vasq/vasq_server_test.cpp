// The streaming server without a transport: its start and refusals, the vendor request, the
// authorisation signature, the daemon's wake-up and set-vendor messages, the vendor check's timing
// on the monotonic clock, the send refusals and the eight reports.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sodium.h>

#include <atomic>
#include <set>
#include <thread>
#include <string>

#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "vasq_crypto.h"
#include "vasq_test_helpers.h"
#include "vasq_errors.h"
#include "vasq_hooks_double.h"
#include "vasq_mem.h"
#include "vasq_vendor.h"
#include "peer_control.h"
#include "zel_test_support.h"

namespace {

using vasqtest::unhex;

using vasqhooks::Hooks;
using zeltest::Json;
using zeltest::member;

constexpr char kDid[] = "ABC-123-XYZ";
constexpr char kP2pKey[] = "00112233445566778899aabbccddeeff";
const uint8_t kToken[] = {0x5a, 0x4c, 0x4d, 0x52, 0x01, 0x02, 0x03, 0x04};

std::atomic<int64_t> g_tick_shift_us{0}, g_wall_shift_us{0};
uint64_t tick()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u +
           static_cast<uint64_t>(g_tick_shift_us.load());
}
uint64_t wall()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u +
           static_cast<uint64_t>(g_wall_shift_us.load());
}

std::string hex(const uint8_t *p, size_t n)
{
    return zeltest::hex(p, n);
}


std::string str_member(json_object *o, const char *name)
{
    json_object *v = member(o, name);
    return v ? json_object_get_string(v) : "<absent>";
}

class VasqServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        Hooks::get().clear();
        ko_time_set_tick_source(tick);
        ko_time_set_wall_source(wall);
    }
    void TearDown() override
    {
        for (vasq_session *s : sessions_)
            vasq_free(s);
        vasq_server_finish();
        ko_time_set_tick_source(nullptr);
        ko_time_set_wall_source(nullptr);
        g_tick_shift_us = 0;
        g_wall_shift_us = 0;
        Hooks::get().clear();
    }

    int init(int mode, int max = 2, int encrypt = 0)
    {
        return vasqtest::start_server(kDid, kToken, sizeof kToken, max, encrypt, mode);
    }
    vasq_server *server() { return vasq_server_get(); }

    // A session record as the adapter makes it, without a transport.
    vasq_session *session(int state)
    {
        auto *s = static_cast<vasq_session *>(vasq_malloc(sizeof(vasq_session)));
        s->server = server();
        s->state = state;
        s->handle = -1;
        s->vendor = VASQ_VENDOR_ZTP;
        s->first_frame = -1;
        s->send_video_size = s->send_audio_size = 0x80000;
        snprintf(s->did, sizeof s->did, "%s", kDid);
        snprintf(s->model, sizeof s->model, "zelmar.camera.c1");
        snprintf(s->sdk_type, sizeof s->sdk_type, "camera");
        pthread_mutex_init(&s->send_lock, nullptr);
        pthread_mutex_init(&s->handle_lock, nullptr);
        sessions_.push_back(s);
        return s;
    }

    // What a phone holding the credentials signs: the key from the did, the token, the p2p key XOR
    // the request key, and the server's public key.
    std::string sign(const std::string &phone_public_hex, const std::string &p2p_key = kP2pKey)
    {
        const auto p2p = unhex(p2p_key);
        uint8_t x[16];
        for (int i = 0; i < 16; i++)
            x[i] = p2p[static_cast<size_t>(i)] ^ server()->req_key[i];
        const std::string key = std::string(kDid) + "-" + hex(kToken, sizeof kToken) + "-" + hex(x, 16) + "-" +
                                hex(server()->public_key, 32);
        uint8_t mac[32];
        crypto_auth_hmacsha256_state st;
        crypto_auth_hmacsha256_init(&st, reinterpret_cast<const uint8_t *>(key.data()), key.size());
        crypto_auth_hmacsha256_update(&st, reinterpret_cast<const uint8_t *>(phone_public_hex.data()),
                                      phone_public_hex.size());
        crypto_auth_hmacsha256_final(&st, mac);
        return hex(mac, 32);
    }

    std::vector<vasq_session *> sessions_;
};

TEST_F(VasqServer, InitRefusesAbsentOrBadIdentity)
{
    vasq_server_config config{};
    config.max_sessions = 2;
    config.token = kToken;
    config.token_len = sizeof kToken;
    config.init_mode = 1;
    vasq_device_info info{"camera", kDid, "zelmar.camera.c1"};
    EXPECT_EQ(vasq_server_init(&info, nullptr), -1);
    EXPECT_EQ(vasq_server_init(nullptr, &config), -1);
    const std::string did64(64, 'd');
    for (vasq_device_info bad : {vasq_device_info{"camera", "", "m"}, vasq_device_info{"camera", nullptr, "m"},
                                 vasq_device_info{"camera", did64.c_str(), "m"}, vasq_device_info{"camera", kDid, ""}})
        EXPECT_EQ(vasq_server_init(&bad, &config), -1);
    config.token_len = 0;
    EXPECT_EQ(vasq_server_init(&info, &config), -1);
    EXPECT_EQ(server(), nullptr);
    config.token_len = sizeof kToken;
    ASSERT_EQ(vasq_server_init(&info, &config), 0);
    EXPECT_EQ(vasq_server_init(&info, &config), -1) << "one server per process";
    EXPECT_STREQ(server()->dev_name, "camera");
    EXPECT_EQ(server()->send_video_size, 0x80000);
    EXPECT_EQ(server()->recv_audio_size, 0x8000);
}

TEST_F(VasqServer, ModeZeroAsksForTheVendorAtOnceWithTheRequestKey)
{
    ASSERT_EQ(init(0), 0);
    const auto rpc = Hooks::get().calls("rpc");
    ASSERT_EQ(rpc.size(), 1u);
    EXPECT_EQ(rpc[0].method, "_sync.vasq_get_vendor");
    Json p(json_tokener_parse(rpc[0].data.c_str()));
    ASSERT_TRUE(p.get()) << rpc[0].data;
    EXPECT_EQ(str_member(p.get(), "public_key"), hex(server()->public_key, 32));
    EXPECT_EQ(str_member(p.get(), "req_key"), hex(server()->req_key, 16));
    EXPECT_EQ(str_member(p.get(), "token"), hex(kToken, sizeof kToken));
    EXPECT_EQ(str_member(p.get(), "support_vendors"), "ZTP");
    EXPECT_EQ(str_member(p.get(), "vasq_version"), "3.2.7.0");
    EXPECT_EQ(json_object_get_int(member(p.get(), "p2pkey_version")), 1);
    // A reply without a p2p key fails with 19, reported as a server error.
    const std::string reply = R"({"id":1,"result":{"vendor":4}})";
    EXPECT_EQ(vasq_rpc_process(rpc[0].context, reply.data(), static_cast<int>(reply.size())), VASQ_ERR_RPC_JSON_PARSE);
    ASSERT_EQ(Hooks::get().count("error"), 1u);
    EXPECT_EQ(Hooks::get().calls("error")[0].code, VASQ_ERR_RPC_JSON_PARSE);
}

TEST_F(VasqServer, RequestKeysAreRandomPerServer)
{
    ASSERT_EQ(init(1), 0);
    const std::string first = hex(server()->req_key, 16);
    vasq_server_finish();
    ASSERT_EQ(init(1), 0);
    EXPECT_NE(hex(server()->req_key, 16), first);
}

class Authorise : public VasqServer {
protected:
    void SetUp() override
    {
        VasqServer::SetUp();
        ASSERT_EQ(init(0), 0);
        snprintf(server()->p2p_key, sizeof server()->p2p_key, "%s", kP2pKey);
        crypto_box_keypair(phone_public_, phone_secret_);
        s_ = session(VASQ_STATE_INIT);
        for (const auto &c : Hooks::get().calls("rpc"))
            vasq_free(c.context);
        Hooks::get().clear();
    }
    int authorise(const std::string &pub, const std::string &sig)
    {
        return vasq_authorized(server(), s_, pub.c_str(), sig.c_str());
    }
    std::string phone_hex() { return hex(phone_public_, 32); }
    uint8_t phone_public_[32], phone_secret_[32];
    vasq_session *s_;
};

TEST_F(Authorise, ASignatureOverTheCredentialsGivesTheSharedKey)
{
    ASSERT_EQ(authorise(phone_hex(), sign(phone_hex())), 0);
    uint8_t expect[32];
    ASSERT_EQ(crypto_box_beforenm(expect, server()->public_key, phone_secret_), 0);
    EXPECT_EQ(hex(s_->shared_key, 32), hex(expect, 32));
    EXPECT_EQ(Hooks::get().count("rpc"), 0u);
}

TEST_F(Authorise, AWrongSignatureFailsAndAsksTheDaemonForAFreshKey)
{
    std::string sig = sign(phone_hex());
    sig[0] = sig[0] == '0' ? '1' : '0';
    EXPECT_EQ(authorise(phone_hex(), sig), -1);
    const auto rpc = Hooks::get().calls("rpc");
    ASSERT_EQ(rpc.size(), 1u);
    EXPECT_EQ(rpc[0].method, "_sync.vasq_get_vendor");
    EXPECT_NE(rpc[0].data.find("\"req_key\""), std::string::npos);
    vasq_free(rpc[0].context);
}

TEST_F(Authorise, RepeatedFailuresAskTheDaemonOneAtATimeAndSpaced)
{
    const std::string bad(64, 'a');
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(authorise(phone_hex(), bad), -1);
    auto rpc = Hooks::get().calls("rpc");
    ASSERT_EQ(rpc.size(), 1u) << "the daemon's ten pending requests stay free for the camera's own checks";
    g_tick_shift_us = 300ll * 1000000;
    EXPECT_EQ(authorise(phone_hex(), bad), -1);
    EXPECT_EQ(Hooks::get().count("rpc"), 1u) << "the first is not answered yet";
    EXPECT_EQ(vasq_rpc_process(rpc[0].context, nullptr, 0), 0) << "its time-out";
    EXPECT_EQ(authorise(phone_hex(), bad), -1);
    rpc = Hooks::get().calls("rpc");
    ASSERT_EQ(rpc.size(), 2u);
    EXPECT_EQ(authorise(phone_hex(), bad), -1);
    EXPECT_EQ(Hooks::get().count("rpc"), 2u);
    vasq_free(rpc[1].context);
}

TEST_F(Authorise, KeysAndSignaturesMustBeSixtyFourHexCharacters)
{
    const std::string pub = phone_hex();
    for (const std::string &bad : {pub.substr(0, 63), pub + "0", pub.substr(0, 63) + "x"})
        EXPECT_EQ(authorise(bad, sign(bad)), -1) << bad;
    const std::string sig = sign(pub);
    EXPECT_EQ(authorise(pub, sig.substr(0, 63)), -1);
    EXPECT_EQ(authorise(pub, sig + "0"), -1);
    for (const auto &c : Hooks::get().calls("rpc"))
        vasq_free(c.context);
}

TEST_F(Authorise, ALowOrderKeyIsRefusedThoughSigned)
{
    const std::string zero(64, '0');
    EXPECT_EQ(authorise(zero, sign(zero)), -1);
    for (const auto &c : Hooks::get().calls("rpc"))
        vasq_free(c.context);
}

TEST_F(Authorise, WithoutAP2pKeyNobodyCanSign)
{
    server()->p2p_key[0] = 0;
    // What a phone could sign without any credential: "-" and its own key's hex.
    const std::string pub = phone_hex();
    uint8_t mac[32];
    const std::string key = "-" + pub;
    crypto_auth_hmacsha256_state st;
    crypto_auth_hmacsha256_init(&st, reinterpret_cast<const uint8_t *>(key.data()), key.size());
    crypto_auth_hmacsha256_update(&st, reinterpret_cast<const uint8_t *>(pub.data()), pub.size());
    crypto_auth_hmacsha256_final(&st, mac);
    EXPECT_EQ(authorise(pub, hex(mac, 32)), -1);
    EXPECT_EQ(authorise(pub, sign(pub)), -1);
    for (const auto &c : Hooks::get().calls("rpc"))
        vasq_free(c.context);
}

TEST_F(VasqServer, SendsRefuseBadArgumentsAndUnauthorisedSessions)
{
    ASSERT_EQ(init(1), 0);
    vasq_session *s = session(VASQ_STATE_INIT);
    std::string big(1025, 'x');
    EXPECT_EQ(vasq_cmd_send(s, 258, big.data(), 1025), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(vasq_cmd_send(s, 258, "x", 1), VASQ_ERR_SESSION_HANDLE);
    EXPECT_EQ(vasq_cmd_send(nullptr, 258, "x", 1), VASQ_ERR_INVALID_ARG);
    std::string rdt(2049, 'r');
    EXPECT_EQ(vasq_rdt_send(s, rdt.data(), 2049), VASQ_ERR_INVALID_ARG);
    EXPECT_EQ(vasq_rdt_send(s, rdt.data(), 2048), VASQ_ERR_AUTHORIZED);
    vasq_frame_info h{};
    h.length = 10;
    EXPECT_EQ(vasq_video_send(s, &h, "0123456789"), VASQ_ERR_AUTHORIZED);
    EXPECT_EQ(vasq_video_send(s, nullptr, "0123456789"), VASQ_ERR_INVALID_ARG);
    s->send_video_size = 100;
    h.length = 37;
    EXPECT_EQ(vasq_video_send(s, &h, big.data()), VASQ_ERR_INVALID_ARG);
}

// Two sessions' senders on two threads, 100 000 frames each through the send path: every frame's
// nonce differs, and each decrypts under its session's key.
TEST_F(VasqServer, NoNonceRepeatsOverTwoSessionsSending)
{
    ASSERT_EQ(init(1), 0);
    constexpr int kFrames = 100000;
    std::vector<std::vector<uint64_t>> nonces(2);
    std::vector<std::thread> senders;
    for (int k = 0; k < 2; k++) {
        vasq_session *s = session(VASQ_STATE_NORMAL);
        s->video_ring = ring_buf_new(64 * 1024);
        pthread_mutex_init(&s->cond_lock, nullptr);
        pthread_cond_init(&s->send_cond, nullptr);
        randombytes_buf(s->shared_key, sizeof s->shared_key);
        senders.emplace_back([s, &out = nonces[static_cast<size_t>(k)]] {
            const char payload[100] = "frame";
            uint8_t got[200];
            for (int i = 0; i < kFrames; i++) {
                vasq_frame_info h{};
                h.length = sizeof payload;
                h.seq = static_cast<uint32_t>(i);
                h.flags = 2; // not a key frame: no report
                ASSERT_EQ(vasq_video_send(s, &h, payload), 0);
                vasq_frame_info sent{};
                ASSERT_EQ(ring_buf_get_frame(s->video_ring, &sent, got, sizeof got), 0);
                ASSERT_EQ(sent.length, sizeof payload + 8);
                uint64_t n;
                memcpy(&n, got, 8);
                out.push_back(n);
                if (i % 1000 == 0) {
                    crypto_stream_chacha20_xor(got + 8, got + 8, sizeof payload, got, s->shared_key);
                    ASSERT_EQ(memcmp(got + 8, payload, sizeof payload), 0);
                }
            }
        });
    }
    for (auto &t : senders)
        t.join();
    std::set<uint64_t> all;
    for (const auto &n : nonces)
        all.insert(n.begin(), n.end());
    EXPECT_EQ(all.size(), 2u * kFrames);
    for (vasq_session *s : sessions_)
        ring_buf_free(s->video_ring);
}

TEST_F(VasqServer, QueriesWithoutASession)
{
    EXPECT_EQ(vasq_session_query(nullptr, 0, nullptr), 0x030207);
    int v = 0;
    EXPECT_EQ(vasq_session_query(nullptr, 3, &v), 0);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(vasq_session_query(nullptr, 11, nullptr), VASQ_ERR_INVALID_ARG);
    ASSERT_EQ(init(1), 0);
    char did[64];
    EXPECT_EQ(vasq_session_query(session(4), 19, did), 0);
    EXPECT_STREQ(did, kDid);
}

std::string rpc_text(const std::string &method, const std::string &params)
{
    return R"({"id":77,"method":")" + method + R"(","params":)" + params + "}";
}

int process(const std::string &text)
{
    return vasq_rpc_process(nullptr, text.data(), static_cast<int>(text.size()));
}

TEST_F(VasqServer, AWakeUpWithEverySlotTakenIsAnsweredWithItsCode)
{
    ASSERT_EQ(init(1, 2), 0);
    server()->session_count = 2;
    EXPECT_EQ(process(rpc_text("_sync.vasq_wakeup", R"({"p2p_key":"00112233445566778899aabbccddeeff"})")),
              VASQ_ERROR_DEVICE_SESSION_MAX);
    server()->session_count = 0;
    const auto acks = Hooks::get().calls("ack");
    ASSERT_EQ(acks.size(), 1u);
    Json expect(json_tokener_parse(
        (R"({"id":77,"code":-4012003,"result":{"vendor":0,"public_key":")" + hex(server()->public_key, 32) +
         R"(","token":")" + hex(kToken, sizeof kToken) + R"(","support_vendors":"ZTP","req_key":")" +
         hex(server()->req_key, 16) + R"(","vasq_version":"3.2.7.0"}})")
            .c_str()));
    Json got(json_tokener_parse(acks[0].data.c_str()));
    ASSERT_TRUE(got.get()) << acks[0].data;
    EXPECT_TRUE(json_object_equal(expect.get(), got.get())) << acks[0].data;
}

TEST_F(VasqServer, AWakeUpWithoutItsParametersFailsWith19)
{
    ASSERT_EQ(init(1), 0);
    EXPECT_EQ(process(rpc_text("_sync.vasq_wakeup", R"({"recommendedVendor":4})")), VASQ_ERR_RPC_JSON_PARSE);
    EXPECT_EQ(process(rpc_text("_sync.vasq_wakeup", R"({"p2p_key":"00112233445566778899aabbccddeeff","recommendedVendor":4,"vendor_sy":{"vendor_params":{"p2p_id":"ABC"}}})")),
              VASQ_ERR_RPC_JSON_PARSE);
    const auto acks = Hooks::get().calls("ack");
    ASSERT_EQ(acks.size(), 2u);
    for (const auto &a : acks) {
        Json got(json_tokener_parse(a.data.c_str()));
        EXPECT_EQ(json_object_get_int(member(got.get(), "code")), -4012004);
    }
    EXPECT_EQ(process(R"({"id":1})"), VASQ_ERR_RPC_JSON_PARSE);
    EXPECT_EQ(process("not json"), VASQ_ERR_RPC_JSON_PARSE);
    EXPECT_EQ(vasq_rpc_process(nullptr, nullptr, 0), VASQ_ERR_RPC_JSON_PARSE);
}

TEST_F(VasqServer, AnUnforcedVendorChangeWithinAMinuteIsRefusedWhateverTheWallClock)
{
    ASSERT_EQ(init(1), 0);
    server()->last_change_s = vasq_tick_s();
    const std::string to3 = rpc_text("vasq.set_vendor", R"({"vendor":3,"force":0})");
    EXPECT_EQ(process(to3), VASQ_ERR_CHECK_VENDOR);
    g_wall_shift_us = -3600ll * 1000000; // the camera sets its clock back an hour
    EXPECT_EQ(process(to3), VASQ_ERR_CHECK_VENDOR);
    g_wall_shift_us = 3600ll * 1000000;
    EXPECT_EQ(process(to3), VASQ_ERR_CHECK_VENDOR);
    g_tick_shift_us = 61ll * 1000000;
    EXPECT_EQ(process(to3), VASQ_ERR_NOT_SUPPORT_VENDOR);
    // The same vendor unforced changes nothing.
    server()->vendor = 4;
    EXPECT_EQ(process(rpc_text("vasq.set_vendor", R"({"vendor":4})")), 0);
}

TEST_F(VasqServer, TheTimedVendorCheckRunsOnTheMonotonicClock)
{
    ASSERT_EQ(init(1), 0);
    vasq_server *sv = server();
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), -1);
    g_wall_shift_us = -3600ll * 1000000;
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), -1);
    g_wall_shift_us = static_cast<int64_t>(sv->vendor_check_interval_s + 10) * 1000000;
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), -1) << "the wall clock does not make it due";
    EXPECT_EQ(Hooks::get().count("rpc"), 0u);
    g_tick_shift_us = static_cast<int64_t>(sv->vendor_check_interval_s) * 1000000;
    ASSERT_EQ(vasq_vendor_check(sv, 0, 0), 0);
    const auto rpc = Hooks::get().calls("rpc");
    ASSERT_EQ(rpc.size(), 1u);
    EXPECT_EQ(rpc[0].data.find("req_key"), std::string::npos);
    // No answer: the retry comes a step later; a reply that fails grows the step; past the interval
    // the check is due at once.
    EXPECT_EQ(vasq_rpc_process(rpc[0].context, nullptr, 0), 0);
    EXPECT_EQ(sv->retry_count, 1);
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), -1);
    g_tick_shift_us += 61ll * 1000000;
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), 0);
    const auto again = Hooks::get().calls("rpc");
    ASSERT_EQ(again.size(), 2u);
    sv->retry_step_s = sv->vendor_check_interval_s;
    EXPECT_EQ(vasq_rpc_process(again[1].context, nullptr, 0), 0);
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), 0);
    for (const auto &c : Hooks::get().calls("rpc"))
        if (c.context != rpc[0].context && c.context != again[1].context)
            vasq_free(c.context);
}

TEST_F(VasqServer, NoTimedCheckWhileSessionsAreCountedOrJustAfterOne)
{
    ASSERT_EQ(init(1), 0);
    vasq_server *sv = server();
    g_tick_shift_us = static_cast<int64_t>(sv->vendor_check_interval_s + 1) * 1000000;
    sv->session_count = 1;
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), -1);
    sv->session_count = 0;
    sv->last_connect_s = vasq_tick_s() - 59;
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), -1);
    sv->last_connect_s = vasq_tick_s() - 60;
    EXPECT_EQ(vasq_vendor_check(sv, 0, 0), 0);
    vasq_free(Hooks::get().calls("rpc").at(0).context);
}

class Reports : public VasqServer {
protected:
    void SetUp() override
    {
        VasqServer::SetUp();
        ASSERT_EQ(init(1), 0);
        s_ = session(VASQ_STATE_NORMAL);
        s_->link_type = 1;
        s_->channel_id = 1700000000123ull;
        s_->connect_time_ms = 1700000000000ull;
        s_->accept_tick_ms = vexa_time_tick_ms() - 1000;
        vasq_report_set_net_type("wifi", 4);
        Hooks::get().clear();
    }
    void TearDown() override
    {
        vasq_report_set_net_type("unknown", 7);
        VasqServer::TearDown();
    }
    // The last report, parsed, and its list item.
    json_object *last(const char *list, Json &holder)
    {
        const auto r = Hooks::get().calls("report");
        if (r.empty())
            return nullptr;
        EXPECT_LE(r.back().data.size(), 1023u);
        holder = Json(json_tokener_parse(r.back().data.c_str()));
        EXPECT_TRUE(holder.get()) << r.back().data;
        json_object *head = member(holder.get(), "head");
        EXPECT_EQ(str_member(head, "did"), kDid);
        EXPECT_EQ(str_member(head, "version"), "3.2.7");
        json_object *l = member(holder.get(), list);
        return l ? json_object_array_get_idx(l, 0) : nullptr;
    }
    vasq_session *s_;
};

TEST_F(Reports, EveryReportParsesWithItsMembers)
{
    Json j;
    ASSERT_EQ(vasq_report_connection(s_, 0), 0);
    json_object *c = last("cameraConnections", j);
    ASSERT_TRUE(c);
    EXPECT_GE(json_object_get_int64(member(c, "cost")), 1000);
    EXPECT_EQ(json_object_get_int(member(c, "suspicious")), 0);
    json_object *common = member(c, "common");
    EXPECT_EQ(str_member(common, "linkType"), "p2p");
    EXPECT_EQ(json_object_get_int64(member(common, "channelId")), 1700000000123ll);
    EXPECT_EQ(json_object_get_int64(member(common, "createTime")), 1700000000000ll);
    EXPECT_EQ(str_member(common, "netType"), "wifi");
    EXPECT_EQ(json_object_get_int(member(common, "supportRP2P")), 1);

    s_->video_start_ms = vexa_time_tick_ms() - 500;
    vasq_first_frame(s_, 0x1);
    json_object *full = last("camerafulltime", j);
    ASSERT_TRUE(full);
    EXPECT_TRUE(member(full, "cost_rpc"));
    ASSERT_GE(Hooks::get().count("report"), 3u);
    Json first(json_tokener_parse(Hooks::get().calls("report")[1].data.c_str()));
    ASSERT_TRUE(member(first.get(), "firstFrames"));
    vasq_first_frame(s_, 0x1);
    EXPECT_EQ(Hooks::get().count("report"), 3u) << "only the first key frame";

    ASSERT_EQ(vasq_report_command(s_, 262, "{\"a\":1}", 7), 0);
    json_object *cmd = last("cmdInfo", j);
    ASSERT_TRUE(cmd);
    EXPECT_EQ(str_member(cmd, "param"), "{\"a\":1}");
    EXPECT_TRUE(member(j.get(), "common"));

    ASSERT_EQ(vasq_report_disconnection(s_, 37), 0);
    json_object *d = last("cameraDisconnections", j);
    ASSERT_TRUE(d);
    EXPECT_EQ(json_object_get_int(member(d, "code")), 37);
    EXPECT_TRUE(member(d, "link_cnt"));

    ASSERT_EQ(vasq_report_error(server(), nullptr, 18), 0);
    json_object *e = last("errors", j);
    ASSERT_TRUE(e);
    EXPECT_EQ(json_object_get_int(member(e, "errorCode")), 18);
    EXPECT_EQ(str_member(member(e, "common"), "linkType"), "unknown");
    EXPECT_EQ(json_object_get_int64(member(member(e, "common"), "createTime")), 0);

    vasq_frame_stats f{25, 2, 123456, 60000, 50, 1, 4000, 3};
    ASSERT_EQ(vasq_statistics_set(s_, 1, &f, sizeof f), 0);
    json_object *fr = last("frames", j);
    ASSERT_TRUE(fr);
    EXPECT_EQ(json_object_get_int(member(fr, "frameCount")), 25);
    EXPECT_EQ(json_object_get_int64(member(fr, "byteSize")), 123456);
    EXPECT_EQ(json_object_get_int(member(fr, "autoSwitchTimes")), 3);

    server()->net_info.internet_ok = 1;
    server()->net_info.nat_type = 4;
    ASSERT_EQ(vasq_report_login_status(server(), 0), 0);
    last("none", j);
    json_object *net = member(j.get(), "networkInfo");
    EXPECT_EQ(str_member(net, "bInternet"), "OK");
    EXPECT_EQ(str_member(net, "bServerAck"), "NO");
    EXPECT_EQ(str_member(net, "natType"), "unexpected");
}

TEST_F(Reports, AFirstFrameSeventySecondsAfterTheStartIsSuspicious)
{
    s_->connect_cost_ms = 1000;
    s_->rpc_cost_ms = 1000;
    s_->video_start_ms = vexa_time_tick_ms() - 70000;
    vasq_first_frame(s_, 0x1);
    Json j;
    json_object *full = last("camerafulltime", j);
    ASSERT_TRUE(full);
    EXPECT_EQ(json_object_get_int(member(full, "suspicious")), 1);
    EXPECT_GE(json_object_get_int64(member(full, "cost")), 72000);
}

TEST_F(Reports, LinkTypeSevenIsUnexpected)
{
    s_->link_type = 7;
    ASSERT_EQ(vasq_report_error(server(), s_, 29), 0);
    Json j;
    EXPECT_EQ(str_member(member(last("errors", j), "common"), "linkType"), "unexpected");
}

TEST_F(Reports, ALongParameterWithQuotesIsCutAndStaysValid)
{
    std::string param;
    while (param.size() < 2000)
        param += "\"}],\\\n\x01é";
    ASSERT_EQ(vasq_report_command(s_, 260, param.data(), static_cast<int>(param.size())), 0);
    Json j;
    json_object *cmd = last("cmdInfo", j);
    ASSERT_TRUE(cmd);
    const std::string kept = str_member(cmd, "param");
    EXPECT_GT(kept.size(), 100u);
    EXPECT_EQ(param.compare(0, kept.size(), kept), 0) << "a prefix of the parameter";
}

TEST_F(Reports, AFailedSendIsMinusOne)
{
    Hooks::get().statistics_result = -1;
    EXPECT_EQ(vasq_report_error(server(), s_, 29), -1);
    EXPECT_EQ(vasq_statistics_set(s_, 9, "x", 1), -1);
    EXPECT_EQ(vasq_statistics_set(s_, 2, "a-very-long-net-type", 20), 0);
}

} // namespace
