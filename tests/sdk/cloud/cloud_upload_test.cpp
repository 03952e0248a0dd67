// The upload thread on a started SDK core, logging in through the device-daemon simulator and
// uploading queued clips to the simulated cloud, which checks every request from the wire format
// and scripts failures per path.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "../sdk/ko_sdk_fixture.h"
#include "app/cloud/cloud_list.h"
#include "app/cloud/cloud_upload_test.h"
#include "app/cloud/ko_cloud.h"
#include "cloud_sim_client.h"
#include "common/http/vexa_http_test.h"
#include "common/ipc/ko_message.h"
#include "common/utils/ko_time.h"
#include "common/utils/ko_time_test.h"
#include "common/utils/vexa_base64.h"

namespace {

using namespace std::chrono_literals;
using zeltest::Json;
using zeltest::member;

const uint8_t kKey[16] = {0x21, 0x43, 0x65, 0x87, 0xa9, 0xcb, 0xed, 0x0f, 9, 8, 7, 6, 5, 4, 3, 2};
constexpr const char *kToken = "tok-zelmar-upload";
constexpr const char *kUpload = "/common/device/v3/upload";
constexpr const char *kPreUpload = "/common/device/preUpload";
constexpr const char *kSwitch = "/vexa/camera/device/v2/switch";
constexpr const char *kVip = "/common/device/vip/status";
constexpr const char *kGop = "/common/device/getGOPInfo";

std::mutex g_cb_lock;
std::vector<std::array<int64_t, 3>> g_uploaded; // per-upload callback arguments

void on_uploaded(uint32_t flags, int32_t word, int kind)
{
    std::lock_guard<std::mutex> lock(g_cb_lock);
    g_uploaded.push_back({flags, word, kind});
}

size_t uploads_seen()
{
    std::lock_guard<std::mutex> lock(g_cb_lock);
    return g_uploaded.size();
}

// Clocks for the time seams: the host's clocks moved forward by a shift the test sets.
uint64_t clock_us(clockid_t id)
{
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}
std::atomic<uint64_t> g_tick_shift_us{0}, g_wall_shift_us{0};
uint64_t shifted_tick()
{
    return clock_us(CLOCK_MONOTONIC) + g_tick_shift_us.load();
}
uint64_t shifted_wall()
{
    return clock_us(CLOCK_REALTIME) + g_wall_shift_us.load();
}

std::string read_host_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string join(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &i : items)
        out += i + " ";
    return out;
}

// One request the cloud saw.
struct Seen {
    std::string path;
    bool ok;
    Json query;
};

std::string text_of(json_object *obj, const char *key)
{
    json_object *v = member(obj, key);
    return v ? json_object_get_string(v) : "";
}

