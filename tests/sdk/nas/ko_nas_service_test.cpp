// The NAS service end to end: requests from the device-daemon simulator on the RPC link (replies
// read back as parsed JSON), pool-named recordings on the root's card, and a real smbd as the NAS.
#include <gtest/gtest.h>

#include <ev.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../sdk/ko_sdk_fixture.h"
#include "app/nas/ko_nas.h"
#include "app/nas/ko_nas_ev.h"
#include "app/nas/ko_nas_test.h"
#include "common/ipc/ko_message.h"
#include "common/kv/ko_kv.h"
#include "common/report_stat/ko_report_statics.h"
#include "common/utils/ko_time_test.h"
#include "smbd_server.h"

namespace {

using namespace std::chrono_literals;
using sdktest::canonical;
using zeltest::Json;
using zeltest::member;

constexpr const char *kVideoDir = "/backup/varnel_camera_videos/aabbccddeeff";

std::atomic<uint64_t> g_wall_us{0};
uint64_t test_wall() { return g_wall_us.load(); }

// "%Y%m%d%H%M%S" of a UTC second count, also past 2038 where time_t has 32 bits.
std::string stamp(int64_t t)
{
    int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    const int64_t secs = t - days * 86400;
    // Days to a civil date (proleptic Gregorian).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char out[96];
    std::snprintf(out, sizeof out, "%04lld%02lld%02lld%02lld%02lld%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(secs / 3600),
                  static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
    return out;
}

// Runs a shell command for its effect; its status is not reliable in a process where the SDK runs
// (children are reaped for it), so callers check what it did.
void sh(const std::string &command)
{
    zeltest::run_command(command);
}

std::string sha256_of(const std::string &path)
{
    std::string out;
    zeltest::run_command("sha256sum '" + path + "' 2>/dev/null | cut -c1-64", &out);
    return out;
}

class NasServiceTest : public sdktest::SdkTest {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        std::string why;
        if (!smbd_.start(&why))
            GTEST_SKIP() << why;
        setenv("ZELMAR_NAS_SMB_PORT", std::to_string(smbd_.port()).c_str(), 1);
        SdkTest::SetUp();
        if (HasFatalFailure())
            return;
        root_.write_file("/proc/mounts", "rootfs / rootfs rw 0 0\n/dev/mmcblk0p1 /mnt/sdcard vfat rw 0 0\n");
        ko_nas_test_set_time_scale(0.01); // a 600 s interval is 6 s, the 60 s retry 0.6 s
        ASSERT_EQ(ko_nas_init(), 0);
        started_ = true;
    }
    void TearDown() override
    {
        if (started_) {
            EXPECT_EQ(ko_nas_deinit(), 0);
        }
        ko_nas_test_set_time_scale(1.0);
        ko_time_set_wall_source(nullptr);
        unsetenv("ZELMAR_NAS_SMB_PORT");
        unsetenv("ZELMAR_NAS_NETBIOS");
        if (sim_)
            SdkTest::TearDown();
    }

    // Sends a request on the RPC link and returns the camera's reply with that id.
    Json rpc(const std::string &method, const std::string &params = "", int timeout_ms = 8000)
    {
        const int id = ++next_id_;
        const int since = sim_->received_count("rpc");
        std::string text = R"({"id":)" + std::to_string(id) + R"(,"method":")" + method + "\"";
        if (!params.empty())
            text += R"(,"params":)" + params;
        text += "}";
        sim_->send("rpc", text);
        return reply_for(id, since, timeout_ms);
    }
    Json reply_for(int id, int since, int timeout_ms = 8000)
    {
        const auto deadline = std::chrono::steady_clock::now() + zeltest::scaled(std::chrono::milliseconds(timeout_ms));
        while (std::chrono::steady_clock::now() < deadline) {
            Json r = sim_->command(R"({"cmd":"wait","link":"rpc","method":null,"since":)" + std::to_string(since) +
                                   R"(,"timeout_ms":500})");
            json_object *obj = member(r.get(), "object");
            if (!obj)
                continue;
            since = json_object_get_int(member(r.get(), "index")) + 1;
            if (json_object_get_int(member(obj, "id")) == id)
                return zeltest::parse_json(json_object_to_json_string(obj));
        }
        return Json();
    }
    static int error_code(const Json &reply)
    {
        return json_object_get_int(member(member(reply.get(), "error"), "code"));
    }
    static std::string error_message(const Json &reply)
    {
        json_object *m = member(member(reply.get(), "error"), "message");
        return m ? json_object_get_string(m) : "";
    }
    static bool ok(const Json &reply) { return canonical(member(reply.get(), "result")) == R"(["OK"])"; }

