// The session protocol's pieces over plain buffers: frame encryption in both layouts and its refusals
// of lying lengths, nonces, the key agreement, the signing key and signature, the name tables and
// the JSON readers.
#include <gtest/gtest.h>
#include <sodium.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vasq_crypto.h"
#include "vasq_test_helpers.h"
#include "vasq_errors.h"
#include "vasq_json.h"
#include "zelmar/zel_crypto.h"

namespace {

using vasqtest::unhex;

std::vector<uint8_t> bytes(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}


struct Keys {
    uint8_t shared[32];
    uint8_t aes[16];
    Keys()
    {
        for (int i = 0; i < 32; i++)
            shared[i] = static_cast<uint8_t>(0x41 + i);
        vasq_aes_key(shared, aes);
    }
};

int encrypt(const Keys &k, int type, const std::vector<uint8_t> &in, std::vector<uint8_t> &out)
{
    vasq_crypt_req req{};
    req.in = in.data();
    req.in_len = static_cast<int>(in.size());
    req.out = out.data();
    req.out_cap = static_cast<int>(out.size());
    req.encrypt_type = type;
    const int r = vasq_frame_encrypt(k.shared, k.aes, &req);
    if (r == 0)
        out.resize(static_cast<size_t>(req.out_len));
    return r;
}

TEST(FrameCrypt, ChaChaIsTheStreamCipherUnderANonceInFront)
{
    const Keys k;
    for (size_t n : {0u, 1u, 100u, 20000u}) {
        const auto plain = bytes(n, 3);
        std::vector<uint8_t> out(n + 8);
        ASSERT_EQ(encrypt(k, 0, plain, out), 0);
        ASSERT_EQ(out.size(), n + 8);
        std::vector<uint8_t> expect(n);
        if (n > 0)
            crypto_stream_chacha20_xor(expect.data(), plain.data(), n, out.data(), k.shared);
        EXPECT_TRUE(std::equal(expect.begin(), expect.end(), out.begin() + 8));
        int offset = 0, len = 0;
        ASSERT_EQ(vasq_frame_decrypt(0, k.shared, k.aes, out.data(), static_cast<int>(out.size()), &offset, &len), 0);
        EXPECT_EQ(offset, 8);
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + 8, out.end()), plain);
    }
}

TEST(FrameCrypt, AnOutputTooSmallIsRefusedWith30)
{
    const Keys k;
    std::vector<uint8_t> out(107);
    EXPECT_EQ(encrypt(k, 0, bytes(100, 1), out), VASQ_ERR_FRAME_ENCTYPTO);
    std::vector<uint8_t> aes(51);
    EXPECT_EQ(encrypt(k, 1, bytes(16, 1), aes), VASQ_ERR_FRAME_ENCTYPTO);
}

TEST(FrameCrypt, AesPadsOneToSixteenBytesAroundAnIvAndTheHook)
{
    const Keys k;
    for (size_t n : {0u, 1u, 15u, 16u, 17u, 1000u}) {
        const auto plain = bytes(n, 9);
        std::vector<uint8_t> out(n + 64);
        ASSERT_EQ(encrypt(k, 1, plain, out), 0);
        const size_t padded = (n / 16 + 1) * 16;
        ASSERT_EQ(out.size(), padded + 20) << n;
        const uint32_t pad = out[0] | out[1] << 8 | out[2] << 16 | static_cast<uint32_t>(out[3]) << 24;
        EXPECT_EQ(pad, 16 - n % 16);
        // The body is AES-128-CBC of payload + pad bytes of the pad value under the IV.
        std::vector<uint8_t> body(out.begin() + 20, out.end());
        ASSERT_EQ(zel_crypto_aes128_cbc_decrypt(k.aes, out.data() + 4, body.data(), body.data(), body.size()), 0);
        EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.begin() + static_cast<long>(n)), plain);
        for (size_t i = n; i < padded; i++)
            EXPECT_EQ(body[i], pad);
        int offset = 0, len = 0;
        ASSERT_EQ(vasq_frame_decrypt(1, k.shared, k.aes, out.data(), static_cast<int>(out.size()), &offset, &len), 0);
        EXPECT_EQ(offset, 20);
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + 20, out.begin() + 20 + len), plain);
    }
}

