#include "common/utils/ko_crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "zel_test_support.h"

TEST(Crc32, CheckValueAndEmptyInput)
{
    EXPECT_EQ(ko_crc32_total("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(ko_crc32_total("", 0), 0u);
}

TEST(Crc32, PiecewiseEqualsWholeAndMatchesZlib)
{
    std::mt19937 rng(7);
    std::string data(100000, '\0');
    for (auto &c : data)
        c = static_cast<char>(rng());
    uint32_t crc = ko_crc32_init();
    crc = ko_crc32_update(crc, data.data(), 1234);
    crc = ko_crc32_update(crc, data.data() + 1234, data.size() - 1234);
    const uint32_t whole = ko_crc32_total(data.data(), data.size());
    EXPECT_EQ(ko_crc32_finish(crc), whole);

    zeltest::TempRoot root;
    root.write_file("/tmp/data", data);
    std::string out;
    const std::string cmd = std::string(ZEL_PYTHON) + " -c \"import zlib,sys;print(zlib.crc32(open(sys.argv[1],'rb').read()))\" " +
                            root.path("/tmp/data");
    ASSERT_EQ(zeltest::run_command(cmd, &out), 0);
    EXPECT_EQ(std::stoul(out), whole);
}
