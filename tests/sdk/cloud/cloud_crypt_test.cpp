// Encrypted values, reply checks and the encrypting body stream, checked against the openssl CLI
// and against replies made here by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/cloud/cloud_http.h"
#include "app/cloud/cloud_http_test.h"
#include "common/utils/vexa_base64.h"
#include "zel_test_support.h"
#include "zelmar/zel_crypto.h"

namespace {

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kIv[16] = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae, 0xaf};

std::string b64u(const std::vector<uint8_t> &b)
{
    std::vector<char> out(b.size() * 2 + 8);
    vexa_base64_encode_url(b.data(), static_cast<unsigned>(b.size()), out.data(), static_cast<unsigned>(out.size()));
    return out.data();
}

std::vector<uint8_t> unb64u(const std::string &s)
{
    std::vector<uint8_t> out(s.size() + 4);
    const unsigned n = vexa_base64_decode_url(s.c_str(), static_cast<unsigned>(s.size()), out.data(),
                                              static_cast<unsigned>(out.size()));
    out.resize(n);
    return out;
}

std::string sign_of(const std::string &text)
{
    char s[48];
    EXPECT_GT(cloud_encrypt_sign(text.c_str(), s, sizeof s), 0);
    return s;
}

// A reply envelope around raw (already padded or deliberately broken) plain bytes.
std::string envelope(std::vector<uint8_t> raw, const std::vector<uint8_t> &iv, bool good_sign = true,
                     size_t iv_sent = 16)
{
    std::vector<uint8_t> cipher(raw.size());
    if (!raw.empty() && raw.size() % 16 == 0)
        zel_crypto_aes128_cbc_encrypt(kKey, iv.data(), raw.data(), cipher.data(), raw.size());
    else
        cipher = raw;
    const std::string data = b64u(cipher), iv_text = b64u({iv.begin(), iv.begin() + iv_sent});
    const std::string sign = sign_of(data + iv_text + (good_sign ? "" : "x"));
    return "{\"data\":\"" + data + "\",\"sign\":\"" + sign + "\",\"iv\":\"" + iv_text + "\"}";
}

std::vector<uint8_t> padded(const std::string &plain)
{
    std::vector<uint8_t> b(plain.begin(), plain.end());
    const uint8_t n = static_cast<uint8_t>(16 - b.size() % 16);
    b.insert(b.end(), n, n);
    return b;
}

class CloudCrypt : public ::testing::Test {
protected:
    void SetUp() override { cloud_http_test_set_context("https://localhost", kKey, "tok", kIv, "zelmar.cam.z1", nullptr); }

    int decrypt(const std::string &reply, std::string *plain = nullptr)
    {
        char out[4096];
        const int n = http_response_decrypt(&cloud_upload_ctx(), reply.c_str(), out, sizeof out);
        if (plain && n > 0)
            *plain = out;
        return n;
    }

    zeltest::TempRoot root_;
};