class CloudUpload : public sdktest::SdkTest {
protected:
    void SetUp() override
    {
        sdktest::SdkTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(cloud_.start(root_, kKey, kToken));
        {
            std::lock_guard<std::mutex> lock(g_cb_lock);
            g_uploaded.clear();
        }
        // A real clip for ffprobe to read back.
        clip_mp4_ = root_.dir() + "/clip.mp4";
        ASSERT_EQ(zeltest::run_command("ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=10 -t 1 "
                                       "-c:v mpeg4 " + clip_mp4_),
                  0);
        script_login(R"({"bUrl":")" + cloud_.base() + R"(","security":")" + security(kKey, 16) +
                     R"(","token":")" + kToken + R"("})");
        vexa_http_test_set_limits(static_cast<long>(zeltest::scaled(2000ms).count()), 0);
        cloud_upload_test_set_pause_divisor(10);
        tell_status("cloud_connected");
        ASSERT_TRUE(zeltest::wait_until([&] { return camera_state() == 8; }, 5s));
    }

    void TearDown() override
    {
        ko_cloud_deinit();
        cloud_upload_test_set_pause_divisor(1);
        vexa_http_test_set_limits(0, 0);
        ko_time_set_tick_source(nullptr);
        ko_time_set_wall_source(nullptr);
        sdktest::SdkTest::TearDown();
    }

    static std::string security(const uint8_t *key, unsigned n)
    {
        char out[64];
        vexa_base64_encode_url(key, n, out, sizeof out);
        return out;
    }

    void script_login(const std::string &data, int delay_ms = 0)
    {
        Json text(json_object_new_string(data.c_str()));
        sim_->command(R"({"cmd":"script","method":"_sync.camera_login","delay_ms":)" + std::to_string(delay_ms) +
                      R"(,"reply":{"result":{"data":)" + json_object_to_json_string(text.get()) + "}}}");
    }

    void init()
    {
        cloud_init_param_t p{};
        snprintf(p.dir, sizeof p.dir, "/tmp/stream");
        p.check_face = 1;
        p.check_baby_cry = 1;
        p.audio_channel = 4;
        p.buffer_size = 2097152;
        p.upload_cb = on_uploaded;
        ASSERT_EQ(ko_cloud_init(&p), 0);
    }

    // Queues a clip of `group` (its mp4 the test clip) and returns its mp4 path.
    std::string queue_clip(int32_t group, bool end_of_block = false, uint64_t types = 0x2)
    {
        cloud_file_node_t n{};
        const int k = ++clips_;
        snprintf(n.mp4_path, sizeof n.mp4_path, "/tmp/stream/t%d.mp4", k);
        snprintf(n.jpeg_path, sizeof n.jpeg_path, "/tmp/stream/t%d.jpeg", k);
        const std::string mp4 = read_host_file(clip_mp4_);
        root_.write_file(n.mp4_path, mp4);
        root_.write_file(n.jpeg_path, std::string(3000, 'j'));
        n.create_tick_ms = vexa_time_tick_ms();
        n.duration_ms = 1000;
        n.group = group;
        n.end_of_block = end_of_block ? 1 : 0;
        n.event.types = types;
        n.size = static_cast<uint32_t>(mp4.size());
        n.video_codec = 35;
        n.audio_codec = 1032;
        n.width = 320;
        n.height = 240;
        n.first_frame_ms = vexa_time_get_ms();
        EXPECT_EQ(cloud_list_add(&n), 0);
        return n.mp4_path;
    }

    std::vector<Seen> seen() const
    {
        std::vector<Seen> out;
        for (const std::string &line : cloud_.requests()) {
            Json obj = zeltest::parse_json(line);
            Seen s;
            s.path = text_of(obj.get(), "path");
            s.ok = json_object_get_boolean(member(obj.get(), "ok"));
            s.query = zeltest::parse_json(json_object_to_json_string(member(obj.get(), "query")));
            out.push_back(std::move(s));
        }
        return out;
    }

    std::vector<std::string> paths(size_t from = 0) const
    {
        std::vector<std::string> out;
        const std::vector<Seen> all = seen();
        for (size_t i = from; i < all.size(); ++i)
            out.push_back(all[i].path);
        return out;
    }

    static size_t count_in(const std::vector<Seen> &requests, const std::string &path)
    {
        size_t n = 0;
        for (const Seen &s : requests)
            n += s.path == path;
        return n;
    }
    size_t count(const std::string &path) const { return count_in(seen(), path); }

    size_t logins()
    {
        Json got = sim_->command(R"({"cmd":"received","link":"rpc","since":0})");
        json_object *objects = member(got.get(), "objects");
        size_t n = 0;
        for (size_t i = 0; objects && i < json_object_array_length(objects); ++i)
            n += text_of(json_object_array_get_idx(objects, i), "method") == "_sync.camera_login";
        return n;
    }

    // The camera's reply (an object without method) with `id` on the RPC link from `since`, as
    // plain JSON text; "(none)" when none came.
    std::string reply_to(int id, int since)
    {
        std::string found = "(none)";
        zeltest::wait_until(
            [&] {
                Json got = sim_->command(R"({"cmd":"received","link":"rpc","since":)" + std::to_string(since) + "}");
                json_object *objects = member(got.get(), "objects");
                for (size_t i = 0; objects && i < json_object_array_length(objects); ++i) {
                    json_object *o = json_object_array_get_idx(objects, i);
                    json_object *v = member(o, "id");
                    if (!member(o, "method") && v && json_object_get_int(v) == id) {
                        found = sdktest::canonical(o);
                        return true;
                    }
                }
                return false;
            },
            5s);
        return found;
    }

    bool wait_count(const std::string &path, size_t n, std::chrono::milliseconds t = 20s)
    {
        return zeltest::wait_until([&] { return count(path) >= n; }, t);
    }

    // Ready: logged in, parameters fetched and a fileId prefetched.
    void wait_ready()
    {
        ASSERT_TRUE(wait_count(kPreUpload, 2)) << join(paths());
    }

    void script_once(const std::string &path, const std::string &fields, int times = 1)
    {
        cloud_.script(R"({"path":")" + path + R"(",)" + fields + R"(,"times":)" + std::to_string(times) + "}");
    }

    bool queued_files_gone(const std::vector<std::string> &mp4s) const
    {
        for (const std::string &p : mp4s)
            if (root_.exists(p))
                return false;
        return true;
    }

    int32_t queued()
    {
        int32_t n = 0;
        cloud_list_usage(&n, nullptr, nullptr);
        return n;
    }

    cloudtest::CloudSim cloud_;
    std::string clip_mp4_;
    int clips_ = 0;
};

