// The encrypting body stream of a clip file: AES-128-CBC/PKCS#7 cipher text, hashed as it goes,
// followed by a 64-character trailer that holds the encrypted base64url digest of the cipher text.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/cloud/cloud_http.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_base64.h"
#include "zelmar/zel_crypto.h"
#include "zelmar/zel_path.h"

namespace {

constexpr size_t kReadMax = 40960;
constexpr size_t kTrailer = 64;
constexpr size_t kMinBuffer = 32;

} // namespace

struct cloud_file_enc {
    vexa_http_stream stream{};
    const cloud_upload_ctx_t *ctx = nullptr;
    FILE *file = nullptr;
    uint64_t size = 0;
    uint64_t read = 0;
    bool cipher_done = false;
    size_t trailer_sent = 0;
    zel_aes_cbc_ctx *aes = nullptr;
    zel_sha256_ctx *sha = nullptr;
    uint8_t buf[kReadMax];
    char trailer[kTrailer + 1] = {};
    char digest_text[48] = {};

    ~cloud_file_enc()
    {
        if (file)
            fclose(file);
        zel_crypto_aes128_cbc_close(aes);
        zel_crypto_sha256_close(sha);
    }
};

cloud_file_enc *cloud_file_enc_open(const cloud_upload_ctx_t *ctx, const char *path)
{
    if (!ctx || !path)
        return nullptr;
    auto enc = std::make_unique<cloud_file_enc>();
    enc->file = fopen(zel_path(path).c_str(), "rbe");
    struct stat st {};
    if (!enc->file || fstat(fileno(enc->file), &st) != 0) {
        KO_LOGE(CLOUD_MODULE, "open file param error,%s\n", path);
        return nullptr;
    }
    // Reads go straight into the stream's buffer.
    setvbuf(enc->file, nullptr, _IONBF, 0);
    if (st.st_size <= 0) {
        KO_LOGE(CLOUD_MODULE, "%s size is zero!\n", path);
        return nullptr;
    }
    enc->ctx = ctx;
    enc->size = static_cast<uint64_t>(st.st_size);
    enc->aes = zel_crypto_aes128_cbc_open(ctx->session_key, ctx->iv);
    enc->sha = zel_crypto_sha256_open();
    if (!enc->aes || !enc->sha)
        return nullptr;
    enc->stream.content_length = static_cast<int64_t>(enc->size / ZEL_AES_BLOCK * ZEL_AES_BLOCK + ZEL_AES_BLOCK);
    enc->stream.user = enc.get();
    return enc.release();
}

void cloud_file_enc_close(cloud_file_enc *enc)
{
    delete enc;
}

vexa_http_stream *cloud_file_enc_stream(cloud_file_enc *enc)
{
    return enc ? &enc->stream : nullptr;
}

namespace {

// Finishes cipher and digest and encrypts the digest text into the trailer.
bool make_trailer(cloud_file_enc *e, const uint8_t *tail, size_t tail_len, uint8_t *out)
{
    const int fin = zel_crypto_aes128_cbc_finish(e->aes, tail, tail_len, out);
    e->aes = nullptr;
    uint8_t digest[ZEL_SHA256_LEN];
    const bool ok = fin == 0 && zel_crypto_sha256_update(e->sha, out, ZEL_AES_BLOCK) == 0 &&
                    zel_crypto_sha256_finish(e->sha, digest) == 0;
    e->sha = nullptr;
    if (!ok || vexa_base64_encode_url(digest, sizeof digest, e->digest_text, sizeof e->digest_text) < 1)
        return false;
    KO_LOGI(CLOUD_MODULE, "fd=%d,sha256_enc end\n", fileno(e->file));
    return _data_encrypt_and_base64_endcode(e->ctx, e->digest_text, strlen(e->digest_text), e->trailer,
                                            sizeof e->trailer) == static_cast<int>(kTrailer);
}

} // namespace

size_t http_read_file_callback(char *buf, size_t size, size_t nmemb, void *user)
{
    auto *stream = static_cast<vexa_http_stream *>(user);
    auto *e = stream ? static_cast<cloud_file_enc *>(stream->user) : nullptr;
    const size_t room = size * nmemb;
    if (!e || !buf || room < kMinBuffer) {
        KO_LOGE(CLOUD_MODULE, "para err!file_enc=%p,read_buf=%p,buf_size=%zu\r\n", static_cast<void *>(e),
                static_cast<void *>(buf), room);
        return CURL_READFUNC_ABORT;
    }
    if (e->cipher_done) {
        if (e->trailer_sent == 0)
            KO_LOGI(CLOUD_MODULE, "fd=%d,sha256_enc send\n", fileno(e->file));
        const size_t n = std::min(room, kTrailer - e->trailer_sent);
        std::memcpy(buf, e->trailer + e->trailer_sent, n);
        e->trailer_sent += n;
        return n;
    }
    const size_t chunk = std::min(room, kReadMax) / ZEL_AES_BLOCK * ZEL_AES_BLOCK - ZEL_AES_BLOCK;
    const uint64_t left = e->size - e->read;
    const size_t want = left < chunk ? static_cast<size_t>(left) : chunk;
    if (fread(e->buf, 1, want, e->file) != want) {
        KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "fread",
                ferror(e->file) ? strerror(errno) : "file shorter than it was");
        return CURL_READFUNC_ABORT;
    }
    e->read += want;
    const size_t whole = want / ZEL_AES_BLOCK * ZEL_AES_BLOCK;
    auto *out = reinterpret_cast<uint8_t *>(buf);
    if (zel_crypto_aes128_cbc_update(e->aes, e->buf, out, whole) != 0 ||
        zel_crypto_sha256_update(e->sha, out, whole) != 0)
        return CURL_READFUNC_ABORT;
    if (e->read < e->size)
        return whole;
    if (!make_trailer(e, e->buf + whole, want - whole, out + whole)) {
        KO_LOGE(CLOUD_MODULE, "fd=%d,sha256_enc failed\n", fileno(e->file));
        return CURL_READFUNC_ABORT;
    }
    e->cipher_done = true;
    return whole + ZEL_AES_BLOCK;
}

int encrypt_file(const cloud_upload_ctx_t *ctx, const char *in_path, const char *out_path, char *sign,
                 size_t sign_size)
{
    std::unique_ptr<cloud_file_enc, void (*)(cloud_file_enc *)> enc(cloud_file_enc_open(ctx, in_path),
                                                                    cloud_file_enc_close);
    if (!enc || !out_path || !sign)
        return -1;
    const std::string out = zel_path(out_path);
    FILE *f = fopen(out.c_str(), "wbe");
    if (!f) {
        KO_LOGE(CLOUD_MODULE, "open file param error,%s\n", out_path);
        return -1;
    }
    std::unique_ptr<char[]> buf(new char[kReadMax]);
    int64_t left = enc->stream.content_length;
    bool ok = true;
    while (ok && left > 0) {
        const size_t n = http_read_file_callback(buf.get(), 1, kReadMax, &enc->stream);
        ok = n != CURL_READFUNC_ABORT && n > 0 && fwrite(buf.get(), 1, n, f) == n;
        left -= static_cast<int64_t>(n);
    }
    if (fclose(f) != 0)
        ok = false;
    if (!ok || strlen(enc->digest_text) >= sign_size) {
        KO_LOGE(CLOUD_MODULE, "system call err:%s, errno:%s\n", "encrypt_file", strerror(errno));
        remove(out.c_str());
        return -1;
    }
    memcpy(sign, enc->digest_text, strlen(enc->digest_text) + 1);
    return 0;
}
