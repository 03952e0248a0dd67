// Feeds the kv store's value decryption stored bytes (any length, any padding) into output buffers
// of several sizes, and checks that encrypting the input and decrypting it gives the input back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/kv/ko_kv_internal.h"
#include "ko_sdk_fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    if (_ko_kv_derive_key("00:11:22:33:44:55", g_ko_kv.key, g_ko_kv.iv) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const int len = static_cast<int>(size);
    for (int cap : {1, 15, len / 2 + 1, len + 1}) {
        std::vector<uint8_t> stored(data, data + size);
        std::vector<uint8_t> out(static_cast<size_t>(cap));
        int out_len = cap;
        if (_ko_kv_decrypt_data(stored.data(), len, out.data(), &out_len) == 0 && (out_len < 0 || out_len > cap))
            std::abort();
    }
    if (size == 0)
        return 0;
    std::vector<uint8_t> sealed(size + 16);
    int sealed_len = 0;
    if (_ko_kv_encrypt_data(data, len, sealed.data(), &sealed_len) != 0 || sealed_len % 16 != 0 ||
        sealed_len <= len || sealed_len > len + 16)
        std::abort();
    std::vector<uint8_t> plain(size);
    int plain_len = len;
    if (_ko_kv_decrypt_data(sealed.data(), sealed_len, plain.data(), &plain_len) != 0 || plain_len != len ||
        std::memcmp(plain.data(), data, size) != 0)
        std::abort();
    return 0;
}
