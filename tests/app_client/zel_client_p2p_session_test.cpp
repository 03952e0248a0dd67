// The app client's P2P on real sessions: the program's P2P service asks the device daemon (the
// simulator, scripted with the transport's parameters) for the vendor, logs in to the transport
// servers of loopback, and a phone (vasq_phone.py) that authorises with the camera's identity moves
// the head and gets the app client's answer.
#include "zel_client_fixture.h"

#include "common/sdk/ko_sdk.h"
#include "p2p_phone.h"

namespace clienttest {
namespace {

class ClientP2pSession : public ClientTest {
protected:
    // The lab's root comes first: the program's, made at set-up, takes its place.
    ClientP2pSession() : net_(vasqtest::kCrcKey) {}
    void SetUp() override
    {
        ClientTest::SetUp();
        const std::string reply = R"({"result":)" + p2ptest::vendor_result(net_) + "}";
        sim_->command(R"({"cmd":"script","method":"_sync.vasq_get_vendor","reply":)" + reply + "}");
        ASSERT_NO_FATAL_FAILURE(start_program());
        // The daemon's device id and a device token, as the camera has them before P2P starts.
        ko_sdk_info *info = ko_ipc_get_sdk_info();
        ASSERT_TRUE(info);
        // The daemon's answers keep writing the id under the record's lock: read it through the query.
        char did[sizeof info->device_id] = {};
        ASSERT_TRUE(zeltest::wait_until([&] { return ko_ipc_query_did(did, sizeof did) == 0; }, 10s));
        did_ = did;
        memcpy(info->token, "ZLMR12345678", 12);
        info->token_len = 12;
        ASSERT_EQ(zel_tolk_p2p_init(), 0);
        Json request = sim_->wait_object("rpc", "_sync.vasq_get_vendor", 0, 15000);
        json_object *params = member(request.get(), "params");
        camera_public_ = zeltest::string_member(params, "public_key");
        req_key_ = zeltest::string_member(params, "req_key");
        ASSERT_EQ(camera_public_.size(), 64u) << (request ? json_object_to_json_string(request.get()) : "none");
        ASSERT_TRUE(net_.server_wait(R"({"type":18,"server":0})", 0, 15000)) << "the camera logs in";
    }

    bool authorised()
    {
        phone_ = std::make_unique<vasqtest::Phone>(net_, 0);
        const ko_sdk_info *info = ko_ipc_get_sdk_info();
        if (!info)
            return false;
        const p2ptest::CameraKeys keys{did_,
                                       zeltest::hex(info->token, static_cast<size_t>(info->token_len)),
                                       camera_public_, req_key_};
        if (!p2ptest::link_and_authorise(*phone_, keys))
            return false;
        return zeltest::wait_until([] {
            ko_p2p_conn_info c{};
            return ko_p2p_get_clients_conn_info(&c) == 0 && c.online == 1;
        }, 10s);
    }

    std::vector<std::string> replies(int code) { return p2ptest::phone_replies(*phone_, code); }

    ztptest::Loopback net_;
    std::unique_ptr<vasqtest::Phone> phone_;
    std::string did_, camera_public_, req_key_;
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
