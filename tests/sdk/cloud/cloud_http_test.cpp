// The cloud requests against the simulated cloud (tests/peers/cloud_sim.py), which checks cookie,
// signatures, encrypted values and body trailers from the wire format alone, and scripts hostile
// replies per path through its control port.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "app/cloud/cloud_http.h"
#include "app/cloud/cloud_http_test.h"
#include "app/cloud/cloud_upload_test.h"
#include "cloud_sim_client.h"
#include "common/http/vexa_http_test.h"
#include "zel_test_support.h"

namespace {

const uint8_t kKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 1, 2, 3, 4, 5, 6, 7, 8};
const uint8_t kIv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12, 13, 14, 15, 16};
constexpr const char *kToken = "tok-zelmar-1";

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class CloudHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim_.start(root_, kKey, kToken));
        port_ = sim_.port();
        out_ = sim_.out();
        rec_.running = 1;
        rec_.check_face = 1;
        rec_.check_baby_cry = 1;
        cloud_http_test_set_context(sim_.base().c_str(), kKey, kToken, kIv, "zelmar.camera.z1", &rec_);
        ctx().offset = 0;
        ctx().active = {};
        vexa_http_test_set_limits(static_cast<long>(zeltest::scaled(std::chrono::milliseconds(1500)).count()), 0);
    }

    void TearDown() override
    {
        vexa_http_test_set_limits(0, 0);
        cloud_http_disconnect(&ctx().get_conn);
        cloud_http_disconnect(&ctx().post_conn);
    }

    static cloud_upload_ctx_t &ctx() { return cloud_upload_ctx(); }

    void script(const std::string &json) { sim_.script(json); }
    std::string last_request() const { return sim_.last_request(); }

    cloud_file_node_t clip(size_t mp4_size, size_t jpeg_size)
    {
        cloud_file_node_t n{};
        snprintf(n.mp4_path, sizeof n.mp4_path, "/tmp/stream/1.mp4");
        snprintf(n.jpeg_path, sizeof n.jpeg_path, "/tmp/stream/1.jpeg");
        std::string a, b;
        for (size_t i = 0; i < mp4_size; ++i)
            a += static_cast<char>(i * 31 % 253);
        for (size_t i = 0; i < jpeg_size; ++i)
            b += static_cast<char>(i * 17 % 241);
        root_.write_file(n.mp4_path, a);
        root_.write_file(n.jpeg_path, b);
        n.event.types = 0x2;
        n.video_codec = 35;
        n.audio_codec = 1032;
        n.width = 1920;
        n.height = 1080;
        n.duration_ms = 2950;
        n.end_of_block = 1;
        return n;
    }

    zeltest::TempRoot root_;
    cloudtest::CloudSim sim_;
    cloud_record_state_t rec_;
    int port_ = 0;
    std::string out_;
};

TEST_F(CloudHttp, ParametersAreFetchedAndStored)
{
    ASSERT_EQ(cloud_http_config_get_gop(&ctx()), 0) << last_request();
    EXPECT_EQ(rec_.gop, 5);
    EXPECT_EQ(rec_.alarm_offset_limit, 2);
    EXPECT_EQ(rec_.cloud_offset_limit, 300);
    EXPECT_NE(last_request().find("\"model\": \"zelmar.camera.z1\""), std::string::npos) << last_request();
    ASSERT_EQ(cloud_http_config_get(&ctx()), 0) << last_request();
    EXPECT_EQ(rec_.cloud_switch, 1);
    ASSERT_EQ(cloud_http_get_vipstatus(&ctx()), 0) << last_request();
    EXPECT_EQ(rec_.vip, 1);
    EXPECT_EQ(rec_.vip_expiry_ms, 1893456000000LL);
    EXPECT_NE(last_request().find("\"region\": \"CN\""), std::string::npos) << last_request();
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().active), 0) << last_request();
    EXPECT_EQ(ctx().active.state, 2);
    EXPECT_STREQ(ctx().active.file_id, "fid-0001");
    EXPECT_EQ(std::string(ctx().active.storage_url), "https://localhost:" + std::to_string(port_));
}

