// Feeds the cloud reply check and decryption arbitrary reply texts. An input whose first byte is
// 'E' is instead wrapped as the cipher data of a correctly signed envelope, so that decoding,
// length checks and padding removal are reached with any bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cloud/cloud_http.h"
#include "app/cloud/cloud_http_test.h"
#include "common/utils/vexa_base64.h"
#include "ko_sdk_fuzz_support.h"

namespace {

const uint8_t kKey[16] = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

std::string b64u(const uint8_t *p, size_t n)
{
    std::vector<char> out((n + 2) / 3 * 4 + 1);
    vexa_base64_encode_url(p, static_cast<unsigned>(n), out.data(), static_cast<unsigned>(out.size()));
    return out.data();
}

std::string envelope(const uint8_t *cipher, size_t n)
{
    const uint8_t iv[16] = {1};
    const std::string data = b64u(cipher, n), iv_text = b64u(iv, sizeof iv);
    char sign[48];
    if (cloud_encrypt_sign((data + iv_text).c_str(), sign, sizeof sign) < 0)
        std::abort();
    return "{\"data\":\"" + data + "\",\"sign\":\"" + sign + "\",\"iv\":\"" + iv_text + "\"}";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    const uint8_t iv[16] = {0};
    cloud_http_test_set_context("https://localhost", kKey, "t", iv, "m", nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 14)
        return 0;
    const std::string reply = size > 0 && data[0] == 'E' ? envelope(data + 1, size - 1)
                                                          : std::string(reinterpret_cast<const char *>(data), size);
    for (size_t cap : {size_t{1}, size_t{17}, size_t{2049}}) {
        std::vector<char> out(cap);
        const int n = http_response_decrypt(&cloud_upload_ctx(), reply.c_str(), out.data(), out.size());
        if (n >= static_cast<int>(cap) || (n > 0 && out[static_cast<size_t>(n)] != 0))
            std::abort();
        if (n > 0)
            cloud_reply_result(out.data());
    }
    return 0;
}