    std::string share_json(const std::string &extra = "") const
    {
        return R"({"type":1,"name":"ZELSRV","addr":"127.0.0.1","dir":"share\\backup","group":"WORKGROUP","user":")" +
               smbd_.user() + R"(","pass":")" + smbd_.password() + "\"" + extra + "}";
    }
    std::string remote(const std::string &name = "") const
    {
        return smbd_.share_dir() + kVideoDir + (name.empty() ? "" : "/" + name);
    }
    // A pool file of `kib` KiB on the card that recorded from `start` to `end`.
    std::string card_file(int number, int64_t start, int64_t end, int kib = 64)
    {
        char name[128];
        std::snprintf(name, sizeof name, "video_%04d_0_10_%s_%s.mp4", number, stamp(start).c_str(), stamp(end).c_str());
        const std::string path = root_.path("/mnt/sdcard/") + name;
        zeltest::run_command("head -c " + std::to_string(kib) + "K /dev/urandom > '" + path + "'");
        return name;
    }
    static std::string remote_name(const std::string &pool_name) { return pool_name.substr(16); }

    // Waits until no sync runs and the service sits in `state`.
    static bool settled(int state = 1, std::chrono::milliseconds timeout = 20s)
    {
        return zeltest::wait_until(
            [&] { return ko_nas_test_syncing() == 0 && ko_nas_test_state() == state; }, timeout);
    }
    // Waits until a sync has brought the last sync time to `t` and the service rests again.
    static bool synced_to(int64_t t)
    {
        return zeltest::wait_until([&] { return ko_nas_test_last_sync() == static_cast<unsigned long long>(t); }, 20s) &&
               settled();
    }
    void configure(const std::string &extra_params = "")
    {
        Json reply = rpc("nas_set_config", R"({"share":)" + share_json() + extra_params + "}");
        ASSERT_TRUE(reply);
        ASSERT_TRUE(ok(reply)) << canonical(reply.get());
    }
    // Starts a sync of its own (after any that runs) and waits for its end.
    void sync_now()
    {
        Json r;
        for (int tries = 0; tries < 100; ++tries) {
            ASSERT_TRUE(settled());
            r = rpc("nas_sync_start");
            if (error_code(r) != 11)
                break;
        }
        ASSERT_TRUE(ok(r)) << canonical(r.get());
        ASSERT_TRUE(zeltest::wait_until([] { return ko_nas_test_syncing() == 0; }, 20s));
        ASSERT_TRUE(settled());
    }

    zeltest::SmbdServer smbd_;
    bool started_ = false;
    int next_id_ = 100;
};

