// File and directory helpers on a temporary root.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "zel_test_support.h"
#include "zelmar/zel_file.h"

namespace {

TEST(ZelFile, SafeStrcatAppendsWhatFits)
{
    char buf[10] = "abc";
    EXPECT_EQ(safe_strcat(buf, "123456", sizeof buf), 0);
    EXPECT_STREQ(buf, "abc123456");
    char buf2[10] = "abc";
    EXPECT_EQ(safe_strcat(buf2, "1234567", sizeof buf2), -2);
    EXPECT_STREQ(buf2, "abc123456");
    EXPECT_EQ(safe_strcat(nullptr, "x", 4), -1);
}

TEST(ZelFile, ReadWriteStringAndContents)
{
    zeltest::TempRoot root;
    const std::string path = root.path("/tmp/f.txt");
    EXPECT_EQ(file_write_string("hello", path.c_str()), 6);
    char buf[4];
    EXPECT_EQ(file_read_string(buf, sizeof buf, path.c_str()), 3);
    EXPECT_STREQ(buf, "hel");
    // Written at the start, not truncated.
    EXPECT_EQ(file_write_string("J", path.c_str()), 2);
    EXPECT_EQ(root.read_file("/tmp/f.txt"), "J\nllo\n");
    EXPECT_EQ(file_write_string(std::string(200, 'x').c_str(), path.c_str()), 80);
    EXPECT_EQ(file_read_string(buf, sizeof buf, root.path("/tmp/none").c_str()), -1);

    const std::string data = "0123456789";
    const std::string p2 = root.path("/tmp/c.bin");
    EXPECT_EQ(file_put_contents(p2.c_str(), data.data(), 10, ZEL_FILE_LOCK_EX), 10);
    EXPECT_EQ(file_put_contents(p2.c_str(), "ab", 2, ZEL_FILE_NO_TRUNC), 2);
    EXPECT_EQ(root.read_file("/tmp/c.bin"), "ab23456789");
    EXPECT_EQ(file_put_contents(p2.c_str(), "Z", 1, ZEL_FILE_APPEND), 1);
    EXPECT_EQ(root.read_file("/tmp/c.bin"), "ab23456789Z");
    EXPECT_EQ(file_put_contents(p2.c_str(), "Q", 1, 0), 1);
    EXPECT_EQ(root.read_file("/tmp/c.bin"), "Q");
    EXPECT_EQ(file_put_contents(p2.c_str(), "Q", 1, ZEL_FILE_EXCL), -1);
    char cbuf[16] = {};
    EXPECT_EQ(file_get_contents(p2.c_str(), cbuf, sizeof cbuf, ZEL_FILE_LOCK_SH), 1);
    EXPECT_EQ(file_get_contents(root.path("/tmp/none").c_str(), cbuf, sizeof cbuf, 0), -1);
}

TEST(ZelFile, DirUsageCountsWholeKibOfRegularFiles)
{
    zeltest::TempRoot root;
    root.write_file("/mnt/sdcard/d/one", "x");
    EXPECT_EQ(dir_usage(root.path("/mnt/sdcard/d").c_str()), 1);
    EXPECT_EQ(dir_usage(root.path("/mnt/sdcard/d/one").c_str()), 1);
    root.write_file("/mnt/sdcard/d/sub/two", std::string(2049, 'y'));
    ASSERT_EQ(symlink(root.path("/mnt/sdcard/d/sub/two").c_str(), root.path("/mnt/sdcard/d/link").c_str()), 0);
    EXPECT_EQ(dir_usage(root.path("/mnt/sdcard/d").c_str()), 1 + 3);
    EXPECT_EQ(dir_usage(root.path("/mnt/sdcard/none").c_str()), 0);
}

TEST(ZelFile, MkdirRecursiveMakesEveryLevel)
{
    zeltest::TempRoot root;
    std::string path = root.path("/mnt/data/a/b/c");
    EXPECT_EQ(mkdir_recursive(&path[0], 0755), 0);
    EXPECT_EQ(path, root.path("/mnt/data/a/b/c")) << "the path is restored";
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(mkdir_recursive(&path[0], 0755), 0) << "an existing directory is fine";
    const std::string file = root.path("/mnt/data/x/y/z.txt");
    EXPECT_EQ(dir_make_parent(file.c_str(), 0755), 0);
    EXPECT_EQ(stat(root.path("/mnt/data/x/y").c_str(), &st), 0);
    errno = 0;
    EXPECT_EQ(dir_make_parent("plain", 0755), -1);
    EXPECT_EQ(errno, EINVAL);
    root.write_file("/mnt/data/f", "x");
    std::string under_file = root.path("/mnt/data/f/sub");
    EXPECT_EQ(mkdir_recursive(&under_file[0], 0755), -1);
}

} // namespace
