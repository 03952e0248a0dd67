// The device token: import of a token file made with the openssl CLI, and reads and writes through
// the kv store.
#include "common/kv/ko_device_token.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/kv/ko_kv.h"
#include "ko_kv_test_util.h"
#include "zel_test_support.h"

using kvtest::Store;

namespace {

constexpr const char *kKeyText = "Tq7#vLp2!mZr9&Kx";

std::string hex(const std::string &bytes)
{
    static const char *d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

// Encrypts `plain` (a multiple of 16 bytes) into the token file as a token writer would: the key text
// as key, its MD5 as IV, no padding.
void write_token_file(const Store &s, const std::string &plain)
{
    const std::string dir = s.root().dir();
    s.write(dir + "/plain.bin", plain);
    std::string iv;
    ASSERT_EQ(zeltest::run_command("printf '%s' '" + std::string(kKeyText) +
                                       "' | openssl dgst -md5 -r | cut -c1-32",
                                   &iv),
              0);
    iv.resize(32);
    ASSERT_EQ(zeltest::run_command("openssl enc -aes-128-cbc -nopad -K " + hex(kKeyText) + " -iv " + iv + " -in " +
                                   dir + "/plain.bin -out " + s.root().path("/mnt/data/device.token")),
              0);
}

} // namespace

TEST(DeviceToken, FileIsImportedIntoTheStoreAndRemoved)
{
    Store s;
    write_token_file(s, std::string("abc") + std::string(13, '\0'));
    char token[64];
    int type = 7;
    EXPECT_EQ(token_read("/mnt/data", token, sizeof token, &type), 3);
    EXPECT_STREQ(token, "abc");
    EXPECT_EQ(type, 0);
    EXPECT_FALSE(s.root().exists("/mnt/data/device.token"));
    // From now on the token comes from the store, also after a restart.
    s.restart();
    memset(token, 0, sizeof token);
    type = 7;
    EXPECT_EQ(token_read("/mnt/data", token, sizeof token, &type), 3);
    EXPECT_EQ(std::string(token, 3), "abc");
    EXPECT_EQ(type, 0);
}

TEST(DeviceToken, BadFileIsRefusedAndKept)
{
    Store s;
    s.root().write_file("/mnt/data/device.token", std::string(20, 'x'));
    char token[64];
    int type = 0;
    EXPECT_EQ(token_read("/mnt/data", token, sizeof token, &type), -1);
    EXPECT_TRUE(s.root().exists("/mnt/data/device.token"));
    // A file that decrypts to nothing but zero bytes has no token to store: refused, kept.
    write_token_file(s, std::string(16, '\0'));
    EXPECT_EQ(token_read("/mnt/data", token, sizeof token, &type), -1);
    EXPECT_TRUE(s.root().exists("/mnt/data/device.token"));
}

TEST(DeviceToken, NoFileAndNoStoredTokenReadsZero)
{
    Store s;
    char token[64];
    int type = 0;
    EXPECT_EQ(token_read("/mnt/data", token, sizeof token, &type), 0);
    EXPECT_EQ(token_read(nullptr, token, sizeof token, &type), -1);
    EXPECT_EQ(token_read("/mnt/data", token, 0, &type), -1);
    EXPECT_EQ(token_read("/mnt/data", token, sizeof token, nullptr), -1);
}

TEST(DeviceToken, WriteReplacesTheTokenAndRemovesAnOldFile)
{
    Store s;
    write_token_file(s, std::string("old-token") + std::string(7, '\0'));
    const std::string binary("\x01\x00\xfe\x7f\x10\x20\x30\x40", 8);
    EXPECT_EQ(token_write("/mnt/data", binary.data(), static_cast<int>(binary.size()), 1), 0);
    EXPECT_FALSE(s.root().exists("/mnt/data/device.token"));
    char token[64];
    int type = 0;
    EXPECT_EQ(token_read("/mnt/data", token, sizeof token, &type), 8);
    EXPECT_EQ(std::string(token, 8), binary);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(token_write("/mnt/data", "x", 0, 0), -1);
    EXPECT_EQ(token_write(nullptr, "x", 1, 0), -1);
}
