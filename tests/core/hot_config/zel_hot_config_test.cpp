// The encoder hot configuration: parse limits, OSD texts replaced in place, serialising (checked by
// Python's json), merging and reading modules with buffers that are too small, and the media app's
// conversion through its index tables.
#include "zel_control/hot_config/zel_hot_config.h"
#include "zel_media_hot_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zel_test_support.h"

namespace {

struct Config : zel_hot_config_t {
    Config() : zel_hot_config_t{} {}
    ~Config() { zel_hot_config_free_osd(this); }
};

const char *kFull =
    R"({"ver":"1.0.3","video":[{"res":0,"pt":96,"bps":9,"fps":25,"bps_c":1,"pf":2},)"
    R"({"res":2,"pt":96,"bps":3,"fps":15,"bps_c":2,"pf":1}],)"
    R"("osd":[{"data":"Front door","x":16,"y":32},{"data":"2026-12-09 \"cam\" / \u00e9","x":640,"y":8}],)"
    R"("audio":{"at":1032,"v":80,"sr":16000,"sb":16}})";

} // namespace

TEST(ZelHotConfigParse, ReadsEveryMember)
{
    Config c;
    ASSERT_EQ(zel_hot_config_str_to_object(&c, kFull), 0);
    EXPECT_EQ(std::string(c.ver, strnlen(c.ver, 8)), "1.0.3");
    EXPECT_EQ(c.video[0].fps, 25);
    EXPECT_EQ(c.video[0].bps, 9);
    EXPECT_EQ(c.video[1].res, 2);
    EXPECT_EQ(c.video[1].pf, 1);
    EXPECT_EQ(c.video[0].reserved, 0);
    EXPECT_EQ(c.audio.at, 1032);
    EXPECT_EQ(c.audio.sr, 16000);
    EXPECT_STREQ(c.osd[0].data, "Front door");
    EXPECT_EQ(c.osd[1].x, 640);
    EXPECT_EQ(c.osd[2].data, nullptr);
}

TEST(ZelHotConfigParse, RefusesBadInput)
{
    Config c;
    EXPECT_EQ(zel_hot_config_str_to_object(nullptr, kFull), -1);
    EXPECT_EQ(zel_hot_config_str_to_object(&c, nullptr), -1);
    EXPECT_EQ(zel_hot_config_str_to_object(&c, "{\"ver\":"), -1);
    EXPECT_EQ(zel_hot_config_str_to_object(&c, "[1,2]"), -1);
    EXPECT_EQ(zel_hot_config_str_to_object(&c, R"({"video":[]})"), -1);  // no "ver"
    EXPECT_EQ(zel_hot_config_str_to_object(&c, R"({"ver":"1","video":{"fps":1}})"), -1);
}

TEST(ZelHotConfigParse, ThreeVideoEntriesStoreNone)
{
    Config c;
    EXPECT_EQ(zel_hot_config_str_to_object(&c, R"({"ver":"2","video":[{"fps":1},{"fps":2},{"fps":3}]})"), -1);
    EXPECT_EQ(c.video[0].fps, 0);
    EXPECT_EQ(c.video[1].fps, 0);
}

TEST(ZelHotConfigParse, SevenOsdEntriesKeepVideoAndAudio)
{
    Config c;
    std::string text = R"({"ver":"3","video":[{"fps":30}],"audio":{"sr":8000},"osd":[)";
    for (int i = 0; i < 7; i++)
        text += std::string(i ? "," : "") + R"({"x":1,"y":1,"data":"t"})";
    text += "]}";
    EXPECT_EQ(zel_hot_config_str_to_object(&c, text.c_str()), -1);
    EXPECT_EQ(c.video[0].fps, 30);
    EXPECT_EQ(c.audio.sr, 8000);
    EXPECT_EQ(c.osd[0].data, nullptr);
}

TEST(ZelHotConfigParse, AnEmptyOsdTextLeavesTheSlotEmpty)
{
    Config c;
    EXPECT_EQ(zel_hot_config_str_to_object(&c, R"({"ver":"4","osd":[{"x":3,"y":4,"data":""}]})"), 0);
    EXPECT_EQ(c.osd[0].data, nullptr);
    EXPECT_EQ(c.osd[0].x, 3);
}

