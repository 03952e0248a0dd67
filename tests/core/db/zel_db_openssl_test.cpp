// The settings file format checked against the openssl command line: every 4096-byte block is
// AES-128-CBC from the same IV without padding.
#include "zel_db_test_fixture.h"

#include <string>

using zeltest::DbTest;

namespace {

const char *const MAIN = "/mnt/data/.zel_db.ini";

// Runs openssl over each 4096-byte block of `data`; the joined output.
std::string openssl_blocks(const zeltest::TempRoot &root, const std::string &data, bool decrypt)
{
    const std::string key = zeltest::keytext_of(zeltest::TEST_MODEL);
    std::string out;
    for (size_t at = 0, n = 0; at < data.size(); at += 4096, ++n) {
        const std::string in = "/tmp/block" + std::to_string(n);
        root.write_file(in, data.substr(at, 4096));
        const std::string cmd = std::string("openssl enc ") + (decrypt ? "-d " : "") + "-aes-128-cbc -nopad -K " +
                                zeltest::hex_of(key.substr(0, 16)) + " -iv " + zeltest::hex_of(key.substr(16)) +
                                " -in " + root.path(in) + " -out " + root.path(in + ".out");
        EXPECT_EQ(zeltest::run_command(cmd), 0) << cmd;
        out += root.read_file(in + ".out");
    }
    return out;
}

} // namespace

TEST_F(DbTest, FileEncryptedByOpensslLoads)
{
    add_factory();
    std::string plain = "\n[ipc]\npower = 0\n\n[made]\n";
    for (int i = 0; plain.size() < 6000; ++i)
        plain += "by_openssl_" + std::to_string(i) + " = value " + std::to_string(i) + "\n";
    // The last block is filled with zero bytes to whole cipher blocks, as the device writes it.
    std::string padded = plain;
    const size_t last = padded.size() % 4096;
    padded.resize(padded.size() + (16 - last % 16) % 16, '\0');
    root_.write_file(MAIN, openssl_blocks(root_, padded, false));

    ASSERT_EQ(zel_api_db_init(), 0);
    EXPECT_EQ(get("NVM.IPC:power"), "0");
    EXPECT_EQ(get("NVM.made:by_openssl_3"), "value 3");
    EXPECT_EQ(get("NVM.made:by_openssl_200"), "value 200");
}

TEST_F(DbTest, OpensslDecryptsOurFile)
{
    add_factory();
    ASSERT_EQ(zel_api_db_init(), 0);
    for (int i = 0; i < 120; ++i)
        ASSERT_EQ(set("NVM.FILL:k" + std::to_string(i), std::string(40, 'a' + i % 26)), 0);
    ASSERT_EQ(set("NVM.IPC:marker", "hello openssl", true), 0);
    const std::string cipher = root_.read_file(MAIN);
    ASSERT_GT(cipher.size(), 4096u);
    std::string text = openssl_blocks(root_, cipher, true);
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    EXPECT_NE(text.find("\n[ipc]\n"), std::string::npos);
    EXPECT_NE(text.find("marker                         = hello openssl\n"), std::string::npos);
    EXPECT_NE(text.find("k119"), std::string::npos);
    EXPECT_EQ(text.find('\0'), std::string::npos);
}
