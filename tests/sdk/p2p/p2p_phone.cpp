// The phone side shared by the P2P service's session tests.
#include "p2p_phone.h"

#include <json-c/json.h>

#include <set>

#include "app/p2p/ko_p2p.h"
#include "vasq_test_helpers.h"

namespace p2ptest {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

std::string vendor_result(ztptest::Loopback &net)
{
    Json init(json_object_new_string(net.init_string(3).c_str()));
    return R"({"vendor":4,"p2p_key":")" + std::string(kP2pKey) + R"(","vendor_params":{"p2p_id":")" +
           vasqtest::kDid + R"(","crc_key":")" + vasqtest::kCrcKey +
           R"(","init_string":)" + json_object_to_json_string(init.get()) + "}}";
}

bool link_and_authorise(vasqtest::Phone &phone, const CameraKeys &keys, std::chrono::milliseconds attempt_wait)
{
    // Linked once the camera runs a new session's command thread.
    const std::set<std::string> before = vasqtest::tasks_named("command_");
    auto linked = [&] {
        for (const std::string &t : vasqtest::tasks_named("command_"))
            if (!before.count(t))
                return true;
        return false;
    };
    bool ok = false;
    const auto give_up = std::chrono::steady_clock::now() + 4 * zeltest::scaled(4s);
    while (!ok && std::chrono::steady_clock::now() < give_up) {
        phone.connect();
        ok = zeltest::wait_until(linked, attempt_wait);
    }
    if (!ok)
        return false;
    Json signed_keys = phone.command(R"({"cmd":"keys","did":")" + keys.did + R"(","token":")" + keys.token_hex +
                                     R"(","p2p_key":")" + kP2pKey + R"(","public_key":")" + keys.public_key +
                                     R"(","req_key":")" + keys.req_key + R"("})");
    if (!member(signed_keys.get(), "sign"))
        return false;
    phone.command(R"({"cmd":"auth"})");
    return true;
}

void send_command(vasqtest::Phone &phone, int code, const std::string &text)
{
    Json t(json_object_new_string(text.c_str()));
    phone.command(R"({"cmd":"command","code":)" + std::to_string(code) + R"(,"text":)" +
                  json_object_to_json_string(t.get()) + R"(,"encrypted":true})");
}

std::vector<std::string> phone_replies(vasqtest::Phone &phone, int code)
{
    std::vector<std::string> out;
    Json r = phone.received();
    json_object *list = member(r.get(), "commands");
    for (size_t i = 0; list && i < json_object_array_length(list); i++) {
        json_object *c = json_object_array_get_idx(list, i);
        if (json_object_get_int(json_object_array_get_idx(c, 0)) != code)
            continue;
        const std::vector<uint8_t> b = vasqtest::unhex(json_object_get_string(json_object_array_get_idx(c, 1)));
        out.emplace_back(b.begin(), b.end());
    }
    return out;
}

std::vector<GotFrame> phone_frames(vasqtest::Phone &phone)
{
    Json r = phone.received();
    json_object *list = member(member(r.get(), "frames"), "2");
    std::vector<GotFrame> out;
    for (size_t i = 0; list && i < json_object_array_length(list); i++) {
        json_object *f = json_object_array_get_idx(list, i);
        auto at = [f](size_t k) { return json_object_get_int64(json_object_array_get_idx(f, k)); };
        out.push_back({at(0), at(1), at(2), at(4), json_object_get_double(json_object_array_get_idx(f, 5)),
                       static_cast<uint32_t>(at(7))});
    }
    return out;
}

int phones_online()
{
    ko_p2p_conn_info c{};
    ko_p2p_get_clients_conn_info(&c);
    return c.online;
}

} // namespace p2ptest