TEST(ZelHotConfigParse, ALongerOsdTextReplacesAShorterOne)
{
    // Parsed twice into one record: the slot grows to the new text (ASan sees any overflow).
    Config c;
    ASSERT_EQ(zel_hot_config_str_to_object(&c, R"({"ver":"5","osd":[{"x":1,"y":1,"data":"ab"}]})"), 0);
    const std::string longer(300, 'z');
    ASSERT_EQ(zel_hot_config_str_to_object(&c, (R"({"ver":"5","osd":[{"x":1,"y":1,"data":")" + longer + "\"}]}").c_str()),
              0);
    EXPECT_EQ(std::string(c.osd[0].data), longer);
    ASSERT_EQ(zel_hot_config_str_to_object(&c, R"({"ver":"5","osd":[{"x":1,"y":1,"data":"q"}]})"), 0);
    EXPECT_STREQ(c.osd[0].data, "q");
}

TEST(ZelHotConfigSerialise, LeavesOutWhatIsUnset)
{
    Config c;
    std::memcpy(c.ver, "9", 2);
    c.video[0].fps = 20;
    c.video[0].res = 1;
    c.video[0].pt = 96;
    c.video[0].bps = 4;
    char buf[512];
    ASSERT_EQ(zel_hot_config_object_to_str(buf, sizeof buf, c), 0);
    EXPECT_STREQ(buf, R"({"ver":"9","video":[{"res":1,"pt":96,"bps":4,"fps":20}]})");
    c.video[0].fps = 0;
    ASSERT_EQ(zel_hot_config_object_to_str(buf, sizeof buf, c), 0);
    EXPECT_STREQ(buf, R"({"ver":"9"})");
}

TEST(ZelHotConfigSerialise, AnEightCharacterVersionIsNotReadPastItsField)
{
    Config c;
    std::memcpy(c.ver, "12345678", 8);  // no NUL within the field
    c.video[0].reserved = 0x41414141;  // what follows the field in memory
    char buf[128];
    ASSERT_EQ(zel_hot_config_object_to_str(buf, sizeof buf, c), 0);
    EXPECT_STREQ(buf, R"({"ver":"12345678"})");
}

TEST(ZelHotConfigSerialise, ATooSmallBufferIsRefused)
{
    Config c;
    ASSERT_EQ(zel_hot_config_str_to_object(&c, kFull), 0);
    char buf[512];
    ASSERT_EQ(zel_hot_config_object_to_str(buf, sizeof buf, c), 0);
    const unsigned exact = static_cast<unsigned>(std::strlen(buf));
    EXPECT_EQ(zel_hot_config_object_to_str(buf, exact, c), -1);  // no room for the NUL
    EXPECT_EQ(zel_hot_config_object_to_str(buf, exact + 1, c), 0);
    EXPECT_EQ(zel_hot_config_object_to_str(nullptr, 100, c), -1);
}

TEST(ZelHotConfigSerialise, PythonReadsTheSameDocumentBack)
{
    zeltest::TempRoot root;
    Config c;
    ASSERT_EQ(zel_hot_config_str_to_object(&c, kFull), 0);
    char buf[1024];
    ASSERT_EQ(zel_hot_config_object_to_str(buf, sizeof buf, c), 0);
    root.write_file("/tmp/in.json", kFull);
    root.write_file("/tmp/out.json", buf);
    const std::string cmd = std::string(ZEL_PYTHON) +
                            " -c 'import json,sys; a=json.load(open(sys.argv[1])); b=json.load(open(sys.argv[2]));"
                            " sys.exit(0 if a == b else 1)' " +
                            root.path("/tmp/in.json") + " " + root.path("/tmp/out.json");
    EXPECT_EQ(zeltest::run_command(cmd), 0) << buf;
}

TEST(ZelHotConfigMerge, CopiesTheFirstModuleAndNamesIt)
{
    char json[256] = R"({"ver":"1","audio":{"sr":8000}})";
    char module[16];
    ASSERT_EQ(zel_hot_config_add_obj_to_obj(json, sizeof json, R"({"osd":[],"audio":{"sr":16000}})", module,
                                            sizeof module),
              0);
    EXPECT_STREQ(module, "audio");  // "audio" comes before "osd"
    EXPECT_STREQ(json, R"({"ver":"1","audio":{"sr":16000}})");
    char record[256] = R"({"ver":"1"})";
    ASSERT_EQ(zel_record_hot_config_add_obj_to_obj(record, sizeof record, R"({"record":{"on":1}})", module,
                                                   sizeof module),
              0);
    EXPECT_STREQ(module, "record");
    EXPECT_STREQ(record, R"({"ver":"1","record":{"on":1}})");
}