TEST_F(CloudCrypt, ValuesOfAnyLengthDecryptWithOpenssl)
{
    const std::string keyhex = zeltest::hex(kKey, 16), ivhex = zeltest::hex(kIv, 16);
    for (size_t len : {0u, 1u, 15u, 16u, 17u, 1000u, 3071u, 3072u, 3073u, 3100u}) {
        std::string plain;
        for (size_t i = 0; i < len; ++i)
            plain += static_cast<char>('a' + i * 7 % 26);
        const size_t cipher = (len / 16 + 1) * 16;
        const size_t text = cipher / 3 * 4 + (cipher % 3 ? cipher % 3 + 1 : 0);
        const size_t room = (cipher + 2) / 3 * 4 + 1;
        std::vector<char> out(room);
        ASSERT_EQ(_data_encrypt_and_base64_endcode(&cloud_upload_ctx(), plain.data(), len, out.data(), out.size()),
                  static_cast<int>(text))
            << len;
        // One byte less is refused, not overrun.
        EXPECT_EQ(_data_encrypt_and_base64_endcode(&cloud_upload_ctx(), plain.data(), len, out.data(), room - 1), -1);
        const std::vector<uint8_t> bytes = unb64u(out.data());
        const std::string f = root_.dir() + "/c.bin";
        std::ofstream(f, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        std::string dec;
        ASSERT_EQ(zeltest::run_command("openssl enc -d -aes-128-cbc -K " + keyhex + " -iv " + ivhex + " -in " + f, &dec),
                  0);
        EXPECT_EQ(dec, plain) << len;
    }
}

TEST_F(CloudCrypt, GoodReplyDecrypts)
{
    const std::vector<uint8_t> iv(16, 0x33);
    std::string plain;
    EXPECT_EQ(decrypt(envelope(padded("{\"result\":\"OK\"}"), iv), &plain), 15);
    EXPECT_EQ(plain, "{\"result\":\"OK\"}");
    EXPECT_EQ(cloud_reply_result(plain.c_str()), 0);
    // POST replies carry their headers in front.
    EXPECT_EQ(decrypt("HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n" + envelope(padded("{}"), iv)), 2);
}

TEST_F(CloudCrypt, HostileRepliesAreRefused)
{
    const std::vector<uint8_t> iv(16, 0x44);
    std::vector<uint8_t> pad0 = padded("{\"result\":\"ok\"}");
    pad0.back() = 0;
    std::vector<uint8_t> pad17(pad0.size(), ' ');
    pad17.back() = 17;
    std::vector<uint8_t> over(pad0.size(), ' ');
    over.back() = 0xF0;
    std::vector<uint8_t> mixed = padded("{\"result\":\"ok\"}xxxx");
    mixed[mixed.size() - 3] ^= 1;
    EXPECT_EQ(decrypt(envelope(pad0, iv)), -1);
    EXPECT_EQ(decrypt(envelope(pad17, iv)), -1);
    EXPECT_EQ(decrypt(envelope(over, iv)), -1);
    EXPECT_EQ(decrypt(envelope(mixed, iv)), -1);
    EXPECT_EQ(decrypt(envelope(padded("{}"), iv, false)), -1);
    EXPECT_EQ(decrypt(envelope(padded("{}"), iv, true, 15)), -1);
    std::vector<uint8_t> odd = padded("{}");
    odd.pop_back();
    EXPECT_EQ(decrypt(envelope(odd, iv)), -1);
    EXPECT_EQ(decrypt(envelope(padded(std::string(2100, ' ')), iv)), -1);
    // The whole padding block alone leaves nothing.
    EXPECT_EQ(decrypt(envelope(padded(""), iv)), -1);
    EXPECT_EQ(decrypt("{\"sign\":\"a\",\"iv\":\"b\"}"), -1);
    EXPECT_EQ(decrypt("garbage 401 Unauthorized"), CLOUD_HTTP_UNAUTHORIZED);
}

TEST_F(CloudCrypt, FailuresWithoutUsableCodeAreFailures)
{
    EXPECT_EQ(cloud_reply_result("{\"result\":\"fail\",\"code\":400208}"), 400208);
    EXPECT_EQ(cloud_reply_result("{\"result\":\"fail\"}"), -1);
    EXPECT_EQ(cloud_reply_result("{\"result\":\"fail\",\"code\":0}"), -1);
    EXPECT_EQ(cloud_reply_result("{\"result\":\"fail\",\"code\":\"400\"}"), -1);
    EXPECT_EQ(cloud_reply_result("[1]"), -1);
}

TEST_F(CloudCrypt, EventNamesFollowTheirOrder)
{
    char out[256];
    EXPECT_EQ(parse_event_flag(0x1 | 0x2 | 0x4 | 0x200 | 0x800000, out, sizeof out), 45);
    EXPECT_STREQ(out, "AI:Face:PeopleMotion:ObjectMotion:LouderSound");
    EXPECT_EQ(parse_event_flag(0, out, sizeof out), 0);
    EXPECT_EQ(parse_event_flag(1, out, 0), -1);
    EXPECT_EQ(parse_event_flag(0xFFFFFF, out, 8), -1);
    EXPECT_STREQ(get_codec_name(35), "h265");
    EXPECT_STREQ(get_codec_name(1026), "g711u");
    EXPECT_EQ(get_codec_name(7), nullptr);
}

// Drains the body stream through buffers of a given size and checks cipher text and trailer.
void check_stream(const std::string &path, const std::string &content, size_t buffer)
{
    cloud_file_enc *enc = cloud_file_enc_open(&cloud_upload_ctx(), path.c_str());
    ASSERT_NE(enc, nullptr);
    vexa_http_stream *s = cloud_file_enc_stream(enc);
    ASSERT_EQ(s->content_length, static_cast<int64_t>(content.size() / 16 * 16 + 16));
    std::vector<char> buf(buffer);
    std::string cipher, trailer;
    while (cipher.size() < static_cast<size_t>(s->content_length)) {
        const size_t n = http_read_file_callback(buf.data(), 1, buf.size(), s);
        ASSERT_GT(n, 0u);
        ASSERT_LE(n, buffer);
        cipher.append(buf.data(), n);
    }
    ASSERT_EQ(cipher.size(), static_cast<size_t>(s->content_length));
    while (trailer.size() < 64)
        trailer.append(buf.data(), http_read_file_callback(buf.data(), 1, buf.size(), s));
    EXPECT_EQ(trailer.size(), 64u);
    cloud_file_enc_close(enc);

    std::vector<uint8_t> plain(cipher.size());
    const int n = zel_crypto_aes128_cbc_pkcs7_decrypt(kKey, kIv, reinterpret_cast<const uint8_t *>(cipher.data()),
                                                      cipher.size(), plain.data(), plain.size());
    ASSERT_EQ(n, static_cast<int>(content.size()));
    EXPECT_EQ(std::string(plain.begin(), plain.begin() + n), content);
    const std::vector<uint8_t> t = unb64u(trailer);
    std::vector<uint8_t> digest_text(t.size());
    const int m = zel_crypto_aes128_cbc_pkcs7_decrypt(kKey, kIv, t.data(), t.size(), digest_text.data(),
                                                      digest_text.size());
    ASSERT_EQ(m, 43);
    uint8_t digest[ZEL_SHA256_LEN];
    zel_crypto_sha256(cipher.data(), cipher.size(), digest);
    EXPECT_EQ(std::string(digest_text.begin(), digest_text.begin() + m), b64u({digest, digest + sizeof digest}));
}

TEST_F(CloudCrypt, BodyStreamIsCipherTextThenDigest)
{
    for (size_t size : {1u, 16u, 40944u, 40960u, 100000u}) {
        std::string content;
        for (size_t i = 0; i < size; ++i)
            content += static_cast<char>(i * 13 % 256);
        const std::string path = "/tmp/f.bin";
        root_.write_file(path, content);
        for (size_t buffer : {32u, 100u, 16384u, 65536u})
            check_stream(path, content, buffer);
    }
}

TEST_F(CloudCrypt, BodyStreamRefusesEmptyFilesAndTinyBuffers)
{
    const std::string empty = "/tmp/empty";
    root_.write_file(empty, "");
    EXPECT_EQ(cloud_file_enc_open(&cloud_upload_ctx(), empty.c_str()), nullptr);
    EXPECT_EQ(cloud_file_enc_open(&cloud_upload_ctx(), "/tmp/none"), nullptr);
    const std::string one = "/tmp/one";
    root_.write_file(one, "x");
    cloud_file_enc *enc = cloud_file_enc_open(&cloud_upload_ctx(), one.c_str());
    ASSERT_NE(enc, nullptr);
    char buf[31];
    EXPECT_EQ(http_read_file_callback(buf, 1, sizeof buf, cloud_file_enc_stream(enc)),
              static_cast<size_t>(CURL_READFUNC_ABORT));
    cloud_file_enc_close(enc);
}

} // namespace