TEST(FrameCrypt, SixteenBytesUnderAesTake52)
{
    const Keys k;
    std::vector<uint8_t> out(64);
    ASSERT_EQ(encrypt(k, 1, bytes(16, 0), out), 0);
    EXPECT_EQ(out.size(), 52u);
}

TEST(FrameCrypt, AesIvsAreNotRepeated)
{
    const Keys k;
    std::set<std::string> ivs;
    for (int i = 0; i < 1000; i++) {
        std::vector<uint8_t> out(64);
        ASSERT_EQ(encrypt(k, 1, bytes(5, 0), out), 0);
        ivs.insert(std::string(out.begin() + 4, out.begin() + 20));
    }
    EXPECT_EQ(ivs.size(), 1000u);
}

TEST(FrameCrypt, LyingLengthsAreRefusedWith29)
{
    const Keys k;
    std::vector<uint8_t> buf(64, 0);
    int offset = -1, len = -1;
    for (int n = 0; n < 8; n++)
        EXPECT_EQ(vasq_frame_decrypt(0, k.shared, k.aes, buf.data(), n, &offset, &len), VASQ_ERR_FRAME_DECRYPTO) << n;
    for (int n : {0, 20, 35, 37, 51})
        EXPECT_EQ(vasq_frame_decrypt(1, k.shared, k.aes, buf.data(), n, &offset, &len), VASQ_ERR_FRAME_DECRYPTO) << n;
    for (uint8_t pad : {0, 17, 255}) {
        buf[0] = pad;
        EXPECT_EQ(vasq_frame_decrypt(1, k.shared, k.aes, buf.data(), 36, &offset, &len), VASQ_ERR_FRAME_DECRYPTO);
    }
    EXPECT_EQ(offset, -1);
    EXPECT_EQ(len, -1);
}

TEST(Nonces, NoRepeatsAcrossThreadsAndDraws)
{
    constexpr int kPerThread = 100000;
    std::vector<std::vector<uint64_t>> drawn(2);
    std::vector<std::thread> threads;
    for (auto &d : drawn)
        threads.emplace_back([&d] {
            for (int i = 0; i < kPerThread; i++) {
                uint64_t v;
                vasq_nonce(reinterpret_cast<uint8_t *>(&v));
                d.push_back(v);
            }
        });
    for (auto &t : threads)
        t.join();
    std::set<uint64_t> all;
    for (auto &d : drawn)
        all.insert(d.begin(), d.end());
    EXPECT_EQ(all.size(), 2u * kPerThread);
}

TEST(KeyAgreement, BothSidesDeriveTheSameKey)
{
    uint8_t pa[32], sa[32], pb[32], sb[32], ka[32], kb[32];
    crypto_box_keypair(pa, sa);
    crypto_box_keypair(pb, sb);
    ASSERT_EQ(vasq_shared_key(pb, sa, ka), 0);
    ASSERT_EQ(vasq_shared_key(pa, sb, kb), 0);
    EXPECT_EQ(0, memcmp(ka, kb, 32));
}

TEST(KeyAgreement, LowOrderKeysAreRefused)
{
    uint8_t pa[32], sa[32], out[32];
    crypto_box_keypair(pa, sa);
    uint8_t zero[32] = {};
    memset(out, 0x55, sizeof out);
    EXPECT_EQ(vasq_shared_key(zero, sa, out), -1);
    uint8_t one[32] = {1};
    EXPECT_EQ(vasq_shared_key(one, sa, out), -1);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0);
}