TEST_F(CloudUpload, FirstConnectionThenAClipRunAndANewGroup)
{
    init();
    ASSERT_TRUE(sim_->wait_object("rpc", "_sync.camera_login", 0, 10000));
    wait_ready();
    const std::vector<std::string> first = paths();
    ASSERT_GE(first.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(first.begin(), first.begin() + 5),
              (std::vector<std::string>{kGop, kSwitch, kVip, kPreUpload, kPreUpload}));
    for (const Seen &s : seen())
        EXPECT_TRUE(s.ok) << s.path; // cookie, signatures and values all checked by the cloud

    queue_clip(1);
    queue_clip(1);
    queue_clip(1, true);
    ASSERT_TRUE(wait_count(kUpload, 3)) << join(paths());
    std::vector<Seen> posts;
    for (Seen &s : seen())
        if (s.path == kUpload)
            posts.push_back(std::move(s));
    ASSERT_EQ(posts.size(), 3u);
    const char *offsets[] = {"0", "1", "2"};
    const char *ops[] = {"midBlock", "midBlock", "endBlock"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(posts[i].ok);
        EXPECT_EQ(text_of(posts[i].query.get(), "offset"), offsets[i]);
        EXPECT_EQ(text_of(posts[i].query.get(), "operationType"), ops[i]);
        EXPECT_EQ(text_of(posts[i].query.get(), "fileId"), "fid-0001");
        Json extra = zeltest::parse_json(text_of(posts[i].query.get(), "extraInfo"));
        EXPECT_EQ(json_object_get_boolean(member(extra.get(), "alarmStart")), i == 0);
    }
    EXPECT_EQ(zeltest::run_command("ffprobe -v error " + cloud_.out() + "/last.mp4"), 0);
    EXPECT_EQ(read_host_file(cloud_.out() + "/last.mp4"), read_host_file(clip_mp4_));
    ASSERT_TRUE(zeltest::wait_until([] { return uploads_seen() >= 3; }, 5s));
    {
        std::lock_guard<std::mutex> lock(g_cb_lock);
        EXPECT_EQ(g_uploaded[0], (std::array<int64_t, 3>{2, 0, 7}));
    }

    // A new alarm group takes the prefetched fileId without asking.
    const size_t pre = count(kPreUpload);
    const size_t before = seen().size();
    queue_clip(2, true, 0x100000002ull);
    ASSERT_TRUE(wait_count(kUpload, 4));
    const std::vector<Seen> after = seen();
    EXPECT_EQ(after[before].path, kUpload) << join(paths(before));
    EXPECT_EQ(text_of(after[before].query.get(), "fileId"), "fid-0002");
    EXPECT_EQ(text_of(after[before].query.get(), "offset"), "0");
    // The next group's fileId may be fetched at any moment after the upload: judged in one snapshot.
    EXPECT_EQ(count_in(after, kPreUpload), pre + (after.size() > before + 1 ? 1 : 0));
    ASSERT_TRUE(zeltest::wait_until([] { return uploads_seen() >= 4; }, 5s));
    std::lock_guard<std::mutex> lock(g_cb_lock);
    EXPECT_EQ(g_uploaded[3], (std::array<int64_t, 3>{2, 1, 7}));
}