TEST_F(NasServiceTest, MethodsAnswerTheirErrorsWithoutAShare)
{
    Json cfg = rpc("nas_get_config");
    ASSERT_TRUE(cfg);
    EXPECT_EQ(canonical(member(cfg.get(), "result")),
              R"({"share":null,"state":0,"error_code":0,"sync_interval":600,"video_retention_time":0,"last_sync_time":0})");
    Json r = rpc("nas_set_config");
    EXPECT_EQ(error_code(r), 22);
    EXPECT_EQ(error_message(r), "Config fail");
    r = rpc("nas_sync_start");
    EXPECT_EQ(error_code(r), 260);
    EXPECT_EQ(error_message(r), "NAS Share not ready");
    r = rpc("nas_clear_dir");
    EXPECT_EQ(error_code(r), 22);
    EXPECT_EQ(error_message(r), "NAS is not ready yet");
    EXPECT_TRUE(ok(rpc("nas_exit")));
    EXPECT_TRUE(ok(rpc("nas_sync_stop")));
    r = rpc("nas_set_config", R"({"state":7})");
    EXPECT_EQ(error_code(r), 22);
    r = rpc("nas_list_dir", R"({})");
    EXPECT_EQ(error_code(r), 22);
    // A name that only starts like a method is not that method.
    const int since = sim_->received_count("rpc");
    const std::string fake = R"({"id":5,"method":"nas_exit_and_more"})";
    ko_message_send(KO_UID_RPC, KO_UID_NAS, "nas_exit", fake.c_str(), static_cast<uint32_t>(fake.size()),
                    KO_MSG_MODE_ASYNC);
    EXPECT_FALSE(reply_for(5, since, 1000));
}

TEST_F(NasServiceTest, ConfigureSyncsNewRecordingsToTheShare)
{
    const int64_t t0 = 1767268800; // 2026-01-01 12:00:00
    std::vector<std::string> files = {card_file(1, t0, t0 + 60), card_file(2, t0 + 60, t0 + 120),
                                      card_file(3, t0 + 120, t0 + 180)};
    card_file(4, t0 + 180, -1); // still being recorded: its end reads as -1
    configure();
    ASSERT_TRUE(synced_to(t0 + 180));
    for (const std::string &f : files)
        EXPECT_EQ(sha256_of(remote(remote_name(f))), sha256_of(root_.path("/mnt/sdcard/" + f))) << f;
    std::string listing;
    zeltest::run_command("ls '" + remote() + "' | wc -l", &listing);
    EXPECT_EQ(std::stoi(listing), 3) << "the open file stays on the card, no .part is left";
    EXPECT_EQ(ko_nas_test_last_sync(), static_cast<unsigned long long>(t0 + 180));
    EXPECT_EQ(ko_nas_test_error(), 0);

    Json cfg = rpc("nas_get_config");
    json_object *result = member(cfg.get(), "result");
    EXPECT_EQ(canonical(member(result, "share")),
              R"({"type":1,"name":"ZELSRV","addr":"127.0.0.1","dir":"share\\backup","group":"WORKGROUP","user":")" +
                  smbd_.user() + "\"}")
        << "the directory without its suffix, and no password";
    EXPECT_EQ(json_object_get_int(member(result, "state")), 1);
    EXPECT_EQ(json_object_get_int64(member(result, "last_sync_time")), t0 + 180);

    // Same size on the share: skipped, the share's bytes stay.
    const std::string same = card_file(5, t0 + 180, t0 + 240);
    zeltest::run_command("head -c 64K /dev/zero > '" + remote(remote_name(same)) + "'");
    // After the card wrapped, a low pool number holds the newest recording.
    const std::string wrapped = card_file(0, t0 + 240, t0 + 300);
    sync_now();
    std::string zeros;
    zeltest::run_command("head -c 64K /dev/zero | sha256sum | cut -c1-64", &zeros);
    EXPECT_EQ(sha256_of(remote(remote_name(same))), zeros);
    EXPECT_EQ(sha256_of(remote(remote_name(wrapped))), sha256_of(root_.path("/mnt/sdcard/" + wrapped)));
    EXPECT_EQ(ko_nas_test_last_sync(), static_cast<unsigned long long>(t0 + 300));
}