TEST(KeyAgreement, AesKeyIsTheSharedKeyAsAShortCString)
{
    uint8_t shared[32], aes[16];
    memset(shared, 0x61, sizeof shared);
    vasq_aes_key(shared, aes);
    for (int i = 0; i < 15; i++)
        EXPECT_EQ(aes[i], 0x61);
    EXPECT_EQ(aes[15], 0);
    shared[5] = 0;
    vasq_aes_key(shared, aes);
    EXPECT_EQ(aes[4], 0x61);
    EXPECT_EQ(aes[5], 0);
    EXPECT_EQ(aes[6], 0);
    shared[0] = 0;
    vasq_aes_key(shared, aes);
    for (uint8_t b : aes)
        EXPECT_EQ(b, 0);
}

TEST(Hex, OnlySixtyFourHexCharacters)
{
    uint8_t out[32];
    const std::string good(64, 'a');
    EXPECT_EQ(vasq_hex32(good.c_str(), out), 0);
    EXPECT_EQ(out[0], 0xaa);
    EXPECT_EQ(vasq_hex32(std::string(63, 'a').c_str(), out), -1);
    EXPECT_EQ(vasq_hex32(std::string(65, 'a').c_str(), out), -1);
    EXPECT_EQ(vasq_hex32((std::string(63, 'a') + "g").c_str(), out), -1);
    EXPECT_EQ(vasq_hex32(nullptr, out), -1);
}

class SignKey : public ::testing::Test {
protected:
    uint8_t token[4] = {0xde, 0xad, 0xbe, 0xef};
    uint8_t req[16];
    uint8_t pub[32];
    SignKey()
    {
        for (int i = 0; i < 16; i++)
            req[i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 32; i++)
            pub[i] = static_cast<uint8_t>(0xf0 + i);
    }
    std::string key(const char *did, const uint8_t *tok, int tok_len, const char *p2p)
    {
        char out[VASQ_SIGN_KEY_MAX + 1];
        const int n = vasq_sign_key(did, tok, tok_len, p2p, req, pub, out, sizeof out);
        return n < 0 ? "<refused>" : std::string(out, static_cast<size_t>(n));
    }
};

TEST_F(SignKey, FourPiecesJoinedByDashes)
{
    std::string pub_hex;
    for (uint8_t b : pub) {
        char h[3];
        snprintf(h, sizeof h, "%02x", b);
        pub_hex += h;
    }
    // p2p key 0x11 * 16 XOR 00 01 02 ... 0f.
    EXPECT_EQ(key("ABC-123-XYZ", token, 4, "11111111111111111111111111111111"),
              "ABC-123-XYZ-deadbeef-111013121514171619181b1a1d1c1f1e-" + pub_hex);
    // Only the first 16 bytes of a longer p2p key count.
    EXPECT_EQ(key("ABC-123-XYZ", token, 4, "11111111111111111111111111111111ffff"),
              key("ABC-123-XYZ", token, 4, "11111111111111111111111111111111"));
}

TEST_F(SignKey, AnAbsentOrShortPieceRefusesInsteadOfSigningWithThePhonesOwnKey)
{
    const char *p2p = "11111111111111111111111111111111";
    EXPECT_EQ(key("", token, 4, p2p), "<refused>");
    EXPECT_EQ(key(nullptr, token, 4, p2p), "<refused>");
    EXPECT_EQ(key("ABC", nullptr, 0, p2p), "<refused>");
    EXPECT_EQ(key("ABC", token, 4, nullptr), "<refused>");
    EXPECT_EQ(key("ABC", token, 4, ""), "<refused>");
    EXPECT_EQ(key("ABC", token, 4, "1111111111111111111111111111111"), "<refused>");
    EXPECT_EQ(key("ABC", token, 4, "1111111111111111111111111111111z"), "<refused>");
    EXPECT_EQ(key(std::string(65, 'd').c_str(), token, 4, p2p), "<refused>");
    const std::vector<uint8_t> long_token(64, 1); // 60 + 128 + 32 + 64 + 3 > 256
    EXPECT_EQ(key(std::string(60, 'd').c_str(), long_token.data(), 64, p2p), "<refused>");
}