TEST_F(CloudHttp, ClipPostArrivesByteIdentical)
{
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().active), 0);
    rec_.vip = 1;
    const cloud_file_node_t n = clip(300001, 45000);
    ASSERT_EQ(cloud_http_file_post(&ctx(), &n), 0) << last_request();
    EXPECT_EQ(read_file(out_ + "/last.mp4"), root_.read_file(n.mp4_path));
    EXPECT_EQ(read_file(out_ + "/last.jpeg"), root_.read_file(n.jpeg_path));
    const std::string req = last_request();
    for (const char *want : {"\"offset\": \"0\"", "\"eventType\": \"PeopleMotion\"", "\"operationType\": \"endBlock\"",
                             "\"fileId\": \"fid-0001\"", "\\\"codecName\\\":\\\"h265\\\"",
                             "\\\"audioCodecName\\\":\\\"opus\\\"", "\"serverFaceCheck\": \"1\"",
                             "\\\"alarmStart\\\":true"})
        EXPECT_NE(req.find(want), std::string::npos) << want << " in " << req;
    ASSERT_EQ(cloud_http_post_event(&ctx(), &n), 0) << last_request();
}

TEST_F(CloudHttp, FacePhotoPostCarriesIdFeaturesAndSignedPhoto)
{
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().active), 0);
    cloud_file_node_t n = clip(1000, 1000);
    n.event.types = 0x200;
    const uint64_t id = 1234567890123ull;
    float values[4] = {0.5f, -1.25f, 2.0f, 3.5f};
    uint32_t words[4];
    std::memcpy(words, values, sizeof words);
    ko_event_face face{};
    std::memcpy(face.head, &id, sizeof id);
    face.feature = words;
    face.feature_num = 4;
    std::memcpy(n.event.face, &face, sizeof face);
    snprintf(n.face_path, sizeof n.face_path, "/tmp/stream/1_face.jpeg");
    std::string photo;
    for (int i = 0; i < 5000; ++i)
        photo += static_cast<char>(i * 3 % 256);
    root_.write_file(n.face_path, photo);
    ASSERT_EQ(cloud_http_face_jpeg_post(&ctx(), &n), 0) << last_request();
    EXPECT_EQ(read_file(out_ + "/last_face.jpeg"), photo);
    const std::string req = last_request();
    EXPECT_NE(req.find("\"figureId\": \"1234567890123\""), std::string::npos) << req;
    EXPECT_NE(req.find("\"features\": \"0.500000,-1.250000,2.000000,3.500000,\""), std::string::npos) << req;
    n.face_path[0] = 0;
    EXPECT_EQ(cloud_http_face_jpeg_post(&ctx(), &n), -1);
}

TEST_F(CloudHttp, ReplyFailuresGiveTheirResults)
{
    const std::string path = "/vexa/camera/device/v2/switch";
    struct want {
        const char *mode;
        int result;
    };
    for (const want &w : {want{"wrongsign", -1}, want{"wrongkey", -1}, want{"pad0", -1}, want{"pad17", -1},
                          want{"padover", -1}, want{"padmix", -1}, want{"iv15", -1}, want{"len15", -1},
                          want{"oversized", -1}, want{"fail_nocode", -1}, want{"badjson", -1},
                          want{"unauthorized", CLOUD_HTTP_UNAUTHORIZED}}) {
        script("{\"path\":\"" + path + "\",\"mode\":\"" + w.mode + "\"}");
        EXPECT_EQ(cloud_http_config_get(&ctx()), w.result) << w.mode;
    }
    script("{\"path\":\"" + path + "\",\"mode\":\"code\",\"code\":400208}");
    EXPECT_EQ(cloud_http_config_get(&ctx()), 400208);
    script("{\"path\":\"" + path + "\",\"mode\":\"code\",\"code\":0}");
    EXPECT_EQ(cloud_http_config_get(&ctx()), -1);
    script("{\"path\":\"" + path + "\",\"mode\":\"code\",\"code\":\"x\"}");
    EXPECT_EQ(cloud_http_config_get(&ctx()), -1);
    script("{\"path\":\"" + path + "\",\"mode\":\"status\",\"status\":503}");
    EXPECT_EQ(cloud_http_config_get(&ctx()), 503);
    script("{\"path\":\"" + path + "\",\"mode\":\"cut\"}");
    EXPECT_GT(cloud_http_config_get(&ctx()), 0);
    // The service recovers once it answers properly again.
    script("{\"path\":\"" + path + "\",\"mode\":\"ok\"}");
    EXPECT_EQ(cloud_http_config_get(&ctx()), 0);
}