TEST_F(NasServiceTest, AFileTheShareRefusedIsCopiedNextTime)
{
    const int64_t t0 = 1767268800;
    const std::string a = card_file(1, t0, t0 + 60);
    const std::string b = card_file(2, t0 + 60, t0 + 120);
    const std::string c = card_file(3, t0 + 120, t0 + 180);
    sh("mkdir -p '" + remote(remote_name(b)) + ".part'"); // blocks b's upload
    configure();
    ASSERT_TRUE(synced_to(t0 + 60));
    EXPECT_EQ(sha256_of(remote(remote_name(a))), sha256_of(root_.path("/mnt/sdcard/" + a)));
    EXPECT_EQ(sha256_of(remote(remote_name(c))), sha256_of(root_.path("/mnt/sdcard/" + c)));
    EXPECT_TRUE(sha256_of(remote(remote_name(b))).empty());
    EXPECT_EQ(ko_nas_test_last_sync(), static_cast<unsigned long long>(t0 + 60)) << "stops before the failure";
    EXPECT_NE(ko_nas_test_error(), 0);
    sh("rm -rf '" + remote(remote_name(b)) + ".part'");
    sync_now();
    EXPECT_EQ(sha256_of(remote(remote_name(b))), sha256_of(root_.path("/mnt/sdcard/" + b)));
    EXPECT_EQ(ko_nas_test_last_sync(), static_cast<unsigned long long>(t0 + 180));
    EXPECT_EQ(ko_nas_test_error(), 0);
}

TEST_F(NasServiceTest, RetentionPrunesOldFilesAndFolders)
{
    const int64_t now = static_cast<int64_t>(time(nullptr));
    const std::string old_file = stamp(now - 3 * 86400) + "_" + stamp(now - 3 * 86400 + 60) + ".mp4";
    const std::string old_dir = stamp(now - 2 * 86400);
    const std::string new_file = stamp(now - 3600) + "_" + stamp(now - 3540) + ".mp4";
    // What an earlier sync left on the share, and the card now; the first sync prunes and copies.
    sh("mkdir -p '" + remote() + "' && cd '" + remote() + "' && echo a > " + old_file + " && mkdir -p " + old_dir +
       "/x && echo b > " + old_dir + "/x/f && echo c > " + new_file + " && echo d > notes.txt");
    const std::string too_old = card_file(1, now - 5 * 86400, now - 5 * 86400 + 60);
    const std::string fresh = card_file(2, now - 600, now - 540);
    configure(R"(,"video_retention_time":86400)");
    ASSERT_TRUE(synced_to(now - 540));
    struct stat st;
    EXPECT_NE(stat(remote(old_file).c_str(), &st), 0);
    EXPECT_NE(stat(remote(old_dir).c_str(), &st), 0);
    EXPECT_EQ(stat(remote(new_file).c_str(), &st), 0);
    EXPECT_EQ(stat(remote("notes.txt").c_str(), &st), 0) << "not a recording";
    EXPECT_NE(stat(remote(remote_name(too_old)).c_str(), &st), 0) << "older than the retention time";
    EXPECT_EQ(stat(remote(remote_name(fresh)).c_str(), &st), 0);
}

TEST_F(NasServiceTest, LastSyncTimeSurvivesARestartAndTheYear2038)
{
    const int64_t t2040 = 2208988800; // 2040-01-01 00:00:00
    g_wall_us = static_cast<uint64_t>(t2040 + 86400) * 1000000;
    ko_time_set_wall_source(test_wall);
    const std::string f = card_file(1, t2040, t2040 + 60);
    configure(R"(,"video_retention_time":604800)");
    ASSERT_TRUE(synced_to(t2040 + 60));
    EXPECT_EQ(sha256_of(remote(remote_name(f))), sha256_of(root_.path("/mnt/sdcard/" + f)));
    EXPECT_EQ(ko_nas_test_last_sync(), static_cast<unsigned long long>(t2040 + 60));
    ASSERT_EQ(ko_nas_deinit(), 0);
    ASSERT_EQ(ko_nas_init(), 0);
    Json cfg = rpc("nas_get_config");
    EXPECT_EQ(json_object_get_int64(member(member(cfg.get(), "result"), "last_sync_time")), t2040 + 60);
    ASSERT_TRUE(settled());
    EXPECT_EQ(ko_nas_test_last_sync(), static_cast<unsigned long long>(t2040 + 60));
}

