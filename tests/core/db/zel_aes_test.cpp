#include "zel_control/aes/zel_aes.h"
#include "zel_db_test_factory.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char KEY[] = "0123456789abcdefFEDCBA9876543210";

std::string keyiv(const char *a, const char *b)
{
    char out[33] = {};
    return zel_gen_keyiv(a, b, out) == 0 ? out : "<fail>";
}

} // namespace

TEST(ZelAes, KeyTextIsTheJoinRepeatedAndCut)
{
    EXPECT_EQ(keyiv("0123456789", "abcdef"), "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(keyiv("AAAAAAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBBBBBB"), "AAAAAAAAAAAAAAAAAAAABBBBBBBBBBBB");
    EXPECT_EQ(keyiv("M1", ""), "M1M1M1M1M1M1M1M1M1M1M1M1M1M1M1M1");
    EXPECT_EQ(keyiv("", ""), "<fail>");  // an empty model must not spin for ever
    char out[33] = {};
    EXPECT_EQ(zel_gen_keyiv(nullptr, "x", out), -1);
}

TEST(ZelAes, PaddingRules)
{
    unsigned char buf[64] = {};
    int out = 0;
    EXPECT_EQ(zel_AES128_CBC_pkcs5_encryptData(buf, 32, sizeof buf, &out, KEY), 0);
    EXPECT_EQ(out, 32);
    unsigned char buf2[64] = {};
    ASSERT_EQ(zel_AES128_CBC_pkcs5_encryptData(buf2, 33, sizeof buf2, &out, KEY), 0);
    EXPECT_EQ(out, 48);
    ASSERT_EQ(zel_AES128_CBC_pkcs5_decryptData(buf2, 48, &out, KEY), 0);
    for (int i = 33; i < 48; ++i)
        EXPECT_EQ(buf2[i], 15);
    unsigned char buf3[64] = {};
    ASSERT_EQ(zel_AES128_CBC_pkcs5_encryptData_ext(buf3, 32, &out, KEY), 0);
    EXPECT_EQ(out, 48);
    ASSERT_EQ(zel_AES128_CBC_Nopadding_decryptData(buf3, 48, &out, KEY), 0);
    for (int i = 32; i < 48; ++i)
        EXPECT_EQ(buf3[i], 16);
    EXPECT_EQ(zel_AES128_CBC_pkcs5_encryptData(buf, 40, 47, &out, KEY), -1);
    EXPECT_EQ(zel_AES128_CBC_Nopadding_encryptData(buf, 20, &out, KEY), -1);
    EXPECT_EQ(zel_AES128_CBC_Nopadding_decryptData(buf, 20, &out, KEY), -1);
    EXPECT_EQ(zel_AES128_CBC_Nopadding_encryptData(buf, 16, &out, "short"), -1);
}

TEST(ZelAes, FileFormatMatchesOpensslPerPiece)
{
    zeltest::TempRoot root;
    std::string plain;
    for (int i = 0; i < 5000; ++i)
        plain.push_back(static_cast<char>(i * 7 + 3));
    root.write_file("/tmp/plain", plain);
    ASSERT_EQ(zel_aes128_cbc_pkcs5_encrypt_file(root.path("/tmp/plain").c_str(), root.path("/tmp/enc").c_str(), KEY),
              0);
    const std::string enc = root.read_file("/tmp/enc");
    ASSERT_EQ(enc.size(), 4096u + 912u);

    // Each piece is its own CBC chain from the IV: openssl with standard padding gives the same bytes.
    const std::string args = " -aes-128-cbc -K " + zeltest::hex_of(std::string(KEY, 16)) + " -iv " +
                             zeltest::hex_of(std::string(KEY + 16, 16));
    root.write_file("/tmp/p1", plain.substr(0, 4096));
    root.write_file("/tmp/p2", plain.substr(4096));
    ASSERT_EQ(zeltest::run_command("openssl enc -nopad" + args + " -in " + root.path("/tmp/p1") + " -out " +
                                   root.path("/tmp/e1")),
              0);
    ASSERT_EQ(zeltest::run_command("openssl enc" + args + " -in " + root.path("/tmp/p2") + " -out " +
                                   root.path("/tmp/e2")),
              0);
    EXPECT_EQ(enc, root.read_file("/tmp/e1") + root.read_file("/tmp/e2"));

    ASSERT_EQ(zel_aes128_cbc_pkcs5_decrypt_file(root.path("/tmp/enc").c_str(), root.path("/tmp/dec").c_str(), KEY),
              0);
    EXPECT_EQ(root.read_file("/tmp/dec"), plain + std::string(8, '\x08'));
}

TEST(ZelAes, DecryptionRefusesWhatIsNoCiphertext)
{
    zeltest::TempRoot root;
    root.write_file("/tmp/odd", std::string(17, 'x'));
    root.write_file("/tmp/empty", "");
    EXPECT_EQ(zel_aes128_cbc_pkcs5_decrypt_file(root.path("/tmp/odd").c_str(), root.path("/tmp/o").c_str(), KEY), -1);
    EXPECT_EQ(zel_aes128_cbc_pkcs5_decrypt_file(root.path("/tmp/empty").c_str(), root.path("/tmp/o").c_str(), KEY),
              -1);
    EXPECT_EQ(zel_aes128_cbc_pkcs5_decrypt_file(root.path("/tmp/none").c_str(), root.path("/tmp/o").c_str(), KEY),
              -1);
}
