// The keyed transforms against the Python peer's own implementation: message scrambling both ways
// for every length up to a full datagram, the TCP-relay check, the login check and init strings.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "zel_test_support.h"
#include "ztp_init_string.h"
#include "ztp_login_check.h"
#include "ztp_peer_vectors.h"
#include "ztp_scramble.h"
#include "ztp_tables.h"

using namespace ztptest;

namespace {

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 131 + n * 7);
    return b;
}

Bytes peer_scrambled_file(const std::string &key)
{
    zeltest::TempRoot root;
    const std::string path = root.path("/tmp/scrambled.bin");
    run_wire_peer("scramble-file '" + key + "' " + path);
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class ScrambleAcrossLanguages : public ::testing::TestWithParam<std::string> {};

TEST_P(ScrambleAcrossLanguages, EveryLengthUpToADatagramMatchesThePeerBothWays)
{
    const std::string key = GetParam();
    const Bytes file = peer_scrambled_file(key);
    ASSERT_EQ(file.size(), 1440u * 1441u / 2u);
    size_t at = 0;
    for (size_t n = 1; n <= 1440; ++n) {
        const Bytes plain = pattern(n);
        const Bytes theirs(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + n));
        at += n;
        Bytes ours(n), back(n);
        ASSERT_EQ(ztp__P2P_Proprietary_Encrypt(key.c_str(), plain.data(), ours.data(), n), 0);
        ASSERT_EQ(ours, theirs) << "scrambling length " << n;
        ASSERT_EQ(ztp__P2P_Proprietary_Decrypt(key.c_str(), theirs.data(), back.data(), n), 0);
        ASSERT_EQ(back, plain) << "unscrambling length " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, ScrambleAcrossLanguages,
                         ::testing::Values("", "k", "KEYSTR", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"),
                         [](const auto &info) { return "key" + std::to_string(info.param.size()); });

TEST(Scramble, EmptyAndNullKeysCopy)
{
    const Bytes plain = pattern(100);
    Bytes out(100);
    ASSERT_EQ(ztp__P2P_Proprietary_Encrypt("", plain.data(), out.data(), out.size()), 0);
    EXPECT_EQ(out, plain);
    ASSERT_EQ(ztp__P2P_Proprietary_Decrypt(nullptr, plain.data(), out.data(), out.size()), 0);
    EXPECT_EQ(out, plain);
}

TEST(Scramble, OnlyTheFirst21KeyCharactersCount)
{
    const Bytes plain = pattern(64);
    Bytes a(64), b(64);
    ztp__P2P_Proprietary_Encrypt("ABCDEFGHIJKLMNOPQRSTU", plain.data(), a.data(), 64);
    ztp__P2P_Proprietary_Encrypt("ABCDEFGHIJKLMNOPQRSTUVWXYZ", plain.data(), b.data(), 64);
    EXPECT_EQ(a, b);
    ztp__P2P_Proprietary_Encrypt("ABCDEFGHIJKLMNOPQRST", plain.data(), b.data(), 64);
    EXPECT_NE(a, b);
}

TEST(Scramble, InPlaceGivesTheSameBytes)
{
    const Bytes plain = pattern(1032);
    Bytes copy = plain, out(plain.size());
    ztp_scramble_key key;
    ztp_scramble_key_init(&key, "KEYSTR");
    ztp_scramble(&key, plain.data(), out.data(), plain.size());
    ztp_scramble(&key, copy.data(), copy.data(), copy.size());
    EXPECT_EQ(copy, out);
    ztp_unscramble(&key, copy.data(), copy.data(), copy.size());
    EXPECT_EQ(copy, plain);
}

TEST(RelayCheck, EmptyMessageGives4353)
{
    uint8_t check[2];
    _TCPRelay_CheckCRC_Calculate(nullptr, 0, check);
    EXPECT_EQ(to_hex(check, 2), "4353");
    EXPECT_EQ(to_hex(vec("relay_check_empty")), "4353");
}

TEST(RelayCheck, ADifferenceAnywhereIsCaught)
{
    Bytes msg = pattern(57);
    uint8_t check[2];
    _TCPRelay_CheckCRC_Calculate(msg.data(), msg.size(), check);
    EXPECT_EQ(_TCPRelay_CheckCRC_Verify(msg.data(), msg.size(), check), 0);
    for (size_t i : {size_t{0}, size_t{28}, size_t{56}}) {
        Bytes bad = msg;
        bad[i] ^= 0x01;
        EXPECT_EQ(_TCPRelay_CheckCRC_Verify(bad.data(), bad.size(), check), -1) << "byte " << i;
    }
}

TEST(LoginCheck, EncodesAsThePeerDoes)
{
    uint8_t out[16];
    ASSERT_EQ(ztp_proto_CRCEnc(ztp_login_key, reinterpret_cast<const uint8_t *>("hello"), 5, out, sizeof out), 9);
    EXPECT_EQ(to_hex(out, 9), to_hex(vec("login_check_hello")));
    ASSERT_EQ(ztp_proto_CRCEnc(nullptr, reinterpret_cast<const uint8_t *>("hello"), 5, out, sizeof out), 9);
    EXPECT_EQ(to_hex(out, 9), to_hex(vec("login_check_hello_nokey")));
}

TEST(LoginCheck, DecodesThePeersEncoding)
{
    const Bytes &enc = vec("login_check_hello");
    uint8_t out[16];
    ASSERT_EQ(ztp_proto_CRCDec(ztp_login_key, enc.data(), enc.size(), out, sizeof out), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 5), "hello");
    // Another key does not find the trailer.
    EXPECT_EQ(ztp_proto_CRCDec("other", enc.data(), enc.size(), out, sizeof out), -1);
}

TEST(LoginCheck, RefusesShortInputABadTrailerAndASmallBuffer)
{
    uint8_t enc[16], out[16];
    ASSERT_EQ(ztp_proto_CRCEnc(ztp_login_key, nullptr, 0, enc, sizeof enc), 4);
    EXPECT_EQ(ztp_proto_CRCDec(ztp_login_key, enc, 4, out, sizeof out), 0); // the trailer alone: empty
    EXPECT_EQ(ztp_proto_CRCDec(ztp_login_key, enc, 3, out, sizeof out), -1);
    EXPECT_EQ(ztp_proto_CRCDec(ztp_login_key, enc, 0, out, sizeof out), -1);
    ASSERT_EQ(ztp_proto_CRCEnc(ztp_login_key, reinterpret_cast<const uint8_t *>("abcdef"), 6, enc, sizeof enc), 10);
    enc[9] ^= 0x20;
    EXPECT_EQ(ztp_proto_CRCDec(ztp_login_key, enc, 10, out, sizeof out), -1);
    EXPECT_EQ(ztp_proto_CRCEnc(ztp_login_key, reinterpret_cast<const uint8_t *>("abcdef"), 6, enc, 9), -1);
    ASSERT_EQ(ztp_proto_CRCEnc(ztp_login_key, reinterpret_cast<const uint8_t *>("abcdef"), 6, enc, 10), 10);
    EXPECT_EQ(ztp_proto_CRCDec(ztp_login_key, enc, 10, out, 5), -1);
}

TEST(LoginCheck, TableHoldsNoZeroForThePeerEither)
{
    for (int i = 0; i < ZTP_CRC_TABLE_SIZE; ++i)
        EXPECT_NE(CRCTable[i], 0) << i;
    EXPECT_NO_THROW(run_wire_peer("check-tables"));
}

TEST(LoginCheck, SurvivesEveryByteValueAfterEveryKeyLength)
{
    // Each state byte becomes a divisor: any input must keep them away from zero.
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    Bytes enc(260), dec(256);
    for (const char *key : {"", "a", ztp_login_key, "\xff\xff\xff"}) {
        ASSERT_EQ(ztp_proto_CRCEnc(key, all.data(), all.size(), enc.data(), enc.size()), 260);
        ASSERT_EQ(ztp_proto_CRCDec(key, enc.data(), enc.size(), dec.data(), dec.size()), 256);
        EXPECT_EQ(dec, all);
    }
}

TEST(InitString, DecodesPeerMadeStrings)
{
    char out[256];
    ASSERT_EQ(ztp_proto_DecodeString(vec_text("init_string").c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, vec_text("init_string_servers").c_str());
    const std::string other = run_wire_peer("initstring 'p2p-a.example,p2p-b.example,10.9.8.7,' SomeKey");
    ASSERT_EQ(ztp_proto_DecodeString(other.substr(0, other.find('\n')).c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, "p2p-a.example,p2p-b.example,10.9.8.7,");
}

TEST(InitString, OddLengthOrAFullOutputFailsTerminated)
{
    char out[64];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(ztp_proto_DecodeString("ABC:key", out, sizeof out), -1);
    EXPECT_EQ(out[0], '\0');
    const std::string text = vec_text("init_string"); // 30 characters of servers
    const std::string servers = vec_text("init_string_servers");
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(ztp_proto_DecodeString(text.c_str(), out, servers.size()), -1);
    EXPECT_EQ(std::strlen(out), servers.size() - 1);
    EXPECT_EQ(ztp_proto_DecodeString(text.c_str(), out, servers.size() + 1), 0);
    EXPECT_STREQ(out, servers.c_str());
    EXPECT_EQ(ztp_proto_DecodeString("", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
}

} // namespace
