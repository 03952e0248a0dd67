// Signatures, encrypted values and the check and decryption of cloud replies.
#include <json-c/json.h>

#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/cloud/cloud_http.h"
#include "common/utils/ko_json.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_base64.h"
#include "zelmar/zel_crypto.h"

namespace {

constexpr size_t kDataMax = 4096;     // "data" text of a reply
constexpr size_t kSignMax = 64;
constexpr size_t kIvMax = 32;
constexpr size_t kCipherMax = 2048;   // decoded "data"

// Room the base64url encoder needs for n bytes: the padded length and a terminator.
size_t b64url_room(size_t n)
{
    return (n + 2) / 3 * 4 + 1;
}

// A string member of at most `max` characters, or empty (logged) when absent or longer.
std::string reply_field(json_object *body, const char *key, size_t max)
{
    json_object *v = nullptr;
    if (body && json_object_object_get_ex(body, key, &v) && json_object_is_type(v, json_type_string)) {
        const size_t len = static_cast<size_t>(json_object_get_string_len(v));
        if (len > 0 && len <= max)
            return std::string(json_object_get_string(v), len);
    }
    KO_LOGE(CLOUD_MODULE, "http response msg prase '%s' error!\n", key);
    return {};
}

} // namespace

int cloud_encrypt_sign(const char *text, char *out, size_t out_size)
{
    uint8_t digest[ZEL_SHA256_LEN];
    if (!text || !out || zel_crypto_sha256(text, strlen(text), digest) != 0)
        return -1;
    const int n = vexa_base64_encode_url(digest, sizeof digest, out, static_cast<unsigned>(out_size));
    if (n < 1) {
        KO_LOGE(CLOUD_MODULE, "cloud_encrypt_sign error:%d\n", n);
        return -1;
    }
    return static_cast<int>(strlen(out));
}

int _data_encrypt_and_base64_endcode(const cloud_upload_ctx_t *ctx, const void *in, size_t len, char *out,
                                     size_t out_size)
{
    const size_t cipher_len = (len / ZEL_AES_BLOCK + 1) * ZEL_AES_BLOCK;
    if (!ctx || (!in && len) || !out || out_size < b64url_room(cipher_len)) {
        KO_LOGE(CLOUD_MODULE, "data_in=%p,data_out=%p, len_out=%d,should > %d\n", in, static_cast<void *>(out),
                static_cast<int>(out_size), static_cast<int>(b64url_room(cipher_len) - 1));
        return -1;
    }
    std::vector<uint8_t> cipher(cipher_len);
    if (zel_crypto_aes128_cbc_pkcs7_encrypt(ctx->session_key, ctx->iv, static_cast<const uint8_t *>(in), len,
                                            cipher.data(), cipher.size()) != static_cast<int>(cipher_len))
        return -1;
    if (vexa_base64_encode_url(cipher.data(), static_cast<unsigned>(cipher_len), out,
                               static_cast<unsigned>(out_size)) < 1)
        return -1;
    return static_cast<int>(strlen(out));
}

int http_response_decrypt(const cloud_upload_ctx_t *ctx, const char *reply, char *out, size_t out_size)
{
    if (!ctx || !reply || !out || out_size == 0)
        return -1;
    if (strstr(reply, "401 Unauthorized")) {
        KO_LOGE(CLOUD_MODULE, "http response -401 error,%s\n", reply);
        return CLOUD_HTTP_UNAUTHORIZED;
    }
    // A POST reply carries its headers first; the fields are those of the body.
    const char *brace = strchr(reply, '{');
    ko_json_ptr body(brace ? json_tokener_parse(brace) : nullptr);
    if (body && !json_object_is_type(body.get(), json_type_object))
        body.reset();
    const std::string data = reply_field(body.get(), "data", kDataMax);
    const std::string sign = data.empty() ? std::string() : reply_field(body.get(), "sign", kSignMax);
    const std::string iv_text = sign.empty() ? std::string() : reply_field(body.get(), "iv", kIvMax);
    if (iv_text.empty())
        return -1;

    char check[48];
    if (cloud_encrypt_sign((data + iv_text).c_str(), check, sizeof check) < 0 || sign != check) {
        KO_LOGE(CLOUD_MODULE, "http msg signature check fail!\n");
        return -1;
    }

    uint8_t iv[kIvMax];
    const unsigned iv_len = vexa_base64_decode_url(iv_text.c_str(), static_cast<unsigned>(iv_text.size()), iv, sizeof iv);
    if (iv_len != ZEL_AES_BLOCK) {
        KO_LOGE(CLOUD_MODULE, "http response iv len error:%d\n", static_cast<int>(iv_len));
        return -1;
    }
    std::vector<uint8_t> cipher(kDataMax);
    const unsigned cipher_len = vexa_base64_decode_url(data.c_str(), static_cast<unsigned>(data.size()),
                                                       cipher.data(), static_cast<unsigned>(cipher.size()));
    if (cipher_len == static_cast<unsigned>(-1) || cipher_len > kCipherMax || cipher_len == 0 ||
        cipher_len % ZEL_AES_BLOCK) {
        KO_LOGE(CLOUD_MODULE, "AES_set_decrypt_key len error:%d\n", static_cast<int>(cipher_len));
        return -1;
    }
    std::vector<uint8_t> plain(cipher_len);
    const int n = zel_crypto_aes128_cbc_pkcs7_decrypt(ctx->session_key, iv, cipher.data(), cipher_len, plain.data(),
                                                      plain.size());
    if (n <= 0 || static_cast<size_t>(n) >= out_size) {
        KO_LOGE(CLOUD_MODULE, "http response decrypt error:%d\n", n);
        return -1;
    }
    std::memcpy(out, plain.data(), static_cast<size_t>(n));
    out[n] = 0;
    return n;
}

int cloud_reply_result(const char *plain)
{
    ko_json_ptr obj(plain ? json_tokener_parse(plain) : nullptr);
    if (!obj || !json_object_is_type(obj.get(), json_type_object)) {
        KO_LOGE(CLOUD_MODULE, "cloud reply is not json\n");
        return -1;
    }
    json_object *result = nullptr;
    if (json_object_object_get_ex(obj.get(), "result", &result) && json_object_is_type(result, json_type_string) &&
        strcasecmp(json_object_get_string(result), "ok") == 0)
        return 0;
    json_object *code = nullptr;
    if (!json_object_object_get_ex(obj.get(), "code", &code) || !json_object_is_type(code, json_type_int)) {
        KO_LOGE(CLOUD_MODULE, "cloud reply failed without code\n");
        return -1;
    }
    const int64_t value = json_object_get_int64(code);
    if (value == 0 || value < INT32_MIN || value > INT32_MAX) {
        KO_LOGE(CLOUD_MODULE, "cloud reply failed with code %lld\n", static_cast<long long>(value));
        return -1;
    }
    KO_LOGE(CLOUD_MODULE, "cloud reply error code %d\n", static_cast<int>(value));
    return static_cast<int>(value);
}
