// The streaming tar writer: its piece sequence, and archives that GNU tar and Python's tarfile list
// and extract byte-identical, also when a file changes size after init.
#include "common/utils/ko_tar.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zel_test_support.h"

namespace {

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng());
    return s;
}

// Reads the whole archive; the piece sizes go to `pieces` when given.
std::string read_all(ko_tar *tar, int chunk, std::vector<int> *pieces = nullptr)
{
    std::string out;
    std::vector<char> buf(chunk);
    for (;;) {
        const int n = ko_tar_read(tar, buf.data(), chunk);
        EXPECT_GE(n, 0);
        if (n <= 0)
            break;
        if (pieces)
            pieces->push_back(n);
        out.append(buf.data(), n);
    }
    return out;
}

} // namespace

TEST(KoTar, PiecesOfOneFile)
{
    zeltest::TempRoot root;
    root.write_file("/tmp/a.txt", std::string(1000, 'a'));
    root.write_file("/tmp/b.bin", std::string(1024, 'b'));
    char paths[2][KO_TAR_PATH_LEN] = {"/tmp/a.txt", "/tmp/b.bin"};
    ko_tar *tar = ko_tar_init(paths, 1);
    ASSERT_NE(tar, nullptr);
    EXPECT_EQ(ko_tar_total_size(tar), 2560);
    std::vector<int> pieces;
    read_all(tar, 4096, &pieces);
    EXPECT_EQ(pieces, (std::vector<int>{512, 1000, 24, 1024}));
    char buf[1024];
    EXPECT_EQ(ko_tar_read(tar, buf, sizeof(buf)), 0);
    EXPECT_EQ(ko_tar_read(tar, buf, 1023), -1);
    ko_tar_finish(tar);

    tar = ko_tar_init(paths + 1, 1);
    pieces.clear();
    read_all(tar, 4096, &pieces);
    EXPECT_EQ(pieces, (std::vector<int>{512, 1024, 1024}));
    ko_tar_finish(tar);

    EXPECT_EQ(ko_tar_init(paths, 11), nullptr);
    EXPECT_EQ(ko_tar_total_size(nullptr), -1);
}

TEST(KoTar, GnuTarAndPythonExtractIdenticalFiles)
{
    zeltest::TempRoot root;
    const std::vector<std::pair<std::string, size_t>> files = {
        {"log_a.txt", 0}, {"log_b.txt", 1}, {"log_c.bin", 511}, {"log_d.bin", 512}, {"log_e.bin", 100000}};
    char paths[5][KO_TAR_PATH_LEN] = {};
    for (size_t i = 0; i < files.size(); ++i) {
        root.write_file("/tmp/" + files[i].first, random_bytes(files[i].second, static_cast<unsigned>(i)));
        std::snprintf(paths[i], KO_TAR_PATH_LEN, "/tmp/%s", files[i].first.c_str());
    }
    ko_tar *tar = ko_tar_init(paths, 5);
    ASSERT_NE(tar, nullptr);
    const std::string archive = read_all(tar, 1500);
    EXPECT_EQ(static_cast<int64_t>(archive.size()), ko_tar_total_size(tar));
    ko_tar_finish(tar);
    root.write_file("/tmp/out.tar", archive);

    std::string listing;
    ASSERT_EQ(zeltest::run_command("tar -tvf " + root.path("/tmp/out.tar"), &listing), 0);
    EXPECT_NE(listing.find("root/root"), std::string::npos) << listing;
    ASSERT_EQ(zeltest::run_command("mkdir -p " + root.path("/tmp/gnu") + " && tar -xf " + root.path("/tmp/out.tar") +
                                   " -C " + root.path("/tmp/gnu")),
              0);
    const std::string py = std::string(ZEL_PYTHON) +
                           " -c \"import tarfile,sys; t=tarfile.open(sys.argv[1]); "
                           "assert all(m.isfile() and m.uname=='root' for m in t); t.extractall(sys.argv[2])\" " +
                           root.path("/tmp/out.tar") + " " + root.path("/tmp/py");
    ASSERT_EQ(zeltest::run_command(py), 0);
    for (const auto &f : files) {
        const std::string original = root.read_file("/tmp/" + f.first);
        EXPECT_EQ(root.read_file("/tmp/gnu/" + f.first), original) << f.first;
        EXPECT_EQ(root.read_file("/tmp/py/" + f.first), original) << f.first;
    }
}

TEST(KoTar, FileChangingSizeAfterInitKeepsTheArchiveValid)
{
    zeltest::TempRoot root;
    const std::string grow = random_bytes(3000, 1);
    root.write_file("/tmp/grows.txt", grow);
    root.write_file("/tmp/shrinks.txt", random_bytes(5000, 2));
    char paths[2][KO_TAR_PATH_LEN] = {"/tmp/grows.txt", "/tmp/shrinks.txt"};
    ko_tar *tar = ko_tar_init(paths, 2);
    ASSERT_NE(tar, nullptr);
    const int64_t announced = ko_tar_total_size(tar);
    root.write_file("/tmp/grows.txt", grow + std::string(4000, 'g'));
    root.write_file("/tmp/shrinks.txt", "short");
    const std::string archive = read_all(tar, 1024);
    ko_tar_finish(tar);
    EXPECT_EQ(static_cast<int64_t>(archive.size()), announced);
    root.write_file("/tmp/out.tar", archive);
    ASSERT_EQ(zeltest::run_command("mkdir -p " + root.path("/tmp/x") + " && tar -xf " + root.path("/tmp/out.tar") +
                                   " -C " + root.path("/tmp/x")),
              0);
    EXPECT_EQ(root.read_file("/tmp/x/grows.txt"), grow);
    const std::string shrunk = root.read_file("/tmp/x/shrinks.txt");
    ASSERT_EQ(shrunk.size(), 5000u);
    EXPECT_EQ(shrunk.substr(0, 5), "short");
}

TEST(KoTar, MissingFileFailsStickily)
{
    zeltest::TempRoot root;
    char paths[1][KO_TAR_PATH_LEN] = {"/tmp/absent.txt"};
    ko_tar *tar = ko_tar_init(paths, 1);
    ASSERT_NE(tar, nullptr);
    EXPECT_EQ(ko_tar_total_size(tar), 512 + 1024);
    char buf[1024];
    EXPECT_EQ(ko_tar_read(tar, buf, sizeof(buf)), -1);
    EXPECT_EQ(ko_tar_read(tar, buf, sizeof(buf)), -1);
    ko_tar_finish(tar);
}