TEST_F(CloudUpload, ErrorCodesOfThePostLeadBackToUploading)
{
    init();
    wait_ready();
    struct Case {
        int code;
        std::vector<std::string> then; // what the cloud sees after the failed post
        bool new_login;
        bool dropped;
    };
    const Case cases[] = {
        {401, {kUpload}, true, false},
        {500, {kUpload}, false, false},
        {400203, {kUpload}, false, false}, // the prefetched fileId, then the same clip
        {400208, {kSwitch, kVip, kUpload}, false, false},
        {400, {kUpload}, false, true},
        {987654, {kGop, kSwitch, kVip, kUpload}, true, true}, // a fresh start after the pause
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        script_once(kUpload, R"("mode":"code","code":)" + std::to_string(c.code));
        const size_t from = seen().size();
        const size_t logins_before = logins();
        const size_t done = uploads_seen();
        const std::string failing = queue_clip(c.code);
        if (c.dropped)
            queue_clip(c.code + 1);
        ASSERT_TRUE(zeltest::wait_until([&] { return uploads_seen() == done + 1 && queued() == 0; }, 30s))
            << join(paths(from));
        std::vector<std::string> after = paths(from);
        // Prefetching a fileId may come between; it is not what the row asks for.
        after.erase(std::remove(after.begin(), after.end(), std::string(kPreUpload)), after.end());
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(after[0], kUpload);
        EXPECT_EQ(std::vector<std::string>(after.begin() + 1, after.end()), c.then);
        EXPECT_EQ(logins() > logins_before, c.new_login);
        EXPECT_FALSE(root_.exists(failing));
        const std::vector<Seen> all = seen();
        EXPECT_TRUE(all.back().ok);
        if (c.code == 400203) {
            std::vector<std::string> ids;
            for (size_t i = from; i < all.size(); ++i)
                if (all[i].path == kUpload)
                    ids.push_back(text_of(all[i].query.get(), "fileId"));
            ASSERT_EQ(ids.size(), 2u);
            EXPECT_NE(ids[0], ids[1]);
        }
        EXPECT_EQ(uploads_seen(), done + 1); // a dropped clip is never reported as uploaded
    }
}

TEST_F(CloudUpload, ErrorCodesOfTheRequestsRetryTheFailedStep)
{
    script_once(kGop, R"("mode":"unauthorized")");
    script_once(kSwitch, R"("mode":"code","code":401100)");
    script_once(kPreUpload, R"("mode":"code","code":500)");
    init();
    ASSERT_TRUE(wait_count(kPreUpload, 2, 30s)) << join(paths());
    // GOP's failure is not passed on; the refused switch logs in again and goes on from there; the
    // refused preUpload pauses and then idles, which prefetches.
    EXPECT_EQ(paths(), (std::vector<std::string>{kGop, kSwitch, kSwitch, kVip, kPreUpload, kPreUpload}));
    EXPECT_GE(logins(), 2u);
    queue_clip(1);
    ASSERT_TRUE(zeltest::wait_until([] { return uploads_seen() == 1; }, 20s));
}

TEST_F(CloudUpload, LapsedAccountDeletesTheQueueUntilTheNextUtcDay)
{
    ko_time_set_wall_source(shifted_wall);
    init();
    wait_ready();
    script_once(kUpload, R"("mode":"code","code":400219)");
    const std::vector<std::string> mp4s = {queue_clip(1), queue_clip(1), queue_clip(1)};
    ASSERT_TRUE(zeltest::wait_until([&] { return queued() == 0; }, 20s));
    EXPECT_TRUE(queued_files_gone(mp4s));
    EXPECT_EQ(count(kUpload), 1u);
    queue_clip(2);
    std::this_thread::sleep_for(zeltest::scaled(1500ms));
    EXPECT_EQ(count(kUpload), 1u);
    EXPECT_EQ(queued(), 1);
    g_wall_shift_us = 86400ull * 1000000u;
    ASSERT_TRUE(zeltest::wait_until([] { return uploads_seen() == 1; }, 20s));
    g_wall_shift_us = 0;
}

