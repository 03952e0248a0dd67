// The session lab: the service, the main-stream producer, the daemon's vendor answer and the phones.
#include "p2p_sessions.h"

#include <json-c/json.h>

#include "common/ipc/ko_message.h"
#include "common/ringbuffer/ko_ringbuffer.h"

namespace p2ptest {
namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

const uint8_t kToken[] = {0x5a, 0x4c, 0x4d, 0x52, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};

std::mutex g_lock;
std::vector<std::string> g_daemon_rpcs;

void on_daemon_rpc(const ko_message_arg *arg)
{
    std::lock_guard<std::mutex> g(g_lock);
    g_daemon_rpcs.emplace_back(static_cast<const char *>(arg->param), arg->len);
}

void no_audio_status(int, bool) {}

std::string str_member(json_object *o, const char *name)
{
    json_object *v = member(o, name);
    return v ? json_object_get_string(v) : "";
}

int64_t at(json_object *list, size_t i)
{
    return json_object_get_int64(json_object_array_get_idx(list, i));
}

} // namespace

std::vector<uint8_t> frame_payload(uint32_t seq)
{
    std::vector<uint8_t> b(3000 + seq % 500);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = static_cast<uint8_t>(seq * 13 + i);
    return b;
}

SessionTest::SessionTest() : net_(vasqtest::kCrcKey)
{
    param_.max_session = 2;
    param_.audio_status = no_audio_status;
}

SessionTest::~SessionTest() = default;

void SessionTest::SetUpTestSuite()
{
    ko_message_init(nullptr);
}

void SessionTest::TearDownTestSuite()
{
    ko_message_deinit();
}

void SessionTest::SetUp()
{
    P2pTest::SetUp();
    ko_p2p_test_use_session_ops(nullptr);
    strcpy(info_.device_id, vasqtest::kDid);
    memcpy(info_.token, kToken, sizeof kToken);
    info_.token_len = sizeof kToken;
    forget_daemon_rpcs();
    ASSERT_EQ(ko_message_listen(KO_UID_RPC, "rpc.rpc", on_daemon_rpc, nullptr), 0);
    ko_stream_chn_info &v = info_.stream_info[0];
    v.gop = kSessionGop;
    v.bitrate = 2000;
    v.seconds = 4;
    ASSERT_EQ(ringbuffer_init(&v), 0);
    producer_ = std::thread([this] {
        for (uint32_t seq = 1; !stop_.load(); seq++) {
            std::vector<uint8_t> b = frame_payload(seq);
            ko_av_frame f{};
            f.frame_type = seq % kSessionGop == 1 ? KO_FRAME_TYPE_I : KO_FRAME_TYPE_P;
            f.frame_tag = 2;
            f.data = b.data();
            f.size = static_cast<uint32_t>(b.size());
            ringbuffer_put_frame(0, &f);
            std::this_thread::sleep_for(50ms);
        }
    });
    ASSERT_EQ(ko_p2p_init(&param_), 0);
    ASSERT_NO_FATAL_FAILURE(answer_vendor_request());
}

void SessionTest::TearDown()
{
    ko_p2p_deinit();
    phones_.clear();
    stop_ = true;
    if (producer_.joinable())
        producer_.join();
    ringbuffer_free(0);
    ko_message_unregister(KO_UID_RPC, "rpc.rpc");
    P2pTest::TearDown();
}

std::vector<std::string> SessionTest::daemon_rpcs()
{
    std::lock_guard<std::mutex> g(g_lock);
    return g_daemon_rpcs;
}

void SessionTest::forget_daemon_rpcs()
{
    std::lock_guard<std::mutex> g(g_lock);
    g_daemon_rpcs.clear();
}

void SessionTest::answer_vendor_request()
{
    Json request;
    ASSERT_TRUE(zeltest::wait_until([&] {
        for (const std::string &t : daemon_rpcs())
            if (t.find("_sync.vasq_get_vendor") != std::string::npos)
                request = Json(json_tokener_parse(t.c_str()));
        return request != nullptr;
    }, 10s));
    json_object *params = member(request.get(), "params");
    camera_public_ = str_member(params, "public_key");
    req_key_ = str_member(params, "req_key");
    ASSERT_EQ(camera_public_.size(), 64u);
    ASSERT_EQ(req_key_.size(), 32u);
    const std::string reply = R"({"id":)" + std::to_string(json_object_get_int(member(request.get(), "id"))) +
                              R"(,"result":)" + vendor_result(net_) + "}";
    const int since = net_.server_log_size();
    ASSERT_EQ(ko_message_send(KO_UID_RPC, KO_UID_P2P, "rpc.ack", reply.c_str(), static_cast<uint32_t>(reply.size()),
                              KO_MSG_MODE_SYNC),
              0);
    ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})", since, 10000)) << "the camera logs in";
}

bool SessionTest::authorised(int index)
{
    while (phones_.size() <= static_cast<size_t>(index))
        phones_.push_back(std::make_unique<vasqtest::Phone>(net_, static_cast<int>(phones_.size())));
    vasqtest::Phone &p = phone_at(index);
    const int online = online_count();
    return link_and_authorise(p, camera_keys()) && zeltest::wait_until([&] { return online_count() > online; }, 10s);
}

CameraKeys SessionTest::camera_keys() const
{
    return {vasqtest::kDid, zeltest::hex(kToken, sizeof kToken), camera_public_, req_key_};
}

int SessionTest::online_count()
{
    ko_p2p_conn_info c{};
    ko_p2p_get_clients_conn_info(&c);
    return c.online;
}

void SessionTest::command(int index, int code, const std::string &text)
{
    Json t(json_object_new_string(text.c_str()));
    phone_at(index).command(R"({"cmd":"command","code":)" + std::to_string(code) + R"(,"text":)" +
                            json_object_to_json_string(t.get()) + R"(,"encrypted":true})");
}

std::vector<std::string> SessionTest::replies(int index, int code)
{
    return phone_replies(phone_at(index), code);
}

bool SessionTest::wait_reply(int index, int code, size_t n)
{
    return zeltest::wait_until([&] { return replies(index, code).size() >= n; }, 10s);
}

std::vector<GotFrame> SessionTest::frames(int index)
{
    Json r = phone_at(index).received();
    json_object *list = member(member(r.get(), "frames"), "2");
    std::vector<GotFrame> out;
    for (size_t i = 0; list && i < json_object_array_length(list); i++) {
        json_object *f = json_object_array_get_idx(list, i);
        out.push_back({at(f, 0), at(f, 1), at(f, 2), at(f, 4), json_object_get_double(json_object_array_get_idx(f, 5)),
                       static_cast<uint32_t>(at(f, 7))});
    }
    return out;
}

} // namespace p2ptest
