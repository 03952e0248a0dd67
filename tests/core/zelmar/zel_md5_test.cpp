// MD5 over files of awkward sizes, fed in uneven pieces, against md5sum.
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "zel_test_support.h"
#include "zelmar/zel_md5.h"
#include "zelmar/zel_rand.h"

namespace {

TEST(Md5, FilesHashLikeMd5sum)
{
    zeltest::TempRoot root;
    for (int size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000, 1 << 20}) {
        std::vector<unsigned char> data(static_cast<size_t>(size));
        if (size)
            rand_bytes(data.data(), size);
        const std::string path = root.path("/tmp/md5_" + std::to_string(size));
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(data.data()), size);

        MD5_CTX ctx;
        MD5Init(&ctx);
        // Pieces of 1, 2, 3, ... bytes cross block boundaries everywhere.
        size_t off = 0;
        for (size_t piece = 1; off < data.size(); ++piece) {
            const size_t n = std::min(piece, data.size() - off);
            MD5Update(&ctx, data.data() + off, static_cast<unsigned>(n));
            off += n;
        }
        unsigned char digest[16];
        MD5Final(digest, &ctx);

        std::string out;
        ASSERT_EQ(zeltest::run_command("md5sum '" + path + "'", &out), 0);
        EXPECT_EQ(zeltest::hex(digest, 16), out.substr(0, 32)) << "size " << size;
    }
}

} // namespace
