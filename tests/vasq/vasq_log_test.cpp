// The streaming SDK's log file: its line format, the level threshold and a path it cannot open.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "vasq_log.h"
#include "zel_test_support.h"

namespace {

std::vector<std::string> lines(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

TEST(VasqLog, LinesAboveTheThresholdWithDateLetterFileAndLine)
{
    zeltest::TempRoot root;
    const std::string path = root.dir() + "/vasq.log";
    ASSERT_EQ(vasq_log_set_path(path.c_str()), 0);
    vasq_log_set_level(2);
    vasq_log_print(1, "a.c", 10, "hidden %d\n", 1);
    vasq_log_print(2, "b.c", 20, "shown %s\n\n", "info");
    vasq_log_print(4, "c.c", 30, "%s", std::string(3000, 'x').c_str());
    const auto got = lines(path);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(std::regex_match(got[0], std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} I\] \[b\.c\]\[20\]shown info)")))
        << got[0];
    EXPECT_NE(got[1].find(" E] [c.c][30]"), std::string::npos);
    EXPECT_EQ(got[1].size() - got[1].find("]x") - 1, 1023u) << "the message is cut at 1023 characters";
    vasq_log_set_level(0);
}

TEST(VasqLog, APathThatCannotBeOpenedGivesItsErrno)
{
    EXPECT_EQ(vasq_log_set_path("/nonexistent-dir/vasq.log"), ENOENT);
    EXPECT_EQ(vasq_log_set_path(nullptr), EINVAL);
}

} // namespace
