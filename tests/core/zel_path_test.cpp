#include "zelmar/zel_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "zel_test_support.h"

TEST(PathRoot, UnsetRootLeavesPathAsItIs)
{
    unsetenv("ZELMAR_ROOT");
    EXPECT_EQ(zel_path("/mnt/data/x"), "/mnt/data/x");
    EXPECT_STREQ(zel_path_root(), "");
}

TEST(PathRoot, RootPrefixesEveryDevicePath)
{
    zeltest::TempRoot root;
    EXPECT_EQ(zel_path("/tmp/zel_db.socket"), root.dir() + "/tmp/zel_db.socket");
    setenv("ZELMAR_ROOT", (root.dir() + "/").c_str(), 1);
    EXPECT_EQ(zel_path("/proc/mtd"), root.dir() + "/proc/mtd");
}

TEST(PathRoot, MapRefusesNullAndSmallBuffers)
{
    zeltest::TempRoot root;
    char small[4];
    EXPECT_EQ(zel_path_map(nullptr, small, sizeof small), -2);
    EXPECT_EQ(zel_path_map("/mnt/data", small, sizeof small), -22);
    char big[512];
    ASSERT_EQ(zel_path_map("/mnt/data", big, sizeof big), 0);
    EXPECT_EQ(std::string(big), root.dir() + "/mnt/data");
}
