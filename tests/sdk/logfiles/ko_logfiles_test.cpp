// Log upload against the device-daemon simulator (methods, the URL request) and the simulated cloud
// (the PUT): the archive the cloud receives decrypts with openssl and unpacks with tar to the very
// files; a refused upload keeps them; the settings land in config slot 128 as the slot reader sees it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../cloud/cloud_sim_client.h"
#include "../ota/ota_daemon_calls.h"
#include "../sdk/ko_sdk_fixture.h"
#include "app/logfiles/ko_logfiles.h"
#include "common/utils/ko_time.h"

namespace {

using namespace std::chrono_literals;
using sdktest::canonical;
using zeltest::Json;
using zeltest::member;

constexpr const char *kKeyHex = "000102030405060708090a0b0c0d0e0f";
constexpr const char *kKeyB64 = "AAECAwQFBgcICQoLDA0ODw";
constexpr const char *kIvHex = "f0e0d0c0b0a090807060504030201000";
constexpr const char *kIvB64 = "8ODQwLCgkIBwYFBAMCAQAA";

// What the file-list callback hands out: (device path, auto-remove).
std::mutex g_files_lock;
std::vector<std::pair<std::string, bool>> g_files;
std::atomic<int> g_asked{0};

int list_files(char *list, unsigned max_files, unsigned)
{
    std::lock_guard<std::mutex> guard(g_files_lock);
    ++g_asked;
    unsigned n = 0;
    for (const auto &[path, remove] : g_files) {
        if (n == max_files)
            break;
        char *entry = list + static_cast<size_t>(n++) * KO_LOGFILES_ENTRY_SIZE;
        for (int i = 0; i < KO_LOGFILES_ENTRY_SIZE; ++i)
            if (entry[i] != 0)
                return -1; // the list must come zeroed
        std::snprintf(entry, KO_LOGFILES_PATH_LEN, "%s", path.c_str());
        entry[KO_LOGFILES_PATH_LEN] = remove ? 1 : 0;
    }
    return static_cast<int>(n);
}

void offer(std::vector<std::pair<std::string, bool>> files)
{
    std::lock_guard<std::mutex> guard(g_files_lock);
    g_files = std::move(files);
}

class LogUpload : public sdktest::SdkTest {
protected:
    void SetUp() override
    {
        offer({});
        SdkTest::SetUp();
        if (HasFatalFailure())
            return;
        const uint8_t key[16] = {2};
        ASSERT_TRUE(cloud_.start(root_, key, "token"));
        // The device id is asked for once the camera has a state.
        tell_status("cloud_connected");
        char did[64] = {};
        ASSERT_TRUE(zeltest::wait_until([&] { return ko_ipc_query_did(did, sizeof did) == 0; }, 5s));
        ASSERT_EQ(ko_logfiles_upload_init(list_files), 0);
        EXPECT_EQ(ko_logfiles_upload_init(list_files), -1) << "already init";
    }
    void TearDown() override
    {
        EXPECT_EQ(ko_logfiles_upload_deinit(), 0);
        SdkTest::TearDown();
    }

    Json call(const std::string &method, const std::string &params = "{}")
    {
        return otatest::daemon_call(*sim_, ++next_id_, method, params);
    }
    static std::string error_of(const Json &reply)
    {
        json_object *m = member(member(reply.get(), "error"), "message");
        return m ? json_object_get_string(m) : "";
    }
    static bool ok(const Json &reply) { return canonical(member(reply.get(), "result")) == R"(["OK"])"; }

    std::string url(const std::string &name, const std::string &expires = "1999999999") const
    {
        return cloud_.base() + "/logs/" + name + "?Expires=" + expires + "&Signature=abc";
    }
    void script_url_reply(const std::string &name)
    {
        sim_->command(R"({"cmd":"script","method":"_sync.get_devicelog_url","reply":{"result":{"encryptKey":")" +
                      std::string(kKeyB64) + R"(","iv":")" + kIvB64 + R"(","url":")" + url(name) + R"("}}})");
    }
    Json push_target(const std::string &name)
    {
        return call("async_device_feedback_log", R"({"encryptKey":")" + std::string(kKeyB64) + R"(","iv":")" + kIvB64 +
                                                     R"(","url":")" + url(name) + R"("})");
    }
    Json open_window(uint64_t from, uint64_t to, int accept = 1)
    {
        return call("set_dlog_switch", R"({"startTime":)" + std::to_string(from) + R"(,"endTime":)" +
                                           std::to_string(to) + R"(,"switchOpen":true,"accept":)" +
                                           std::to_string(accept) + "}");
    }
    static uint64_t now() { return vexa_time_get_ms() / 1000; }

    std::string log_file(const std::string &device_path, size_t size)
    {
        std::string content(size, '\0');
        std::mt19937 rng(static_cast<unsigned>(size));
        for (char &c : content)
            c = static_cast<char>('a' + rng() % 26);
        root_.write_file(device_path, content);
        return content;
    }
    bool put_arrived(const std::string &name, int count = 1)
    {
        return zeltest::wait_until(
            [&] {
                int n = 0;
                for (const std::string &line : cloud_.requests())
                    n += line.find("\"/logs/" + name + "\"") != std::string::npos;
                return n >= count;
            },
            20s);
    }
    // The received archive decrypted with openssl into the root's "up.tar".
    std::string decrypt(const std::string &name)
    {
        const std::string tar = root_.dir() + "/up.tar";
        EXPECT_EQ(zeltest::run_command("openssl enc -d -aes-128-cbc -K " + std::string(kKeyHex) + " -iv " + kIvHex +
                                       " -in " + cloud_.out() + "/" + name + " -out " + tar),
                  0);
        return tar;
    }

    static std::vector<char> paths(const std::vector<std::string> &list)
    {
        std::vector<char> out(list.size() * KO_LOGFILES_PATH_LEN, 0);
        for (size_t i = 0; i < list.size(); ++i)
            std::snprintf(&out[i * KO_LOGFILES_PATH_LEN], KO_LOGFILES_PATH_LEN, "%s", list[i].c_str());
        return out;
    }
    static int start(const std::vector<std::string> &list, int timeout)
    {
        const std::vector<char> p = paths(list);
        return ko_log_upload_start(reinterpret_cast<const char(*)[KO_LOGFILES_PATH_LEN]>(p.data()),
                                   static_cast<int>(list.size()), timeout);
    }

    cloudtest::CloudSim cloud_;
    int next_id_ = 0;
};

