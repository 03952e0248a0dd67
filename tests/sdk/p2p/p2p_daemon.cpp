// The daemon's side of the P2P service's start.
#include "p2p_daemon.h"

#include <json-c/json.h>

#include <mutex>

#include "common/ipc/ko_message.h"

namespace p2ptest {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

namespace {

// What the service sent to "rpc.rpc", in order.
std::mutex g_rpc_lock;
std::vector<std::string> g_rpc_texts;

void on_daemon_rpc(const ko_message_arg *arg)
{
    std::lock_guard<std::mutex> g(g_rpc_lock);
    g_rpc_texts.emplace_back(static_cast<const char *>(arg->param), arg->len);
}

} // namespace

int daemon_listen()
{
    forget_daemon_rpcs();
    return ko_message_listen(KO_UID_RPC, "rpc.rpc", on_daemon_rpc, nullptr);
}

void daemon_unlisten()
{
    ko_message_unregister(KO_UID_RPC, "rpc.rpc");
}

std::vector<std::string> daemon_rpcs()
{
    std::lock_guard<std::mutex> g(g_rpc_lock);
    return g_rpc_texts;
}

void forget_daemon_rpcs()
{
    std::lock_guard<std::mutex> g(g_rpc_lock);
    g_rpc_texts.clear();
}

std::string answer_vendor_request(ztptest::Loopback &net, CameraKeys &keys)
{
    Json request;
    zeltest::wait_until([&] {
        for (const std::string &t : daemon_rpcs())
            if (t.find("_sync.vasq_get_vendor") != std::string::npos)
                request = Json(json_tokener_parse(t.c_str()));
        return request != nullptr;
    }, 10s);
    if (!request)
        return "no vendor request";
    json_object *params = member(request.get(), "params");
    keys.public_key = zeltest::string_member(params, "public_key");
    keys.req_key = zeltest::string_member(params, "req_key");
    if (keys.public_key.size() != 64 || keys.req_key.size() != 32)
        return "the request's keys: " + std::string(json_object_to_json_string(request.get()));
    const std::string reply = R"({"id":)" + std::to_string(json_object_get_int(member(request.get(), "id"))) +
                              R"(,"result":)" + vendor_result(net) + "}";
    const int since = net.server_log_size();
    if (ko_message_send(KO_UID_RPC, KO_UID_P2P, "rpc.ack", reply.c_str(), static_cast<uint32_t>(reply.size()),
                        KO_MSG_MODE_SYNC) != 0)
        return "the vendor answer not sent";
    if (!net.server_wait(R"({"type":18,"server":0})", since, 10000))
        return "the camera did not log in";
    return "";
}

} // namespace p2ptest
