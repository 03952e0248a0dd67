// The app client's P2P on real sessions: the program's P2P service asks the device daemon (the
// simulator, scripted with the transport's parameters) for the vendor, logs in to the transport
// servers of loopback, and a phone (vasq_phone.py) that authorises with the camera's identity moves
// the head and gets the app client's answer.
#include "zel_client_fixture.h"

#include <set>

#include "common/sdk/ko_sdk.h"
#include "vasq_phone_ctl.h"
#include "vasq_test_helpers.h"

namespace clienttest {
namespace {

constexpr char kP2pKey[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

std::string str_of(json_object *o, const char *name)
{
    json_object *v = member(o, name);
    return v ? json_object_get_string(v) : "";
}

class ClientP2pSession : public ClientTest {
protected:
    // The lab's root comes first: the program's, made at set-up, takes its place.
    ClientP2pSession() : net_(vasqtest::kCrcKey) {}
    void SetUp() override
    {
        ClientTest::SetUp();
        Json init(json_object_new_string(net_.init_string(3).c_str()));
        const std::string reply = R"({"result":{"vendor":4,"p2p_key":")" + std::string(kP2pKey) +
                                  R"(","vendor_params":{"p2p_id":")" + vasqtest::kDid + R"(","crc_key":")" +
                                  vasqtest::kCrcKey + R"(","init_string":)" + json_object_to_json_string(init.get()) +
                                  "}}}";
        sim_->command(R"({"cmd":"script","method":"_sync.vasq_get_vendor","reply":)" + reply + "}");
        ASSERT_NO_FATAL_FAILURE(start_program());
        // The daemon's device id and a device token, as the camera has them before P2P starts.
        ko_sdk_info *info = ko_ipc_get_sdk_info();
        ASSERT_TRUE(info);
        ASSERT_TRUE(zeltest::wait_until([&] { return info->device_id[0] != 0; }, 10s));
        memcpy(info->token, "ZLMR12345678", 12);
        info->token_len = 12;
        ASSERT_EQ(zel_tolk_p2p_init(), 0);
        Json request = sim_->wait_object("rpc", "_sync.vasq_get_vendor", 0, 15000);
        json_object *params = member(request.get(), "params");
        camera_public_ = str_of(params, "public_key");
        req_key_ = str_of(params, "req_key");
        ASSERT_EQ(camera_public_.size(), 64u) << (request ? json_object_to_json_string(request.get()) : "none");
        ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})", 0, 15000)) << "the camera logs in";
    }

    bool authorised()
    {
        phone_ = std::make_unique<vasqtest::Phone>(net_, 0);
        const std::set<std::string> before = vasqtest::tasks_named("command_");
        auto linked = [&] {
            for (const std::string &t : vasqtest::tasks_named("command_"))
                if (!before.count(t))
                    return true;
            return false;
        };
        bool ok = false;
        for (int attempt = 0; attempt < 4 && !ok; attempt++) {
            phone_->connect();
            ok = zeltest::wait_until(linked, 4s);
        }
        const ko_sdk_info *info = ko_ipc_get_sdk_info();
        if (!ok || !info)
            return false;
        Json keys = phone_->command(
            R"({"cmd":"keys","did":")" + std::string(info->device_id) + R"(","token":")" +
            zeltest::hex(info->token, static_cast<size_t>(info->token_len)) + R"(","p2p_key":")" + kP2pKey +
            R"(","public_key":")" + camera_public_ + R"(","req_key":")" + req_key_ + R"("})");
        if (!member(keys.get(), "sign"))
            return false;
        phone_->command(R"({"cmd":"auth"})");
        return zeltest::wait_until([] {
            ko_p2p_conn_info c{};
            return ko_p2p_get_clients_conn_info(&c) == 0 && c.online == 1;
        }, 10s);
    }

    // The phone's commands from the camera with `code`.
    std::vector<std::string> replies(int code)
    {
        std::vector<std::string> out;
        Json r = phone_->received();
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

    ztptest::Loopback net_;
    std::unique_ptr<vasqtest::Phone> phone_;
    std::string camera_public_, req_key_;
};

TEST_F(ClientP2pSession, PositionQueryFromAPhoneAnswersWithTheStoredPosition)
{
    ASSERT_EQ(zel_api_db_set_value("NVM.IPC:motor", "[30,70]", 7, 0), 0);
    ASSERT_TRUE(authorised());
    phone_->command(R"({"cmd":"command","code":274,"text":"{\"operation\":6}","encrypted":true})");
    ASSERT_TRUE(zeltest::wait_until([&] { return !replies(275).empty(); }, 10s));
    EXPECT_EQ(replies(275)[0], R"({"ret":0, "angle":30,"elevation":70})");
    phone_->command(R"({"cmd":"command","code":267,"text":"","encrypted":true})");
    ASSERT_TRUE(zeltest::wait_until([&] { return !replies(268).empty(); }, 10s));
    EXPECT_EQ(replies(268)[0], std::string("g711a", 6));
}

} // namespace
} // namespace clienttest