TEST_F(LogUpload, MethodsReplyAndTheSettingsReachSlot128)
{
    EXPECT_TRUE(ok(open_window(1700000000, 1700003600, 1)));
    EXPECT_EQ(canonical(call("get_dlog_switch").get()),
              canonical(R"({"id":2,"result":{"endTime":1700003600,"startTime":1700000000,"switchOpen":true,"accept":1}})"));
    EXPECT_TRUE(ok(call("set_dlog_accept", R"({"accept":7})")));
    EXPECT_EQ(error_of(call("set_dlog_switch", R"({"startTime":1,"endTime":2})")), "set_dlog_switch fail");
    EXPECT_EQ(error_of(call("set_dlog_switch", R"({"startTime":1,"endTime":2,"switchOpen":1})")),
              "set_dlog_switch fail");
    EXPECT_EQ(error_of(call("set_dlog_accept", "{}")), "set_dlog_switch fail");

    std::string out, cmd;
    for (const auto &arg : zeltest::python_peer("conf_slot_reader.py", {root_.path("/mnt/data/tolk_conf.db")}))
        cmd += "'" + arg + "' ";
    ASSERT_EQ(zeltest::run_command(cmd, &out), 0);
    Json slots = zeltest::parse_json(out);
    json_object *slot = member(member(slots.get(), "slots"), "128");
    EXPECT_STREQ(json_object_get_string(member(slot, "state")), "ok");
    // switchOpen 1, three zero bytes, startTime, endTime, accept 7, all little-endian.
    EXPECT_EQ(std::string(json_object_get_string(member(slot, "payload"))).substr(0, 48),
              "01000000" "00f1536500000000" "10ff536500000000" "07000000");
}