TEST_F(NasServiceTest, AStoredShareWithTheMacTextsColonsIsMendedAtStart)
{
    ASSERT_EQ(ko_nas_deinit(), 0);
    const uint8_t record[28] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x58, 0x02, 0, 0}; // state 1, type 1, 600 s
    ASSERT_EQ(ko_kv_set_value("TOLK_NAS", "config", record, sizeof record), 0);
    const std::string stored = R"({"type":1,"name":"ZELSRV","addr":"127.0.0.1","dir":"share\\backup\\varnel_camera_videos\\AA:BB:CC:DD:EE:FF","user":")" +
                               smbd_.user() + R"(","pass":")" + smbd_.password() + R"("})";
    ASSERT_EQ(ko_kv_set_value("TOLK_NAS", "share_cfg", stored.c_str(), static_cast<int>(stored.size())), 0);
    const int64_t t0 = 1767268800;
    const std::string f = card_file(1, t0, t0 + 60);
    ASSERT_EQ(ko_nas_init(), 0);
    ASSERT_TRUE(synced_to(t0 + 60)) << "the saved state is entered and mounts";
    EXPECT_EQ(sha256_of(remote(remote_name(f))), sha256_of(root_.path("/mnt/sdcard/" + f)));
    Json cfg = rpc("nas_get_config");
    EXPECT_STREQ(json_object_get_string(member(member(member(cfg.get(), "result"), "share"), "dir")), "share\\backup");
}

TEST_F(NasServiceTest, ALongSyncIsNotStoppedByTheNextExpiry)
{
    ko_nas_test_set_time_scale(0.0001); // 600 s -> 60 ms between syncs, each copy takes longer
    const int64_t t0 = 1767268800;
    std::vector<std::string> files;
    for (int i = 0; i < 4; ++i)
        files.push_back(card_file(i + 1, t0 + 60 * i, t0 + 60 * i + 60, 32 * 1024));
    testing::internal::CaptureStdout();
    configure();
    const bool synced = synced_to(t0 + 240);
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(synced);
    EXPECT_EQ(log.find("sync_thread: exit with code 4"), std::string::npos) << "a sync was stopped";
    EXPECT_EQ(ko_nas_test_error(), 0);
    for (const std::string &f : files)
        EXPECT_EQ(sha256_of(remote(remote_name(f))), sha256_of(root_.path("/mnt/sdcard/" + f))) << f;
}

TEST_F(NasServiceTest, StateTable)
{
    configure();
    ASSERT_TRUE(settled());
    EXPECT_TRUE(zeltest::wait_until([] { return ko_nas_test_timers() == KO_NAS_TIMER_SYNC; }, 2s));
    EXPECT_TRUE(ok(rpc("nas_set_config", R"({"state":2})")));
    EXPECT_EQ(ko_nas_test_state(), 2);
    EXPECT_TRUE(zeltest::wait_until([] { return ko_nas_test_timers() == 0; }, 2s)) << "paused: no sync timer";
    EXPECT_TRUE(ok(rpc("nas_set_config", R"({"state":2})"))) << "unchanged";
    EXPECT_TRUE(ok(rpc("nas_set_config", R"({"state":1})")));
    EXPECT_TRUE(settled());
    EXPECT_TRUE(zeltest::wait_until([] { return ko_nas_test_timers() == KO_NAS_TIMER_SYNC; }, 2s));
    EXPECT_TRUE(ok(rpc("nas_set_config", R"({"state":0})")));
    EXPECT_EQ(ko_nas_test_state(), 0);
    EXPECT_TRUE(zeltest::wait_until([] { return ko_nas_test_timers() == 0; }, 2s));
    EXPECT_EQ(error_code(rpc("nas_sync_start")), 260) << "state 0 released the share";
    // A new interval applies at once: the timer is stopped before it is set again.
    configure(R"(,"sync_interval":0)");
    EXPECT_TRUE(settled());
    EXPECT_TRUE(zeltest::wait_until([] { return ko_nas_test_timers() == 0; }, 2s)) << "interval 0 schedules nothing";
    EXPECT_TRUE(ok(rpc("nas_reset")));
    Json cfg = rpc("nas_get_config");
    EXPECT_EQ(canonical(member(cfg.get(), "result")),
              R"({"share":null,"state":0,"error_code":0,"sync_interval":600,"video_retention_time":0,"last_sync_time":0})");
}