// With no clip queued every refusal of preUpload leads straight back to it: the next one waits.
TEST_F(CloudUpload, RefusedPreUploadIsNotAskedAgainAtOnce)
{
    script_once(kPreUpload, R"("mode":"code","code":400)", 1000);
    init();
    ASSERT_TRUE(wait_count(kPreUpload, 1)) << join(paths());
    const auto window = zeltest::scaled(2000ms);
    std::this_thread::sleep_for(window);
    // The wait after a refusal is a tenth of 10 s here: the first request and one a second at most.
    EXPECT_LE(count(kPreUpload), 2u + static_cast<unsigned>(window / 1000ms)) << join(paths());
}

TEST_F(CloudUpload, TwoStallsDropBothClipsAndLogInAgain)
{
    init();
    wait_ready();
    script_once(kUpload, R"("mode":"stall")", 8); // each post is tried four times
    const size_t logins_before = logins();
    const std::string a = queue_clip(1), b = queue_clip(1), c = queue_clip(1, true);
    ASSERT_TRUE(zeltest::wait_until([] { return uploads_seen() == 1; }, 60s)) << join(paths());
    EXPECT_EQ(count(kUpload), 9u);
    EXPECT_TRUE(queued_files_gone({a, b, c}));
    EXPECT_EQ(queued(), 0);
    EXPECT_GT(logins(), logins_before);
}

TEST_F(CloudUpload, HostileRepliesMapThroughTheTable)
{
    init();
    wait_ready();
    for (const char *mode : {"wrongsign", "pad17", "padover", "cut", "unauthorized", "flood", "len15"}) {
        SCOPED_TRACE(mode);
        script_once(kUpload, std::string(R"("mode":")") + mode + "\"");
        const size_t done = uploads_seen();
        queue_clip(1);
        queue_clip(1);
        ASSERT_TRUE(zeltest::wait_until([&] { return queued() == 0 && uploads_seen() >= done + 1; }, 40s))
            << join(paths());
    }
}

TEST_F(CloudUpload, ShortSecurityIsRefusedAndTheLoginRetried)
{
    uint8_t five[5] = {1, 2, 3, 4, 5};
    script_login(R"({"bUrl":")" + cloud_.base() + R"(","security":")" + security(five, 5) + R"(","token":")" +
                 kToken + R"("})");
    init();
    ASSERT_TRUE(zeltest::wait_until([&] { return logins() >= 2; }, zeltest::scaled(15s)));
    EXPECT_TRUE(paths().empty());
    script_login(R"({"bUrl":")" + cloud_.base() + R"(","security":")" + security(kKey, 16) + R"(","token":")" +
                 kToken + R"("})");
    wait_ready();
}

TEST_F(CloudUpload, LateLoginReplyIsTaken)
{
    script_login(R"({"bUrl":")" + cloud_.base() + R"(","security":")" + security(kKey, 16) + R"(","token":")" +
                     kToken + R"("})",
                 4000);
    init();
    ASSERT_TRUE(wait_count(kGop, 1, 30s));
    // The second request went out after the first time-out; the first reply answered the login.
    EXPECT_EQ(logins(), 2u);
}

