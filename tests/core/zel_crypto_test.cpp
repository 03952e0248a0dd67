#include "zelmar/zel_crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zel_test_support.h"

TEST(Crypto, DigestsMatchKnownValues)
{
    uint8_t md5[ZEL_MD5_LEN];
    ASSERT_EQ(zel_crypto_md5("abc", 3, md5), 0);
    EXPECT_EQ(zeltest::hex(md5, sizeof md5), "900150983cd24fb0d6963f7d28e17f72");
    uint8_t sha[ZEL_SHA256_LEN];
    ASSERT_EQ(zel_crypto_sha256("abc", 3, sha), 0);
    EXPECT_EQ(zeltest::hex(sha, sizeof sha), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    zel_md5_ctx *ctx = zel_crypto_md5_open();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(zel_crypto_md5_update(ctx, "a", 1), 0);
    ASSERT_EQ(zel_crypto_md5_update(ctx, "bc", 2), 0);
    ASSERT_EQ(zel_crypto_md5_finish(ctx, md5), 0);
    EXPECT_EQ(zeltest::hex(md5, sizeof md5), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Crypto, AesCbcMatchesOpensslAndRoundTrips)
{
    zeltest::TempRoot root;
    const uint8_t key[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const uint8_t iv[16] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    std::vector<uint8_t> plain(64);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> cipher(plain.size());
    ASSERT_EQ(zel_crypto_aes128_cbc_encrypt(key, iv, plain.data(), cipher.data(), plain.size()), 0);

    root.write_file("/tmp/plain", std::string(plain.begin(), plain.end()));
    std::string out;
    const std::string cmd = "openssl enc -aes-128-cbc -nopad -K " + zeltest::hex(key, 16) + " -iv " +
                            zeltest::hex(iv, 16) + " -in " + root.path("/tmp/plain") +
                            " | od -An -tx1 -v | tr -d ' \\n'";
    ASSERT_EQ(zeltest::run_command(cmd, &out), 0);
    EXPECT_EQ(out, zeltest::hex(cipher.data(), cipher.size()));

    std::vector<uint8_t> back(cipher);
    ASSERT_EQ(zel_crypto_aes128_cbc_decrypt(key, iv, back.data(), back.data(), back.size()), 0);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(zel_crypto_aes128_cbc_encrypt(key, iv, plain.data(), cipher.data(), 15), -2);
}

TEST(Crypto, StreamingAesAndShaMatchOneShot)
{
    const uint8_t key[16] = {9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const uint8_t iv[16] = {1};
    std::vector<uint8_t> plain(1000);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(i * 13);
    std::vector<uint8_t> whole(1008);
    ASSERT_EQ(zel_crypto_aes128_cbc_pkcs7_encrypt(key, iv, plain.data(), plain.size(), whole.data(), whole.size()),
              1008);
    EXPECT_EQ(zel_crypto_aes128_cbc_pkcs7_encrypt(key, iv, plain.data(), plain.size(), whole.data(), 1007), -2);

    // The same cipher text in pieces, the chain carried between them.
    zel_aes_cbc_ctx *aes = zel_crypto_aes128_cbc_open(key, iv);
    zel_sha256_ctx *sha = zel_crypto_sha256_open();
    ASSERT_TRUE(aes && sha);
    std::vector<uint8_t> pieces(1008);
    ASSERT_EQ(zel_crypto_aes128_cbc_update(aes, plain.data(), pieces.data(), 496), 0);
    ASSERT_EQ(zel_crypto_aes128_cbc_update(aes, plain.data() + 496, pieces.data() + 496, 496), 0);
    EXPECT_EQ(zel_crypto_aes128_cbc_update(aes, plain.data(), pieces.data(), 15), -2);
    ASSERT_EQ(zel_crypto_aes128_cbc_finish(aes, plain.data() + 992, 8, pieces.data() + 992), 0);
    EXPECT_EQ(pieces, whole);
    ASSERT_EQ(zel_crypto_sha256_update(sha, whole.data(), 7), 0);
    ASSERT_EQ(zel_crypto_sha256_update(sha, whole.data() + 7, whole.size() - 7), 0);
    uint8_t a[ZEL_SHA256_LEN], b[ZEL_SHA256_LEN];
    ASSERT_EQ(zel_crypto_sha256_finish(sha, a), 0);
    ASSERT_EQ(zel_crypto_sha256(whole.data(), whole.size(), b), 0);
    EXPECT_EQ(zeltest::hex(a, sizeof a), zeltest::hex(b, sizeof b));

    std::vector<uint8_t> back(1008);
    EXPECT_EQ(zel_crypto_aes128_cbc_pkcs7_decrypt(key, iv, whole.data(), whole.size(), back.data(), back.size()), 1000);
    back.resize(1000);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(zel_crypto_aes128_cbc_pkcs7_decrypt(key, iv, whole.data(), 0, back.data(), back.size()), -1);
    zel_crypto_aes128_cbc_close(zel_crypto_aes128_cbc_open(key, iv));
    zel_crypto_sha256_close(zel_crypto_sha256_open());
}
