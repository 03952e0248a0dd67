// The recording FILE routines: bounds that cannot wrap, the card codes of system errors, and the fault
// seam of the file layer.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/record/sd_file.h"
#include "app/record/sd_io.h"
#include "app/record/sd_io_test.h"
#include "zel_test_support.h"

namespace {

TEST(SdFile, WritesAndReadsNeverPassTheCapacityEvenWhenTheSizeExceedsIt)
{
    zeltest::TempRoot root;
    const std::string path = root.dir() + "/f.bin";
    FILE *fp = sd_io_fopen(path.c_str(), "wb+");
    ASSERT_NE(fp, nullptr);
    std::vector<char> data(4096, 'a');
    EXPECT_EQ(_write_file(fp, data.data(), 1024, 1024), 0);
    EXPECT_EQ(_write_file(fp, data.data(), 1, 1024), -3) << "at the capacity";
    ASSERT_EQ(_seek_file(fp, 0, SEEK_SET, 1024), 0);
    EXPECT_EQ(_write_file(fp, data.data(), 4096, 1024), -3) << "a size above the capacity must not wrap";
    EXPECT_EQ(_read_file(fp, data.data(), 2048, 1024), -3);
    EXPECT_EQ(_read_file(fp, data.data(), 1024, 1024), 0);
    EXPECT_EQ(_seek_file(fp, 1025, SEEK_SET, 1024), -4);
    EXPECT_EQ(_seek_file(fp, -2000, SEEK_END, 1024), -4);
    EXPECT_EQ(_seek_file(fp, 1, SEEK_CUR, 1024), -3);
    EXPECT_EQ(_get_capacity(fp), 1024);
    EXPECT_EQ(_close_file(fp), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1024);
    EXPECT_EQ(_close_file(nullptr), -1);
    FILE *ro = nullptr;
    EXPECT_EQ(_open_file_wr(path.c_str(), &ro), 3);
    _close_file(ro);
    int err = 0;
    EXPECT_EQ(_open_file((root.dir() + "/none/x").c_str(), "rb", &err), nullptr);
    EXPECT_EQ(err, SD_ERR_OPEN);
}

TEST(SdFile, SystemErrorsBecomeCardCodes)
{
    EXPECT_EQ(_get_system_err(SD_ERR_WRITE, ENOSPC), SD_ERR_FULL);
    EXPECT_EQ(_get_system_err(SD_ERR_WRITE, EROFS), SD_ERR_READ_ONLY);
    EXPECT_EQ(_get_system_err(SD_ERR_RENAME, EIO), SD_ERR_READ_ONLY);
    EXPECT_EQ(_get_system_err(SD_ERR_RENAME, ENOENT), SD_ERR_RENAME);
}

TEST(SdFile, TheSeamFailsTheNthOperationWithItsErrnoAndAStreamWithAGapNeverSyncs)
{
    zeltest::TempRoot root;
    const std::string path = root.dir() + "/f.bin";
    sd_io_fault_set(3, SD_IO_FAULT_ERRNO, ENOSPC); // 1 the create, 2 the first flush, 3 the second
    FILE *fp = sd_io_fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    const uint64_t before = sd_io_bytes_written();
    std::vector<char> data(100, 'b');
    EXPECT_EQ(_write_file(fp, data.data(), data.size(), 1 << 20), 0);
    EXPECT_EQ(fflush(fp), 0);
    EXPECT_EQ(sd_io_bytes_written() - before, 100u);
    EXPECT_EQ(_write_file(fp, data.data(), data.size(), 1 << 20), 0);
    EXPECT_NE(fflush(fp), 0) << "stdio's own flush goes through the seam";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(sd_io_ops(), 3u);
    // The failed write left a gap: no later sync may report the stream durable, and nothing behind
    // the gap may reach the file, not even by the close's flush (nor once the error is cleared).
    clearerr(fp);
    EXPECT_EQ(_write_file(fp, data.data(), data.size(), 1 << 20), 0);
    EXPECT_NE(sd_io_sync(fp), 0);
    EXPECT_EQ(errno, ENOSPC) << "the failed write's errno";
    fclose(fp);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100) << "only what was written before the gap";
    sd_io_fault_set(1, SD_IO_FAULT_ERRNO, EROFS);
    EXPECT_NE(sd_io_rename(path.c_str(), (path + ".2").c_str()), 0);
    EXPECT_EQ(errno, EROFS);
    setenv("ZELMAR_SD_FAULT", "bogus", 1);
    sd_io_fault_from_env(); // ignored with a log line: nothing fails
    EXPECT_EQ(sd_io_rename(path.c_str(), (path + ".2").c_str()), 0);
    unsetenv("ZELMAR_SD_FAULT");
    sd_io_fault_set(0, SD_IO_FAULT_ERRNO, 0);
}

} // namespace