TEST_F(LogUpload, WindowUploadSendsTheFilesEncrypted)
{
    const std::string a = log_file("/tmp/messages.0", 30000);
    const std::string b = log_file("/tmp/tolk_log.txt", 5000);
    offer({{"/tmp/messages.0", false}, {"/tmp/tolk_log.txt", true}, {"/tmp/absent.log", false}});
    script_url_reply("win.tar.gz");
    const int since = sim_->received_count("rpc");
    ASSERT_TRUE(ok(open_window(now() - 60, now() + 3600)));
    ASSERT_TRUE(put_arrived("win.tar.gz"));
    Json sent = sim_->command(R"({"cmd":"wait","link":"rpc","method":"_sync.get_devicelog_url","since":)" +
                              std::to_string(since) + R"(,"timeout_ms":2000})");
    json_object *params = member(member(sent.get(), "object"), "params");
    EXPECT_STREQ(json_object_get_string(member(params, "did")), "424242");
    EXPECT_STREQ(json_object_get_string(member(params, "extraInfo")), "$messages$tolk_log$.tar.gz");

    const std::string tar = decrypt("win.tar.gz");
    std::string listing, a_out, b_out;
    zeltest::run_command("tar -tvf " + tar, &listing);
    EXPECT_NE(listing.find("messages.0"), std::string::npos) << listing;
    EXPECT_NE(listing.find("tolk_log.txt"), std::string::npos) << listing;
    std::string names;
    zeltest::run_command("tar -tf " + tar, &names);
    std::vector<std::string> members;
    for (size_t at = 0; at < names.size();) {
        const size_t end = names.find('\n', at);
        members.push_back(names.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(members.size(), 2u) << names;
    zeltest::run_command("tar -xOf " + tar + " '" + members[0] + "'", &a_out);
    zeltest::run_command("tar -xOf " + tar + " '" + members[1] + "'", &b_out);
    EXPECT_TRUE(a_out == a);
    EXPECT_TRUE(b_out == b);
    // Taken by the cloud: the auto-remove file goes, the other stays.
    EXPECT_TRUE(zeltest::wait_until([&] { return !root_.exists("/tmp/tolk_log.txt"); }, 5s));
    EXPECT_TRUE(root_.exists("/tmp/messages.0"));
    // Not again within the window's pause.
    const int asked = g_asked.load();
    std::this_thread::sleep_for(zeltest::scaled(2500ms));
    EXPECT_EQ(g_asked.load(), asked);
}

TEST_F(LogUpload, RefusedUploadKeepsTheFiles)
{
    log_file("/tmp/fb.log", 1000);
    cloud_.script(R"({"path":"/logs/fb.tar.gz","mode":"status","status":403})");
    offer({{"/tmp/fb.log", true}});
    ASSERT_TRUE(ok(push_target("fb.tar.gz")));
    ASSERT_TRUE(put_arrived("fb.tar.gz"));
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    EXPECT_TRUE(root_.exists("/tmp/fb.log")) << "a 403 is no delivery";

    offer({});
    ASSERT_TRUE(ok(push_target("fb.tar.gz")));
    EXPECT_EQ(start({"/tmp/fb.log"}, 0), KO_LOG_UPLOAD_HTTP);
    EXPECT_TRUE(root_.exists("/tmp/fb.log"));
}

TEST_F(LogUpload, StartRefusesBadInput)
{
    log_file("/tmp/one.log", 100);
    EXPECT_EQ(start({"/tmp/one.log"}, 5), KO_LOG_UPLOAD_BAD_INPUT);
    EXPECT_EQ(start({"/tmp/none.log"}, 0), KO_LOG_UPLOAD_BAD_INPUT);
    EXPECT_EQ(start({}, 0), KO_LOG_UPLOAD_BAD_INPUT);
    log_file("/tmp/big1.log", 1048576);
    log_file("/tmp/big2.log", 1048576);
    EXPECT_EQ(start({"/tmp/big1.log", "/tmp/big2.log"}, 0), KO_LOG_UPLOAD_TOO_LARGE) << "2 MiB itself is refused";
    EXPECT_EQ(start({"/tmp/one.log"}, 0), KO_LOG_UPLOAD_NOT_ALLOWED) << "no window, no feedback target";
    // A window, but the cloud gives no URL, or one without its expiry, or a short key.
    ASSERT_TRUE(ok(open_window(now() - 60, now() + 3600)));
    EXPECT_EQ(start({"/tmp/one.log"}, 0), KO_LOG_UPLOAD_NO_URL);
    sim_->command(R"({"cmd":"script","method":"_sync.get_devicelog_url","reply":{"result":{"encryptKey":")" +
                  std::string(kKeyB64) + R"(","iv":")" + kIvB64 + R"(","url":")" + cloud_.base() + R"(/logs/n"}}})");
    EXPECT_EQ(start({"/tmp/one.log"}, 0), KO_LOG_UPLOAD_NO_URL);
    sim_->command(R"({"cmd":"script","method":"_sync.get_devicelog_url","reply":{"result":{"encryptKey":"AAEC","iv":")" +
                  std::string(kIvB64) + R"(","url":")" + url("n") + R"("}}})");
    EXPECT_EQ(start({"/tmp/one.log"}, 0), KO_LOG_UPLOAD_NO_URL);
}

TEST_F(LogUpload, FeedbackTargetsAreChecked)
{
    EXPECT_EQ(error_of(call("async_device_feedback_log",
                            R"({"encryptKey":"AAECAwQFBgcICQoLDA0O","iv":")" + std::string(kIvB64) + R"(","url":")" +
                                url("x") + R"("})")),
              "async_device_feedback_log fail")
        << "a 15-byte key";
    EXPECT_EQ(error_of(call("async_device_feedback_log", R"({"encryptKey":")" + std::string(kKeyB64) + R"(","iv":")" +
                                                             kIvB64 + R"(","url":")" + cloud_.base() + R"(/logs/x"})")),
              "async_device_feedback_log fail")
        << "no Expires";
    const std::string long_url = url("x") + std::string(300, 'q');
    EXPECT_EQ(error_of(call("async_device_feedback_log", R"({"encryptKey":")" + std::string(kKeyB64) + R"(","iv":")" +
                                                             kIvB64 + R"(","url":")" + long_url + R"("})")),
              "async_device_feedback_log fail");
    ASSERT_TRUE(ok(open_window(now() - 60, now() + 3600)));
    EXPECT_EQ(error_of(push_target("x")), "logup err:log upload already working!");
}

TEST_F(LogUpload, StalledPutTimesOut)
{
    log_file("/tmp/st.log", 500);
    cloud_.script(R"({"path":"/logs/st.tar.gz","mode":"stall"})");
    ASSERT_TRUE(ok(push_target("st.tar.gz")));
    EXPECT_EQ(start({"/tmp/st.log"}, 10), KO_LOG_UPLOAD_TIMEOUT);
    EXPECT_TRUE(root_.exists("/tmp/st.log"));
}

} // namespace
