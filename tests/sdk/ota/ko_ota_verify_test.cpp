// The image verifier on images signed with openssl: a good image hands on exactly its payload, and
// each broken tag, content, chain or byte is refused with its code. The tag parser is also fed
// hand-made tags whose lengths point outside them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "app/ota/ko_ota_tag.h"
#include "app/ota/ko_ota_verify.h"
#include "ota_image_maker.h"
#include "zel_test_support.h"
#include "zelmar/zel_crypto.h"

namespace {

using zeltest::OtaImageSpec;

class OtaVerify : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char dir[] = "/tmp/ota_verify_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_TRUE(zeltest::make_ota_pki(dir, &pki_));
    }
    static void TearDownTestSuite() { zeltest::run_command("rm -rf " + pki_.dir); }

    static std::string payload(size_t n)
    {
        std::string p(n, '\0');
        std::mt19937 rng(static_cast<unsigned>(n));
        for (char &c : p)
            c = static_cast<char>(rng());
        return p;
    }

    static std::string image(OtaImageSpec spec)
    {
        if (spec.payload.empty())
            spec.payload = payload(20000);
        std::string img = zeltest::make_ota_image(pki_, spec);
        EXPECT_FALSE(img.empty());
        return img;
    }

    struct Run {
        long long result = 0;
        std::string handed; // the payload bytes handed on
    };

    // Feeds `bytes` in uneven chunks to a verifier that expects `total` bytes.
    static Run verify(const std::string &bytes, const ko_ota_expect &expect, std::string root = {},
                      long long total = -1)
    {
        if (root.empty())
            root = pki_.pem("root");
        Run run;
        ko_ota_verify *v = nullptr;
        EXPECT_EQ(ko_ota_verify_init(&v, root.data(), root.size(), zeltest::ota_md5_hex(bytes).c_str(), true), 0);
        if (!v)
            return run;
        ko_ota_verify_set_total(v, total < 0 ? bytes.size() : static_cast<uint64_t>(total));
        auto sink = [](const uint8_t *d, size_t n, void *user) {
            static_cast<std::string *>(user)->append(reinterpret_cast<const char *>(d), n);
        };
        std::mt19937 rng(7);
        for (size_t at = 0; at < bytes.size();) {
            const size_t n = std::min<size_t>(bytes.size() - at, 1 + rng() % 9000);
            ko_ota_verify_update(v, reinterpret_cast<const uint8_t *>(bytes.data() + at), n, sink, &run.handed);
            at += n;
        }
        run.result = ko_ota_verify_finish(v, &expect, sink, &run.handed);
        ko_ota_verify_free(v);
        return run;
    }

    static constexpr ko_ota_expect kExpect{"zelmar.camera.c1", "1.2.3_4600", false};
    static zeltest::OtaPki pki_;
};

zeltest::OtaPki OtaVerify::pki_;

TEST_F(OtaVerify, GoodImageHandsOnExactlyItsPayload)
{
    for (size_t size : {size_t{0}, size_t{100}, size_t{5000}, size_t{300000}}) {
        OtaImageSpec spec;
        spec.payload = payload(size);
        if (size == 0)
            spec.payload.clear();
        const std::string img = zeltest::make_ota_image(pki_, spec);
        ASSERT_FALSE(img.empty());
        const Run run = verify(img, kExpect);
        EXPECT_EQ(run.result, static_cast<long long>(size)) << size;
        EXPECT_TRUE(run.handed == spec.payload) << size;
    }
}

TEST_F(OtaVerify, BytesPastTheTotalAreIgnored)
{
    OtaImageSpec spec;
    spec.payload = payload(9000);
    const std::string img = image(spec);
    const Run run = verify(img + "trailing junk", kExpect, {}, static_cast<long long>(img.size()));
    EXPECT_EQ(run.result, 9000);
    EXPECT_TRUE(run.handed == spec.payload);
}