TEST_F(NasServiceTest, AShareTypeWithoutBackEndFails)
{
    Json r = rpc("nas_set_config", R"({"share":{"type":0,"name":"X","addr":"127.0.0.1","user":"u","pass":"p"}})");
    EXPECT_EQ(error_code(r), 22);
    EXPECT_EQ(ko_nas_test_state(), 4);
    EXPECT_EQ(ko_nas_test_error(), 22);
    EXPECT_EQ(json_object_get_int(member(member(rpc("nas_get_config").get(), "result"), "state")), 4);
}

TEST_F(NasServiceTest, WrongPasswordKeepsTheOldConfiguration)
{
    configure(R"(,"sync_interval":1200)");
    ASSERT_TRUE(settled());
    Json r = rpc("nas_set_config",
                 R"({"sync_interval":30,"share":{"name":"ZELSRV","addr":"127.0.0.1","dir":"share\\x","user":")" +
                     smbd_.user() + R"(","pass":"wrong"}})");
    EXPECT_EQ(error_code(r), 13);
    EXPECT_EQ(error_message(r), "Config fail");
    Json cfg = rpc("nas_get_config");
    EXPECT_EQ(json_object_get_int(member(member(cfg.get(), "result"), "sync_interval")), 1200);
    EXPECT_TRUE(settled()) << "still on the old share";
}

TEST_F(NasServiceTest, ListAndMakeDirectories)
{
    configure();
    ASSERT_TRUE(settled());
    sh("mkdir -p '" + smbd_.share_dir() + "/films/old'");
    Json r = rpc("nas_list_dir", R"({"share":)" + share_json() + "}");
    // The configured share's dir names the share's root here: "share\backup".
    json_object *names = member(r.get(), "result");
    ASSERT_TRUE(names) << canonical(r.get());
    EXPECT_EQ(canonical(names), R"(["varnel_camera_videos"])");
    r = rpc("nas_list_dir", R"({"share":{"name":"ZELSRV","addr":"127.0.0.1","dir":"share","user":")" + smbd_.user() +
                               R"(","pass":")" + smbd_.password() + R"("}})");
    const std::string listed = canonical(member(r.get(), "result"));
    EXPECT_NE(listed.find("\"films\""), std::string::npos) << listed;
    EXPECT_NE(listed.find("\"backup\""), std::string::npos) << listed;
    r = rpc("nas_list_dir", R"({"share":{"name":"ZELSRV","addr":"127.0.0.1","dir":"","user":")" + smbd_.user() +
                               R"(","pass":")" + smbd_.password() + R"("}})");
    const std::string shares = canonical(member(r.get(), "result"));
    EXPECT_TRUE(shares == R"(["share","readonly"])" || shares == R"(["readonly","share"])") << shares;
    EXPECT_TRUE(ok(rpc("nas_make_dir", R"({"share":{"name":"ZELSRV","addr":"127.0.0.1","dir":"share\\new\\deep","user":")" +
                                           smbd_.user() + R"(","pass":")" + smbd_.password() + R"("}})")));
    struct stat st;
    EXPECT_EQ(stat((smbd_.share_dir() + "/new/deep").c_str(), &st), 0);
    // The configured connection was not taken down by the listing: a sync still works.
    const int64_t t0 = 1767268800;
    const std::string f = card_file(1, t0, t0 + 60);
    sync_now();
    EXPECT_EQ(sha256_of(remote(remote_name(f))), sha256_of(root_.path("/mnt/sdcard/" + f)));
    EXPECT_TRUE(ok(rpc("nas_clear_dir")));
    std::string left;
    zeltest::run_command("ls -A '" + remote() + "' | wc -l", &left);
    EXPECT_EQ(std::stoi(left), 0);
}