TEST_F(CloudHttp, StallTimesOut)
{
    script("{\"path\":\"/common/device/getGOPInfo\",\"mode\":\"stall\"}");
    EXPECT_EQ(cloud_http_config_get_gop(&ctx()), 28);
}

TEST_F(CloudHttp, FloodIsCutAndAPostNobodyReadsTimesOut)
{
    script("{\"path\":\"/common/device/getGOPInfo\",\"mode\":\"flood\"}");
    EXPECT_EQ(cloud_http_config_get_gop(&ctx()), -1);
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().active), 0);
    script("{\"path\":\"/common/device/v3/upload\",\"mode\":\"noread\"}");
    cloud_upload_test_set_pause_divisor(20);
    const cloud_file_node_t n = clip(4 << 20, 1000);
    EXPECT_EQ(cloud_http_file_post(&ctx(), &n), 28);
    cloud_upload_test_set_pause_divisor(1);
    // The service is still there for the others.
    EXPECT_EQ(cloud_http_config_get(&ctx()), 0);
}

TEST_F(CloudHttp, StopAbortsATransferAtOnce)
{
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().active), 0);
    script("{\"path\":\"/common/device/v3/upload\",\"mode\":\"noread\"}");
    vexa_http_test_set_limits(60000, 0);
    const cloud_file_node_t n = clip(4 << 20, 1000);
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        rec_.running = 0;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cloud_http_file_post(&ctx(), &n), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, zeltest::scaled(std::chrono::seconds(3)));
    stop.join();
}

TEST_F(CloudHttp, StorageUrlArrays)
{
    const std::string base = "https://localhost:" + std::to_string(port_);
    const std::string u200 = base + "/" + std::string(200 - base.size() - 1, 'a');
    const std::string u300 = base + "/" + std::string(300 - base.size() - 1, 'b');
    const std::string path = "/common/device/preUpload";
    script("{\"path\":\"" + path + "\",\"mode\":\"urls\",\"urls\":[\"" + u200 + "\"]}");
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), 0);
    EXPECT_EQ(std::string(ctx().prefetch.storage_url), u200);
    script("{\"path\":\"" + path + "\",\"mode\":\"urls\",\"urls\":[\"" + u200 + "\",\"" + u300 + "\"]}");
    ctx().prefetch = {};
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), 0);
    EXPECT_EQ(std::string(ctx().prefetch.storage_url), u200);
    ctx().prefetch = {};
    script("{\"path\":\"" + path + "\",\"mode\":\"urls\",\"urls\":[\"" + u300 + "\",\"" + u200 + "\"]}");
    EXPECT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), -1);
    script("{\"path\":\"" + path + "\",\"mode\":\"urls\",\"urls\":[\"\"]}");
    EXPECT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), -1);
    script("{\"path\":\"" + path + "\",\"mode\":\"urls\",\"urls\":[]}");
    EXPECT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), -1);
    EXPECT_EQ(ctx().prefetch.state, 0);
}

TEST_F(CloudHttp, FileIdMustFitItsSlot)
{
    const std::string path = "/common/device/preUpload";
    const std::string longest(sizeof ctx().prefetch.file_id - 1, 'f');
    script("{\"path\":\"" + path + "\",\"mode\":\"fileid\",\"fileId\":\"" + longest + "\"}");
    ASSERT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), 0);
    EXPECT_EQ(std::string(ctx().prefetch.file_id), longest);
    ctx().prefetch = {};
    script("{\"path\":\"" + path + "\",\"mode\":\"fileid\",\"fileId\":\"" + longest + "f\"}");
    EXPECT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), -1) << "128 characters do not fit";
    script("{\"path\":\"" + path + "\",\"mode\":\"fileid\",\"fileId\":\"\"}");
    EXPECT_EQ(cloud_http_pre_upload_request(&ctx(), &ctx().prefetch), -1);
    EXPECT_EQ(ctx().prefetch.state, 0);
}

TEST_F(CloudHttp, WrongTokenIsRefusedByTheService)
{
    cloud_http_test_set_context(("https://localhost:" + std::to_string(port_)).c_str(), kKey, "other", kIv,
                                "zelmar.camera.z1", &rec_);
    EXPECT_EQ(cloud_http_config_get(&ctx()), 403);
    EXPECT_NE(last_request().find("bad cookie"), std::string::npos);
}

} // namespace