TEST_F(OtaVerify, BrokenTagIsRefused)
{
    OtaImageSpec bad_magic, long_len, short_len, head_short, head_past;
    bad_magic.bad_magic = true;
    long_len.len_delta = 1;
    short_len.len_delta = -1;
    head_short.head_len_delta = -1; // cuts the last field
    head_past.head_len_delta = 5000;
    for (const OtaImageSpec *spec : {&bad_magic, &long_len, &short_len, &head_short, &head_past})
        EXPECT_EQ(verify(image(*spec), kExpect).result, KO_OTA_VERIFY_ERR_TAG);
}

TEST_F(OtaVerify, ModelAndVersionAreChecked)
{
    OtaImageSpec other_model, no_model, no_ver;
    other_model.model = "zelmar.camera.c2";
    no_model.model.clear();
    no_ver.with_new_ver = false;
    EXPECT_EQ(verify(image(other_model), kExpect).result, KO_OTA_VERIFY_ERR_MODEL);
    EXPECT_EQ(verify(image(no_model), kExpect).result, KO_OTA_VERIFY_ERR_MODEL);
    EXPECT_EQ(verify(image(no_ver), kExpect).result, KO_OTA_VERIFY_ERR_VERSION);

    // The image is 1.2.3 build 4660 (46, 60).
    const std::string img = image({});
    const ko_ota_expect equal{"zelmar.camera.c1", "1.2.3_4660", false};
    const ko_ota_expect newer_build{"zelmar.camera.c1", "1.2.3_4661", false};
    const ko_ota_expect newer_minor{"zelmar.camera.c1", "1.3.0_0000", false};
    const ko_ota_expect downgrade{"zelmar.camera.c1", "1.3.0_0000", true};
    const ko_ota_expect unknown{"zelmar.camera.c1", "", false};
    EXPECT_GT(verify(img, equal).result, 0);
    EXPECT_EQ(verify(img, newer_build).result, KO_OTA_VERIFY_ERR_VERSION);
    EXPECT_EQ(verify(img, newer_minor).result, KO_OTA_VERIFY_ERR_VERSION);
    EXPECT_GT(verify(img, downgrade).result, 0);
    EXPECT_GT(verify(img, unknown).result, 0);
}

TEST_F(OtaVerify, ChainMustLeadToTheRootThroughCas)
{
    OtaImageSpec other_org, other_root, not_ca;
    other_org.signer = other_org.sign_key = "other_org";
    other_root.issuer = "other_inter";
    other_root.signer = other_root.sign_key = "other_sign";
    not_ca.issuer = "inter_not_ca";
    not_ca.signer = not_ca.sign_key = "leaf_below";
    for (const OtaImageSpec *spec : {&other_org, &other_root, &not_ca})
        EXPECT_EQ(verify(image(*spec), kExpect).result, KO_OTA_VERIFY_ERR_SIGN) << spec->signer;
    // The intermediate itself is issued by the root; only its missing CA flag breaks the chain.
    int err = 0;
    const std::string root = pki_.pem("root");
    zel_x509_chain *chain = zel_crypto_chain_open(root.data(), root.size(), &err);
    ASSERT_NE(chain, nullptr);
    const std::string inter = pki_.pem("inter_not_ca"), leaf = pki_.pem("leaf_below");
    EXPECT_EQ(zel_crypto_chain_add(chain, inter.data(), inter.size(), &err), 0);
    EXPECT_EQ(zel_crypto_chain_add(chain, leaf.data(), leaf.size(), &err), -3);
    zel_crypto_chain_close(chain);
    // An organisation equal to the model is taken as well.
    OtaImageSpec org_model = other_org;
    org_model.model = "harbour devices";
    EXPECT_GT(verify(image(org_model), {"harbour devices", "", false}).result, 0);
}

TEST_F(OtaVerify, AlteredBytesAreRefused)
{
    const std::string img = image({});
    std::string flipped = img;
    flipped[1234] ^= 1;
    EXPECT_EQ(verify(flipped, kExpect).result, KO_OTA_VERIFY_ERR_SIGN);

    OtaImageSpec foreign;
    foreign.sign_key = "other_sign";
    EXPECT_EQ(verify(image(foreign), kExpect).result, KO_OTA_VERIFY_ERR_SIGN);

    // Cut short of its declared length, and without a declared length.
    EXPECT_EQ(verify(img.substr(0, img.size() - 10), kExpect, {}, static_cast<long long>(img.size())).result,
              KO_OTA_VERIFY_ERR_TAG);
    const Run none = verify(img, kExpect, {}, 0);
    EXPECT_EQ(none.result, KO_OTA_VERIFY_ERR_TAG);
    EXPECT_TRUE(none.handed.empty());
}

