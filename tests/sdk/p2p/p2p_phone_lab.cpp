// The phone lab of the P2P service's session tests.
#include "p2p_phone_lab.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <string.h>

#include <mutex>

#include "app/p2p/ko_p2p.h"
#include "common/ipc/ko_message.h"

namespace p2ptest {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

namespace {

const uint8_t kToken[] = {0x5a, 0x4c, 0x4d, 0x52, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};

std::mutex g_rpc_lock;
std::vector<std::string> g_daemon_rpcs;

void on_daemon_rpc(const ko_message_arg *arg)
{
    std::lock_guard<std::mutex> g(g_rpc_lock);
    g_daemon_rpcs.emplace_back(static_cast<const char *>(arg->param), arg->len);
}

std::string str_member(json_object *o, const char *name)
{
    json_object *v = member(o, name);
    return v ? json_object_get_string(v) : "";
}

} // namespace

PhoneLab::PhoneLab() : net_(vasqtest::kCrcKey) {}

PhoneLab::~PhoneLab()
{
    phones_.clear();
    if (listening_)
        ko_message_unregister(KO_UID_RPC, "rpc.rpc");
}

void PhoneLab::identify(ko_sdk_info &info)
{
    strcpy(info.device_id, vasqtest::kDid);
    memcpy(info.token, kToken, sizeof kToken);
    info.token_len = sizeof kToken;
    {
        std::lock_guard<std::mutex> g(g_rpc_lock);
        g_daemon_rpcs.clear();
    }
    ASSERT_EQ(ko_message_listen(KO_UID_RPC, "rpc.rpc", on_daemon_rpc, nullptr), 0);
    listening_ = true;
}

void PhoneLab::answer_vendor_request()
{
    Json request;
    ASSERT_TRUE(zeltest::wait_until(
        [&] {
            std::lock_guard<std::mutex> g(g_rpc_lock);
            for (const std::string &t : g_daemon_rpcs)
                if (t.find("_sync.vasq_get_vendor") != std::string::npos)
                    request = Json(json_tokener_parse(t.c_str()));
            return request != nullptr;
        },
        10s));
    json_object *params = member(request.get(), "params");
    camera_public_ = str_member(params, "public_key");
    req_key_ = str_member(params, "req_key");
    ASSERT_EQ(camera_public_.size(), 64u);
    ASSERT_EQ(req_key_.size(), 32u);
    const std::string reply = R"({"id":)" + std::to_string(json_object_get_int(member(request.get(), "id"))) +
                              R"(,"result":)" + vendor_result(net_) + "}";
    ASSERT_EQ(ko_message_send(KO_UID_RPC, KO_UID_P2P, "rpc.ack", reply.c_str(), static_cast<uint32_t>(reply.size()),
                              KO_MSG_MODE_SYNC),
              0);
    ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})", 0, 10000)) << "the camera logs in";
}

bool PhoneLab::authorised(int index)
{
    while (phones_.size() <= static_cast<size_t>(index))
        phones_.push_back(std::make_unique<vasqtest::Phone>(net_, static_cast<int>(phones_.size())));
    vasqtest::Phone &p = *phones_[static_cast<size_t>(index)];
    const int online = online_count();
    const CameraKeys keys{vasqtest::kDid, zeltest::hex(kToken, sizeof kToken), camera_public_, req_key_};
    return link_and_authorise(p, keys) && zeltest::wait_until([&] { return online_count() > online; }, 10s);
}

int PhoneLab::online_count()
{
    ko_p2p_conn_info c{};
    ko_p2p_get_clients_conn_info(&c);
    return c.online;
}

void PhoneLab::command(int index, int code, const std::string &text)
{
    Json t(json_object_new_string(text.c_str()));
    phones_[static_cast<size_t>(index)]->command(R"({"cmd":"command","code":)" + std::to_string(code) + R"(,"text":)" +
                                                 json_object_to_json_string(t.get()) + R"(,"encrypted":true})");
}

std::vector<std::string> PhoneLab::replies(int index, int code)
{
    return phone_replies(*phones_[static_cast<size_t>(index)], code);
}

bool PhoneLab::wait_reply(int index, int code, size_t n)
{
    return zeltest::wait_until([&] { return replies(index, code).size() >= n; }, 10s);
}

std::vector<std::array<int64_t, 3>> PhoneLab::frames(int index)
{
    Json r = phones_[static_cast<size_t>(index)]->received();
    json_object *list = member(member(r.get(), "frames"), "2");
    std::vector<std::array<int64_t, 3>> out;
    for (size_t i = 0; list && i < json_object_array_length(list); i++) {
        json_object *f = json_object_array_get_idx(list, i);
        out.push_back({json_object_get_int64(json_object_array_get_idx(f, 0)),
                       json_object_get_int64(json_object_array_get_idx(f, 1)),
                       json_object_get_int64(json_object_array_get_idx(f, 2))});
    }
    return out;
}

} // namespace p2ptest
