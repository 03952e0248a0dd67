// Feeds both base64 decoders arbitrary text with output buffers of several sizes, and checks that
// encoding the input and decoding it back gives the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/utils/vexa_base64.h"
#include "ko_sdk_fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const unsigned len = static_cast<unsigned>(size);
    for (unsigned out_size : {0u, 1u, 3u, len / 2, len}) {
        // Exactly out_size bytes, so that ASan sees any write past them.
        std::vector<unsigned char> out(out_size);
        for (bool url : {false, true}) {
            const unsigned n = url ? vexa_base64_decode_url(text, len, out.data(), out_size)
                                   : vexa_base64_decode(text, len, out.data(), out_size);
            if (n != static_cast<unsigned>(-1) && n > out_size)
                std::abort();
        }
    }

    std::vector<char> encoded((size + 2) / 3 * 4 + 1);
    std::vector<unsigned char> back(size);
    const int e = vexa_base64_encode(data, len, encoded.data(), static_cast<unsigned>(encoded.size()));
    if (e != static_cast<int>(encoded.size() - 1) ||
        vexa_base64_decode(encoded.data(), static_cast<unsigned>(e), back.data(), len) != len ||
        (size && std::memcmp(back.data(), data, size) != 0))
        std::abort();
    const int u = vexa_base64_encode_url(data, len, encoded.data(), static_cast<unsigned>(encoded.size()));
    if ((size && u <= 0) || vexa_base64_decode_url(encoded.data(), static_cast<unsigned>(u), back.data(), len) != len ||
        (size && std::memcmp(back.data(), data, size) != 0))
        std::abort();
    return 0;
}