TEST_F(NasServiceTest, StatisticsAreReported)
{
    configure();
    ASSERT_TRUE(settled());
    rpc("nas_sync_start"); // refused or not, it counts nothing wrong
    rpc("nas_set_config", R"({"state":9})");
    const int since = sim_->received_count("rpc");
    ko_message_send(KO_UID_STAT, KO_UID_NAS, "upload_statistics", "hello", 5, KO_MSG_MODE_ASYNC);
    Json report = sim_->wait_object("rpc", "_async.stat", since, 5000);
    ASSERT_TRUE(report);
    const std::string text = canonical(report.get());
    EXPECT_NE(text.find("tolk_nas.info"), std::string::npos) << text;
    EXPECT_NE(text.find("nas_err_times"), std::string::npos) << text;
    EXPECT_NE(text.find("last_err_code"), std::string::npos) << text;
}

TEST_F(NasServiceTest, AMountRetriedEveryMinuteRecoversWhenTheServerStarts)
{
    configure();
    ASSERT_TRUE(settled());
    ASSERT_EQ(ko_nas_deinit(), 0);
    smbd_.stop();
    ASSERT_EQ(ko_nas_init(), 0);
    EXPECT_TRUE(zeltest::wait_until([] { return (ko_nas_test_timers() & KO_NAS_TIMER_RETRY) != 0; }, 10s));
    EXPECT_NE(ko_nas_test_error(), 0);
    const int64_t t0 = 1767268800;
    const std::string f = card_file(1, t0, t0 + 60);
    std::string why;
    ASSERT_TRUE(smbd_.start(&why)) << why;
    EXPECT_TRUE(zeltest::wait_until([&] { return !sha256_of(remote(remote_name(f))).empty(); }, 20s));
    EXPECT_TRUE(settled());
    EXPECT_EQ(sha256_of(remote(remote_name(f))), sha256_of(root_.path("/mnt/sdcard/" + f)));
}

TEST_F(NasServiceTest, ReconfigureResetAndStopDuringALargeSync)
{
    const int64_t t0 = 1767268800;
    for (int i = 0; i < 3; ++i)
        card_file(i + 1, t0 + 60 * i, t0 + 60 * i + 60, 32 * 1024);
    // Over loopback a sync of what the share already holds may be over between two looks.
    const auto sync_began = [](unsigned before) {
        return zeltest::wait_until(
            [before] { return ko_nas_test_syncing() == 1 || ko_nas_test_syncs_started() != before; }, 5s);
    };
    unsigned before = ko_nas_test_syncs_started();
    configure();
    ASSERT_TRUE(sync_began(before));
    std::this_thread::sleep_for(100ms);
    before = ko_nas_test_syncs_started();
    configure(); // the running sync is stopped and joined before its share is released
    ASSERT_TRUE(sync_began(before));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(ok(rpc("nas_reset")));
    EXPECT_EQ(ko_nas_test_syncing(), 0);
    EXPECT_EQ(ko_nas_test_state(), 0);
    before = ko_nas_test_syncs_started();
    configure();
    ASSERT_TRUE(sync_began(before));
    std::this_thread::sleep_for(100ms);
    // Deinit while it copies (TearDown runs it again on a fresh start).
    EXPECT_EQ(ko_nas_deinit(), 0);
    EXPECT_EQ(ko_nas_init(), 0);
    std::string parts;
    zeltest::run_command("ls '" + remote() + "' | grep -c '\\.mp4$' || true", &parts);
    SUCCEED() << parts;
}

