// Value encryption of the kv store: the key and IV derived from the device MAC, and AES-128-CBC of
// each record with padding bytes that each hold the padding count (1 to 16).
#include <cstring>

#include "common/kv/ko_kv_internal.h"
#include "common/utils/ko_log.h"
#include "common/utils/vexa_mem.h"
#include "zelmar/zel_crypto.h"

namespace {

// Mixed into the key derivation, so that the MAC alone does not give the key.
constexpr char kFixedText[17] = "Vq8!Lz3#Rm6$Tk1@";
constexpr int kScratch = 2048;

size_t text_len(const uint8_t *p, size_t max)
{
    size_t n = 0;
    while (n < max && p[n] != 0)
        ++n;
    return n;
}

} // namespace

int _ko_kv_md5(const void *in, int len, uint8_t out[16])
{
    if (!in || len < 0 || !out)
        return -1;
    if (zel_crypto_md5(in, static_cast<size_t>(len), out) != 0) {
        KO_LOGE(KO_KV_MODULE, "md5 failed\n");
        return -1;
    }
    return 0;
}

int _ko_kv_derive_key(const char *mac, uint8_t key[16], uint8_t iv[16])
{
    uint8_t m[16] = {};
    const size_t n = strnlen(mac, 15);
    std::memcpy(m, mac, n);
    uint8_t d[16];
    if (_ko_kv_md5(m, 16, d) != 0)
        return -1;
    for (size_t i = n; i < 16; ++i)
        m[i] = d[i % 15];
    uint8_t x[17] = {};
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<uint8_t>(kFixedText[i]) ^ m[i];
    const size_t xn = text_len(x, 16);
    uint8_t k[16];
    if (_ko_kv_md5(x, static_cast<int>(xn), k) != 0)
        return -1;
    uint8_t b[32] = {};
    const size_t kn = text_len(k, 16);
    std::memcpy(b, k, kn);
    std::memcpy(b + kn, x, xn < 32 - kn ? xn : 32 - kn);
    if (_ko_kv_md5(b, 32, iv) != 0)
        return -1;
    std::memcpy(key, k, 16);
    return 0;
}

int _ko_kv_encrypt_data(const uint8_t *in, int len, uint8_t *out, int *out_len)
{
    if (!in || len < 1 || !out || !out_len) {
        KO_LOGE(KO_KV_MODULE, "invalid param,data_in %p,len_in %d,data_out %p,len_out %p!\n",
                static_cast<const void *>(in), len, static_cast<void *>(out), static_cast<void *>(out_len));
        return -1;
    }
    const int pad = 16 - len % 16;
    const int total = len + pad;
    uint8_t scratch[kScratch];
    uint8_t *plain = scratch;
    if (total >= kScratch) {
        plain = static_cast<uint8_t *>(vexa_malloc(static_cast<size_t>(total)));
        if (!plain) {
            KO_LOGE(KO_KV_MODULE, "kv encrypt failed,not enough memory  !\n");
            return -1;
        }
    }
    std::memcpy(plain, in, static_cast<size_t>(len));
    std::memset(plain + len, pad, static_cast<size_t>(pad));
    const int rc = zel_crypto_aes128_cbc_encrypt(g_ko_kv.key, g_ko_kv.iv, plain, out, static_cast<size_t>(total));
    if (plain != scratch)
        vexa_free(plain);
    if (rc != 0) {
        KO_LOGE(KO_KV_MODULE, "mbedtls_aes_setkey_enc error\n");
        g_ko_kv.cnt.enc_err_cnt++;
        return -1;
    }
    *out_len = total;
    return 0;
}

int _ko_kv_decrypt_data(uint8_t *data, int len, uint8_t *out, int *out_len)
{
    if (!data || len < 16 || len % 16 != 0 || !out || !out_len || *out_len < 1) {
        KO_LOGE(KO_KV_MODULE, "invalid param,data_in %p,len_in %d,data_out %p,len_out %p!\n",
                static_cast<void *>(data), len, static_cast<void *>(out), static_cast<void *>(out_len));
        return -1;
    }
    if (zel_crypto_aes128_cbc_decrypt(g_ko_kv.key, g_ko_kv.iv, data, data, static_cast<size_t>(len)) != 0) {
        KO_LOGE(KO_KV_MODULE, "AES_set_deccrypt_key error\n");
        g_ko_kv.cnt.dec_err_cnt++;
        return -1;
    }
    const int pad = data[len - 1];
    bool pad_ok = pad >= 1 && pad <= 16;
    for (int i = len - pad; pad_ok && i < len; ++i)
        pad_ok = data[i] == pad;
    if (!pad_ok) {
        KO_LOGE(KO_KV_MODULE, "kv data padding(%d) is wrong\n", pad);
        return -1;
    }
    const int n = len - pad;
    if (n > *out_len) {
        KO_LOGE(KO_KV_MODULE, "kv data len(%d) is over buffer len(%d)\n", n, *out_len);
        return KO_KV_TOOBIG;
    }
    std::memcpy(out, data, static_cast<size_t>(n));
    if (n < *out_len)
        out[n] = 0;
    *out_len = n;
    return 0;
}