TEST_F(OtaVerify, InitRefusesWhatCannotBeVerified)
{
    ko_ota_verify *v = nullptr;
    const std::string rsa = pki_.pem("rsa_root");
    EXPECT_GT(rsa.size(), KO_OTA_ROOT_MAX);
    EXPECT_EQ(ko_ota_verify_init(&v, rsa.data(), rsa.size(), "", true), -1);
    const std::string root = pki_.pem("root");
    EXPECT_LT(root.size(), KO_OTA_ROOT_MAX);
    EXPECT_EQ(ko_ota_verify_init(&v, root.data(), root.size(), "", false), -2);
    EXPECT_EQ(ko_ota_verify_init(&v, nullptr, 0, "", true), -1);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(ko_ota_verify_init(&v, root.data(), root.size(), "", true), 0);
    ko_ota_verify *kept = v;
    EXPECT_EQ(ko_ota_verify_init(&v, root.data(), root.size(), "", true), -3);
    EXPECT_EQ(v, kept);
    ko_ota_verify_free(v);
    // A root that does not parse fails the signature check.
    EXPECT_EQ(verify(image({}), kExpect, "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n").result,
              KO_OTA_VERIFY_ERR_SIGN);
}

// A tag of `head_len` with `fields`, no certificates, padded to `total` bytes.
std::string raw_tag(size_t head_len, const std::string &fields, size_t total)
{
    std::string t(reinterpret_cast<const char *>(KO_OTA_TAG_MAGIC), KO_OTA_TAG_MAGIC_LEN);
    t.resize(28, '\0');
    t[16] = static_cast<char>(head_len & 0xff);
    t[17] = static_cast<char>(head_len >> 8);
    t[20] = static_cast<char>(total & 0xff);
    t[21] = static_cast<char>(total >> 8 & 0xff);
    t += fields;
    t.resize(total, 'x');
    return t;
}

TEST(OtaTag, LengthsOutsideTheTagAreRefused)
{
    ko_ota_tag tag;
    auto parse = [&](const std::string &t) {
        return ko_ota_tag_parse(reinterpret_cast<const uint8_t *>(t.data()), t.size(), &tag);
    };
    EXPECT_EQ(parse(raw_tag(31, "", 100)), -2);                            // header under 32
    EXPECT_EQ(parse(raw_tag(101, "", 100)), -2);                           // header past the tag
    EXPECT_EQ(parse(raw_tag(40, std::string("\x04\x09zz", 4), 100)), -2);  // field past the header
    EXPECT_EQ(parse(raw_tag(32 + 6, std::string("\x01\x04" "abcd", 6), 100)), -2); // new_ver of 4 bytes
    EXPECT_EQ(parse(raw_tag(32 + 7, std::string("\x01\x05" "abcde", 7), 100)), -3); // fine, but no certificates
    EXPECT_EQ(parse(raw_tag(32, "", 31)), -1);
    std::string wrong_len = raw_tag(32, "", 100);
    wrong_len[20] = 99;
    EXPECT_EQ(parse(wrong_len), -1);
}

TEST(OtaTag, FindTakesTheCandidateWhoseLengthReachesTheEnd)
{
    std::string buf(50, 'p');
    buf += raw_tag(32, "", 60);          // a magic in the payload whose length does not fit
    const size_t real = buf.size();
    buf += raw_tag(32, "", 70);
    EXPECT_EQ(ko_ota_tag_find(reinterpret_cast<const uint8_t *>(buf.data()), buf.size()), static_cast<long>(real));
    EXPECT_EQ(ko_ota_tag_find(reinterpret_cast<const uint8_t *>(buf.data()), buf.size() - 1), -1);
}

} // namespace
