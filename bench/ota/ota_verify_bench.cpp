// Firmware image verification, beside the baselines doing the same work:
//  - the verifier (MD5 of every byte, SHA-256 up to the certificates, the 4096-byte tail, chain and
//    ECDSA signature) over a signed 16 MiB image fed in 16 KiB pieces as the download hands them;
//  - a bare mbedTLS pass of MD5 and SHA-256 over the same bytes through the crypto seam (goal: the
//    verifier within 1.2x of it);
//  - `openssl dgst -sha256 -verify` of the same signed bytes (for scale: OpenSSL uses the CPU's SHA
//    instructions, mbedTLS 2.28 does not, so expect it about 4x faster).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/ota/ko_ota_verify.h"
#include "common/utils/ko_log.h"
#include "ota_image_maker.h"
#include "zel_test_support.h"
#include "zelmar/zel_crypto.h"

namespace {

constexpr size_t kImage = 16u << 20;
constexpr size_t kPiece = 16384;

struct Fixture {
    std::string dir;
    zeltest::OtaPki pki;
    std::string image;
    size_t payload_len = 0;
    std::string signed_path, sig_path, pub_path;

    Fixture()
    {
        ko_log_param quiet{};
        quiet.level = KO_LOG_ERROR;
        quiet.output = KO_LOG_OUT_CONSOLE;
        ko_log_init(&quiet);
        char tmpl[] = "/tmp/zel-ota-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        if (!zeltest::make_ota_pki(dir + "/pki", &pki))
            std::abort();
        zeltest::OtaImageSpec spec;
        payload_len = kImage - 4096;
        spec.payload.resize(payload_len);
        for (size_t i = 0; i < payload_len; ++i)
            spec.payload[i] = static_cast<char>(i * 2654435761u >> 13);
        image = zeltest::make_ota_image(pki, spec);
        if (image.empty())
            std::abort();
        // The signed part ends where the first certificate begins; the signature is the last 71 bytes.
        const size_t certs = image.find("-----BEGIN CERTIFICATE-----", payload_len);
        signed_path = dir + "/signed.bin";
        sig_path = dir + "/sig.der";
        pub_path = dir + "/pub.pem";
        std::ofstream(signed_path, std::ios::binary) << image.substr(0, certs);
        std::ofstream(sig_path, std::ios::binary) << image.substr(image.size() - 71);
        if (zeltest::run_command("openssl x509 -pubkey -noout -in " + pki.dir + "/sign.pem > " + pub_path) != 0)
            std::abort();
    }
    ~Fixture() { std::filesystem::remove_all(dir); }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

void BM_VerifyImage(benchmark::State &state)
{
    Fixture &f = fixture();
    const std::string root = f.pki.pem("root");
    const ko_ota_expect expect{"zelmar.camera.c1", "1.0.0_0001", false};
    const auto *bytes = reinterpret_cast<const uint8_t *>(f.image.data());
    for (auto _ : state) {
        ko_ota_verify *v = nullptr;
        ko_ota_verify_init(&v, root.data(), root.size(), "", true);
        ko_ota_verify_set_total(v, f.image.size());
        for (size_t at = 0; at < f.image.size(); at += kPiece)
            ko_ota_verify_update(v, bytes + at, std::min(kPiece, f.image.size() - at), nullptr, nullptr);
        const long long rc = ko_ota_verify_finish(v, &expect, nullptr, nullptr);
        ko_ota_verify_free(v);
        if (rc != static_cast<long long>(f.payload_len))
            state.SkipWithError("the image did not verify");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.image.size()));
}

void BM_BareMd5Sha256(benchmark::State &state)
{
    Fixture &f = fixture();
    for (auto _ : state) {
        zel_md5_ctx *md5 = zel_crypto_md5_open();
        zel_sha256_ctx *sha = zel_crypto_sha256_open();
        for (size_t at = 0; at < f.image.size(); at += kPiece) {
            const size_t n = std::min(kPiece, f.image.size() - at);
            zel_crypto_md5_update(md5, f.image.data() + at, n);
            zel_crypto_sha256_update(sha, f.image.data() + at, n);
        }
        uint8_t a[ZEL_MD5_LEN], b[ZEL_SHA256_LEN];
        zel_crypto_md5_finish(md5, a);
        zel_crypto_sha256_finish(sha, b);
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.image.size()));
}

void BM_OpensslDgstVerify(benchmark::State &state)
{
    Fixture &f = fixture();
    const std::string cmd = "openssl dgst -sha256 -verify " + f.pub_path + " -signature " + f.sig_path + " " +
                            f.signed_path + " > /dev/null";
    for (auto _ : state)
        if (zeltest::run_command(cmd) != 0)
            state.SkipWithError("openssl did not verify the signature");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.image.size()));
}

} // namespace

// Wall time throughout: the openssl baseline runs in a child process.
BENCHMARK(BM_VerifyImage)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_BareMd5Sha256)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_OpensslDgstVerify)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