// A default-loop timer of another module keeps its period while the NAS stops answering mid-sync.
std::mutex g_probe_lock;
std::vector<std::chrono::steady_clock::time_point> g_probe_ticks;
ev_timer g_probe;

TEST_F(NasServiceTest, TheLoopKeepsItsPaceWhileTheServerStalls)
{
    const int64_t t0 = 1767268800;
    for (int i = 0; i < 2; ++i)
        card_file(i + 1, t0 + 60 * i, t0 + 60 * i + 60, 64 * 1024);
    g_probe_ticks.clear();
    ASSERT_EQ(ko_nas_ev_call(
                  [](struct ev_loop *loop, void *) {
                      ev_timer_init(&g_probe, [](struct ev_loop *, ev_timer *, int) {
                          std::lock_guard<std::mutex> hold(g_probe_lock);
                          g_probe_ticks.push_back(std::chrono::steady_clock::now());
                      }, 0.1, 0.1);
                      ev_timer_start(loop, &g_probe);
                  },
                  nullptr),
              0);
    configure();
    ASSERT_TRUE(zeltest::wait_until([] { return ko_nas_test_syncing() == 1; }, 5s));
    std::this_thread::sleep_for(200ms);
    smbd_.pause();
    std::this_thread::sleep_for(3s);
    // Requests keep being answered from the loop's side too.
    smbd_.resume();
    ko_nas_ev_call([](struct ev_loop *loop, void *) { ev_timer_stop(loop, &g_probe); }, nullptr);
    std::lock_guard<std::mutex> hold(g_probe_lock);
    ASSERT_GT(g_probe_ticks.size(), 20u);
    const auto tolerance = zeltest::scaled(50ms);
    for (size_t i = 1; i < g_probe_ticks.size(); ++i) {
        const auto gap = g_probe_ticks[i] - g_probe_ticks[i - 1];
        EXPECT_LT(gap, 100ms + tolerance) << "tick " << i;
        EXPECT_GT(gap, 100ms - tolerance) << "tick " << i;
    }
}

TEST_F(NasServiceTest, ScanAnswersWithTheRespondersHosts)
{
    const int port = zeltest::free_udp_port();
    zeltest::ChildProcess responder(
        zeltest::python_peer("netbios_responder.py",
                             {"--listen", "127.0.0.1:" + std::to_string(port), "--host", "ZELNAS,WORKGROUP,127.0.0.1"}),
        {}, root_.dir() + "/responder.log");
    setenv("ZELMAR_NAS_NETBIOS", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    std::this_thread::sleep_for(300ms); // the responder binds its port
    const auto t0 = std::chrono::steady_clock::now();
    Json r = rpc("nas_scan");
    const auto first = std::chrono::steady_clock::now() - t0;
    ASSERT_TRUE(r);
    EXPECT_GE(first, 700ms);
    EXPECT_LT(first, zeltest::scaled(1500ms));
    EXPECT_EQ(canonical(member(r.get(), "result")), R"([{"name":"ZELNAS","group":"WORKGROUP","addr":"127.0.0.1"}])");
    const auto t1 = std::chrono::steady_clock::now();
    r = rpc("nas_scan");
    EXPECT_LT(std::chrono::steady_clock::now() - t1, zeltest::scaled(500ms)) << "a running discovery answers at once";
    EXPECT_EQ(canonical(member(r.get(), "result")), R"([{"name":"ZELNAS","group":"WORKGROUP","addr":"127.0.0.1"}])");
}

} // namespace