TEST(ZelHotConfigMerge, AShortModuleBufferGetsATerminatedPrefix)
{
    char json[256] = R"({"ver":"1"})";
    char module[3] = {'#', '#', '#'};
    ASSERT_EQ(zel_hot_config_add_obj_to_obj(json, sizeof json, R"({"video":[]})", module, sizeof module), 0);
    EXPECT_STREQ(module, "vi");
    char wide[32];
    std::memset(wide, '#', sizeof wide);
    ASSERT_EQ(zel_hot_config_add_obj_to_obj(json, sizeof json, R"({"osd":[]})", wide, sizeof wide), 0);
    EXPECT_STREQ(wide, "osd");
}

TEST(ZelHotConfigMerge, ATextThatDoesNotFitIsRefusedAndLeftAlone)
{
    char json[24] = R"({"ver":"1"})";
    char module[16];
    EXPECT_EQ(zel_hot_config_add_obj_to_obj(json, sizeof json, R"({"video":[{"fps":25,"res":1}]})", module,
                                            sizeof module),
              -1);
    EXPECT_STREQ(json, R"({"ver":"1"})");
    EXPECT_EQ(zel_hot_config_add_obj_to_obj(json, sizeof json, R"({"other":1})", module, sizeof module), -1);
    EXPECT_EQ(zel_hot_config_add_obj_to_obj(json, sizeof json, "nope", module, sizeof module), -1);
    char bad[16] = "nope";
    EXPECT_EQ(zel_hot_config_add_obj_to_obj(bad, sizeof bad, R"({"video":[]})", module, sizeof module), -1);
    EXPECT_EQ(zel_hot_config_add_obj_to_obj(nullptr, 10, R"({"video":[]})", module, sizeof module), -1);
}

TEST(ZelHotConfigModule, ReturnsAMemberOnlyWhenItFits)
{
    char out[64];
    ASSERT_EQ(zel_hot_config_str_get_module(kFull, "audio", out, sizeof out), 0);
    EXPECT_STREQ(out, R"({"at":1032,"v":80,"sr":16000,"sb":16})");
    const int exact = static_cast<int>(std::strlen(out));
    EXPECT_EQ(zel_hot_config_str_get_module(kFull, "audio", out, exact), -1);
    EXPECT_EQ(zel_hot_config_str_get_module(kFull, "audio", out, exact + 1), 0);
    EXPECT_EQ(zel_hot_config_str_get_module(kFull, "missing", out, sizeof out), -1);
    EXPECT_EQ(zel_hot_config_str_get_module("{", "audio", out, sizeof out), -1);
    EXPECT_EQ(zel_hot_config_str_get_module(kFull, nullptr, out, sizeof out), -1);
}

TEST(ZelMediaHotConfig, ConvertsThroughTheIndexTables)
{
    init_config = zel_media_encoder_config_t{};
    ASSERT_EQ(hot_config_str_to_vencconfig(kFull), 0);
    EXPECT_EQ(init_config.converted, 1);
    EXPECT_EQ(init_config.venc[0].width, 1920);
    EXPECT_EQ(init_config.venc[0].height, 1080);
    EXPECT_EQ(init_config.venc[0].bps, 2400000);
    EXPECT_EQ(init_config.venc[0].fps, 25);
    EXPECT_EQ(init_config.venc[0].bps_c, 1);
    EXPECT_EQ(init_config.venc[1].width, 640);
    EXPECT_EQ(init_config.venc[1].bps, 900000);  // index 3 lies above index 4
    EXPECT_EQ(hot_config_str_to_vencconfig("{}"), -1);
}

TEST(ZelMediaHotConfig, AnUnknownIndexLeavesItsValue)
{
    init_config = zel_media_encoder_config_t{};
    init_config.venc[0].bps = 1234;
    init_config.venc[0].width = 77;
    ASSERT_EQ(hot_config_str_to_vencconfig(R"({"ver":"1","video":[{"fps":10,"bps":12,"res":9}]})"), 0);
    EXPECT_EQ(init_config.venc[0].bps, 1234);
    EXPECT_EQ(init_config.venc[0].width, 77);
    EXPECT_EQ(init_config.venc[0].fps, 10);
}
