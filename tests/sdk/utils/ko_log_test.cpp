// The SDK logger: line format, level filter, the memory-mapped window (dropping whole lines, restart
// after the earlier text), the nearly-full status and the safety backup.
#include "common/utils/ko_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "zel_test_support.h"

namespace {

ko_log_param make_param(uint32_t level, uint32_t output, uint32_t size = 8192)
{
    ko_log_param p{};
    p.level = level;
    p.output = output;
    std::strcpy(p.file_path, "/tmp/tolk_log.txt");
    p.file_size = size;
    return p;
}

// The file's text: everything before the zero padding.
std::string file_text(const zeltest::TempRoot &root)
{
    const std::string all = root.read_file("/tmp/tolk_log.txt");
    return all.substr(0, all.find('\0'));
}

} // namespace

TEST(KoLog, LineCarriesLevelTimeModuleFileAndLine)
{
    zeltest::TempRoot root;
    const ko_log_param p = make_param(KO_LOG_INFO, KO_LOG_OUT_CONSOLE | KO_LOG_OUT_FILE);
    ASSERT_EQ(ko_log_init(&p), 0);
    testing::internal::CaptureStdout();
    ko_log(KO_LOG_ERROR, "/a/b/kv_store.cpp", "KO KV", "fn", 42, "value %d\n", 7);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.rfind("\033[31m", 0), 0u);
    EXPECT_NE(console.find("\033[0m"), std::string::npos);

    const std::string text = file_text(root);
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[E\]\[\d{4} \d\d:\d\d:\d\d\.\d{3}\]\[KO KV\]\[kv_store\.cpp:42\]value 7\n)")))
        << text;
    EXPECT_EQ(text.find("fn"), std::string::npos);
    EXPECT_EQ(ko_log_deinit(), 0);
}

TEST(KoLog, LevelFilterAndLevelZeroKeepsFileEmpty)
{
    zeltest::TempRoot root;
    ko_log_param p = make_param(KO_LOG_INFO, KO_LOG_OUT_CONSOLE | KO_LOG_OUT_FILE);
    ASSERT_EQ(ko_log_init(&p), 0);
    testing::internal::CaptureStdout();
    KO_LOGD("KO T", "hidden\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(file_text(root), "");
    ASSERT_EQ(ko_log_deinit(), 0);

    p = make_param(KO_LOG_DEBUG, KO_LOG_OUT_FILE);
    ASSERT_EQ(ko_log_init(&p), 0);
    KO_LOGE("KO T", "not in the file at level 0\n");
    EXPECT_EQ(file_text(root), "");
    ASSERT_EQ(ko_log_deinit(), 0);
}

TEST(KoLog, BareMessagesBeforeInitAndRefusedStarts)
{
    zeltest::TempRoot root;
    testing::internal::CaptureStdout();
    KO_LOGD("KO T", "plain %s\n", "text");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain text\n");

    ko_log_param p = make_param(KO_LOG_INFO, KO_LOG_OUT_FILE, 8191);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ko_log_init(&p), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("log buffer too small 8191"), std::string::npos);
    p = make_param(5, KO_LOG_OUT_CONSOLE);
    EXPECT_EQ(ko_log_init(nullptr), -1);
    EXPECT_EQ(ko_log_init(&p), -1);
    EXPECT_EQ(ko_log_deinit(), -1);
    EXPECT_EQ(ko_log_file_status_get(), 0);
}