TEST_F(CloudUpload, MethodsFromTheCloud)
{
    init();
    wait_ready();
    int since = sim_->received_count("rpc");
    sim_->send("rpc", R"({"id":9001,"method":"cloudSwitch","params":{"cloudSwitch":true}})");
    EXPECT_EQ(reply_to(9001, since), R"({"id":9001,"result":["OK"]})");

    // Deleting the active fileId makes the next clip take another.
    since = sim_->received_count("rpc");
    sim_->send("rpc", R"({"id":9002,"method":"vexa_camera_delete_files","params":{"fileIds":["x","fid-0001"]}})");
    EXPECT_EQ(reply_to(9002, since), R"({"id":9002,"result":["OK"]})");
    queue_clip(1);
    ASSERT_TRUE(wait_count(kUpload, 1));
    std::vector<Seen> posts;
    for (Seen &s : seen())
        if (s.path == kUpload)
            posts.push_back(std::move(s));
    EXPECT_NE(text_of(posts[0].query.get(), "fileId"), "fid-0001");

    // GOP values: a valid set reaches the hook; gop 11 gets neither a call nor a reply.
    since = sim_->received_count("rpc");
    sim_->send("rpc", R"({"id":9003,"method":"vexa_camera_put_gop_info","params":{"alarmOffsetLimit":2,)"
                      R"("cloudOffsetLimit":120,"gop":4}})");
    sim_->send("rpc", R"({"id":9004,"method":"vexa_camera_put_gop_info","params":{"alarmOffsetLimit":2,)"
                      R"("cloudOffsetLimit":120,"gop":11}})");
    ASSERT_TRUE(zeltest::wait_until(
        [] {
            const auto gops = zeltest::porting_hooks_seen().video_gops;
            return !gops.empty() && gops.back() == std::array<int, 3>{4, 120, 2};
        },
        5s));
    std::this_thread::sleep_for(zeltest::scaled(500ms));
    for (const auto &g : zeltest::porting_hooks_seen().video_gops)
        EXPECT_NE(g[0], 11);
    // No reply to either: GOP messages are not answered.
    Json later = sim_->command(R"({"cmd":"received","link":"rpc","since":)" + std::to_string(since) + "}");
    json_object *objects = member(later.get(), "objects");
    for (size_t i = 0; objects && i < json_object_array_length(objects); ++i) {
        json_object *id = member(json_object_array_get_idx(objects, i), "id");
        EXPECT_FALSE(id && (json_object_get_int(id) == 9003 || json_object_get_int(id) == 9004))
            << sdktest::canonical(json_object_array_get_idx(objects, i));
    }
}

TEST_F(CloudUpload, RefreshAndLoginAgeOnTheTick)
{
    ko_time_set_tick_source(shifted_tick);
    init();
    wait_ready();
    uint32_t r1 = 0, r2 = 0;
    cloud_upload_test_margins(&r1, &r2);
    const size_t switches = count(kSwitch), logins_before = logins();
    g_tick_shift_us = (79200ull + std::min(r1, r2) + 1) * 1000000u;
    const bool refresh_first = r2 < r1;
    if (refresh_first) {
        ASSERT_TRUE(wait_count(kSwitch, switches + 1));
        EXPECT_EQ(logins(), logins_before);
    } else {
        ASSERT_TRUE(zeltest::wait_until([&] { return logins() > logins_before; }, 10s));
    }
    g_tick_shift_us = (79200ull + std::max(r1, r2) + 2) * 1000000u;
    ASSERT_TRUE(wait_count(kSwitch, switches + 1));
    ASSERT_TRUE(zeltest::wait_until([&] { return logins() > logins_before; }, 10s));
    EXPECT_TRUE(wait_count(kVip, 2));
}

TEST_F(CloudUpload, DeinitAtAnyMomentReturnsSoonAndLeavesNoClip)
{
    std::mt19937 rng(34);
    const int rounds = zeltest::time_scale() > 1 ? 10 : 40;
    for (int i = 0; i < rounds; ++i) {
        SCOPED_TRACE(i);
        if (i % 3 == 1)
            script_once(kUpload, R"("mode":"stall")");
        init();
        queue_clip(1);
        queue_clip(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1500)(rng)));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(ko_cloud_deinit(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, zeltest::scaled(2s));
        EXPECT_EQ(queued(), 0);
        EXPECT_EQ(zeltest::run_command("ls " + root_.dir() + "/tmp/stream | grep -q ."), 1);
    }
    cloud_.script(R"({"path":"/common/device/v3/upload","mode":"ok"})");
    init();
    const size_t done = uploads_seen();
    queue_clip(1);
    ASSERT_TRUE(zeltest::wait_until([&] { return uploads_seen() > done; }, 30s));
}