TEST(Signature, HmacSha256OfTheText)
{
    // RFC 4231 test case 1.
    const std::string k(20, '\x0b');
    const auto mac = unhex("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_TRUE(vasq_sign_matches(k.data(), k.size(), "Hi There", 8, mac.data()));
    auto wrong = mac;
    wrong[31] ^= 1;
    EXPECT_FALSE(vasq_sign_matches(k.data(), k.size(), "Hi There", 8, wrong.data()));
}

TEST(Names, TablesAndTheirUnknowns)
{
    EXPECT_STREQ(vasq_get_err_info(0), "OK");
    EXPECT_STREQ(vasq_get_err_info(29), "VASQ_ERR_FRAME_DECRYPTO");
    EXPECT_STREQ(vasq_get_err_info(36), "VASQ_ERROR_DEVICE_SESSION_MAX");
    EXPECT_STREQ(vasq_get_err_info(37), "unknown vasq err code");
    EXPECT_STREQ(vasq_get_err_info(-1), "unknown vasq err code");
    EXPECT_STREQ(vasq_get_session_stat_info(4), "session normal status");
    EXPECT_STREQ(vasq_get_session_stat_info(6), "unknown status");
    EXPECT_STREQ(vasq_get_cmd_info(256), "authenticate req");
    EXPECT_STREQ(vasq_get_cmd_info(275), "device motor control response");
    EXPECT_STREQ(vasq_get_cmd_info(4097), "vasq max cmd");
    EXPECT_STREQ(vasq_get_cmd_info(276), "unknown cmd");
    EXPECT_STREQ(vasq_get_cmd_info(255), "unknown cmd");
}

int len(const std::string &s)
{
    return static_cast<int>(s.size());
}

TEST(JsonReaders, VendorMembersUnderResultParamsOrVendor)
{
    const std::string r = R"({"result":{"vendor":4,"force":1,"p2p_key":"abcd","vendor_params":{"p2p_id":"ABC"}}})";
    EXPECT_EQ(vasq_json_get_vendor(r.data(), len(r)), 4);
    EXPECT_EQ(vasq_json_get_force(r.data(), len(r)), 1);
    char out[8];
    ASSERT_EQ(vasq_json_get_p2pkey(r.data(), len(r), out, sizeof out), 0);
    EXPECT_STREQ(out, "abcd");
    ASSERT_EQ(vasq_json_get_vendor_params(r.data(), len(r), "p2p_id", out, sizeof out), 0);
    EXPECT_STREQ(out, "ABC");
    EXPECT_EQ(vasq_json_get_vendor_params(r.data(), len(r), "crc_key", out, sizeof out), -1);
    const std::string p = R"({"params":{"vendor":3}})";
    EXPECT_EQ(vasq_json_get_vendor(p.data(), len(p)), 3);
    const std::string v = R"({"vendor":{"vendor":1}})";
    EXPECT_EQ(vasq_json_get_vendor(v.data(), len(v)), 1);
}

TEST(JsonReaders, AbsentWrongTypedOrNotJson)
{
    for (const std::string t : {std::string("not json"), std::string(R"({"result":{"vendor":"4"}})"),
                                std::string(R"({"other":{"vendor":4}})"), std::string(R"({"result":{}} trailing)")}) {
        EXPECT_EQ(vasq_json_get_vendor(t.data(), len(t)), -1) << t;
        EXPECT_EQ(vasq_json_get_force(t.data(), len(t)), 0) << t;
    }
    const std::string k = R"({"result":{"p2p_key":"0123456789"},"uuid":7,"n":5,"s":"x"})";
    char out[8];
    EXPECT_EQ(vasq_json_get_p2pkey(k.data(), len(k), out, sizeof out), -1); // longer than the buffer
    EXPECT_EQ(vasq_json_get_string(k.data(), len(k), "uuid", out, sizeof out), -1);
    ASSERT_EQ(vasq_json_get_string(k.data(), len(k), "s", out, sizeof out), 0);
    EXPECT_STREQ(out, "x");
    int n = 0;
    EXPECT_EQ(vasq_json_get_int(k.data(), len(k), "s", &n), -1);
    ASSERT_EQ(vasq_json_get_int(k.data(), len(k), "n", &n), 0);
    EXPECT_EQ(n, 5);
}

} // namespace