TEST(KoLog, FullWindowDropsWholeLinesFromTheFront)
{
    zeltest::TempRoot root;
    const ko_log_param p = make_param(KO_LOG_INFO, KO_LOG_OUT_FILE);
    ASSERT_EQ(ko_log_init(&p), 0);
    for (int i = 0; i < 2000; ++i)
        KO_LOGI("KO T", "line %04d %s\n", i, "padding padding padding");
    const std::string all = root.read_file("/tmp/tolk_log.txt");
    EXPECT_EQ(all.size() % 4096, 0u);
    EXPECT_GE(all.size(), 8192u);
    const std::string text = file_text(root);
    EXPECT_LT(text.size(), all.size());
    // Only zeros behind the text, and the text is whole lines ending with the newest.
    EXPECT_EQ(all.find_first_not_of('\0', text.size()), std::string::npos);
    EXPECT_EQ(text.rfind("[I]", 0), 0u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("line 1999 "), std::string::npos);
    EXPECT_EQ(text.find("line 0000 "), std::string::npos);
    size_t lines = 0;
    for (size_t pos = 0; pos < text.size(); pos = text.find('\n', pos) + 1, ++lines)
        EXPECT_EQ(text.compare(pos, 3, "[I]"), 0) << pos;
    EXPECT_GT(lines, 50u);
    ASSERT_EQ(ko_log_deinit(), 0);
}

TEST(KoLog, RestartWritesAfterTheEarlierText)
{
    zeltest::TempRoot root;
    const ko_log_param p = make_param(KO_LOG_INFO, KO_LOG_OUT_FILE);
    ASSERT_EQ(ko_log_init(&p), 0);
    KO_LOGI("KO T", "first run\n");
    ASSERT_EQ(ko_log_deinit(), 0);
    ASSERT_EQ(ko_log_init(&p), 0);
    KO_LOGI("KO T", "second run\n");
    ASSERT_EQ(ko_log_deinit(), 0);
    const std::string text = file_text(root);
    const size_t first = text.find("first run\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("second run\n", first), std::string::npos);
}

TEST(KoLog, NearlyFullStatusAndSafetyBackup)
{
    zeltest::TempRoot root;
    const ko_log_param p = make_param(KO_LOG_INFO, KO_LOG_OUT_FILE);
    ASSERT_EQ(ko_log_init(&p), 0);
    EXPECT_EQ(ko_log_file_status_get(), 0);
    const std::string chunk(99, 'x');
    size_t before = 0;
    for (int i = 0; ko_log_file_status_get() == 0; ++i) {
        before = file_text(root).size();
        KO_LOGI("KO T", "%s\n", chunk.c_str());
        ASSERT_LT(i, 1000);
    }
    // It turns 1 with the line that brings the text to the window length less 2048 bytes.
    EXPECT_LT(before, 8192u - 2048u);
    EXPECT_GE(file_text(root).size(), 8192u - 2048u);
    ASSERT_EQ(ko_log_file_safety_backup("/tmp/tolk_log_backup.txt"), 0);
    EXPECT_EQ(ko_log_file_status_get(), 0);
    EXPECT_EQ(root.read_file("/tmp/tolk_log_backup.txt"), file_text(root));
    EXPECT_EQ(ko_log_file_safety_backup("/no/such/dir/backup.txt"), -1);
    ASSERT_EQ(ko_log_deinit(), 0);
    EXPECT_EQ(ko_log_file_safety_backup("/tmp/tolk_log_backup.txt"), -1);
}

TEST(KoLog, ParamSetMovesTheFileAndChangesTheLevel)
{
    zeltest::TempRoot root;
    ko_log_param p = make_param(KO_LOG_INFO, KO_LOG_OUT_FILE);
    ko_log_param got{};
    EXPECT_EQ(ko_log_param_set(&p), -1);
    ASSERT_EQ(ko_log_init(&p), 0);
    std::strcpy(p.file_path, "/tmp/other_log.txt");
    p.level = KO_LOG_WARN;
    ASSERT_EQ(ko_log_param_set(&p), 0);
    ASSERT_EQ(ko_log_param_get(&got), 0);
    EXPECT_STREQ(got.file_path, "/tmp/other_log.txt");
    EXPECT_EQ(got.level, static_cast<uint32_t>(KO_LOG_WARN));
    KO_LOGI("KO T", "below\n");
    KO_LOGW("KO T", "moved\n");
    const std::string other = root.read_file("/tmp/other_log.txt");
    EXPECT_NE(other.find("moved"), std::string::npos);
    EXPECT_EQ(other.find("below"), std::string::npos);
    EXPECT_EQ(ko_log_param_get(nullptr), -1);
    ASSERT_EQ(ko_log_deinit(), 0);
}