TEST_F(CloudUpload, AccountStateDecidesWhatIsPosted)
{
    // Not subscribed and the free surveillance over: only the event is posted.
    cloud_.script(R"({"path":"/common/device/vip/status","mode":"answer","answer":{"result":"ok","vip":false,)"
                  R"("freeHomSurStatus":false,"freeHomeSurExpireTime":1000}})");
    init();
    wait_ready();
    queue_clip(1, true);
    ASSERT_TRUE(zeltest::wait_until([] { return uploads_seen() == 1; }, 20s));
    EXPECT_EQ(count("/common/device/v1/upload/event"), 1u);
    EXPECT_EQ(count(kUpload), 0u);
    ASSERT_EQ(ko_cloud_deinit(), 0);

    // Subscribed with the cloud switch off: the queue is emptied, nothing is posted.
    cloud_.script(R"({"path":"/common/device/vip/status","mode":"ok"})");
    cloud_.script(R"({"path":"/vexa/camera/device/v2/switch","mode":"answer","answer":{"result":"ok",)"
                  R"("cloudSwitch":false}})");
    const size_t vips = count(kVip);
    init();
    ASSERT_TRUE(wait_count(kVip, vips + 1));
    const std::string a = queue_clip(2), b = queue_clip(2);
    ASSERT_TRUE(zeltest::wait_until([&] { return queued() == 0; }, 10s));
    EXPECT_TRUE(queued_files_gone({a, b}));
    EXPECT_EQ(count(kUpload) + count("/common/device/v1/upload/event"), 1u);
}

TEST_F(CloudUpload, StatisticsReachTheDaemonWithEveryKey)
{
    init();
    wait_ready();
    script_once(kUpload, R"("mode":"stall")"); // the second attempt goes through
    queue_clip(1, true);
    ASSERT_TRUE(zeltest::wait_until([] { return uploads_seen() == 1; }, 20s));
    const int since = sim_->received_count("rpc");
    ASSERT_EQ(ko_message_send(KO_UID_STAT, KO_UID_CLOUD, "upload_statistics", "hello", 5, KO_MSG_MODE_ASYNC), 0);
    Json stat = sim_->wait_object("rpc", "_async.stat", since, 5000);
    ASSERT_TRUE(stat);
    json_object *info = member(member(stat.get(), "params"), "cloud.info");
    ASSERT_TRUE(info) << sdktest::canonical(stat.get());
    std::vector<std::string> keys;
    json_object_object_foreach(info, key, value)
    {
        EXPECT_TRUE(json_object_is_type(value, json_type_int)) << key;
        keys.emplace_back(key);
    }
    std::vector<std::string> want = {"vip", "switch", "expired", "event", "rec_mp4", "mp4_finish_err",
                                     "video_frame_err", "audio_frame_err", "mp4_size_min", "mp4_size_max",
                                     "handle_err", "add_node", "add_node_err"};
    for (int i = 1; i <= 10; ++i)
        want.push_back("rec_step" + std::to_string(i));
    for (const char *k : {"long_http", "mp4_cache_max", "mp4_encrypt_err", "pic_encrypt_err", "file_id", "jpeg_mp4_err",
                          "post_file", "post_file_err", "post_file_timeout", "post_file_retry", "post_file_avg_ms",
                          "post_file_avg_byte", "post_meta", "post_meta_err", "post_meta_timeout", "post_meta_retry",
                          "post_meta_avg_ms"})
        want.emplace_back(k);
    for (int i = 1; i <= 9; ++i)
        want.push_back("up_step" + std::to_string(i));
    EXPECT_EQ(keys, want);
    EXPECT_EQ(json_object_get_int(member(info, "vip")), 1);
    EXPECT_GE(json_object_get_int(member(info, "post_file")), 1);
    EXPECT_EQ(json_object_get_int(member(info, "post_file_retry")), 1);
    EXPECT_GE(json_object_get_int(member(info, "file_id")), 2);
}

} // namespace
