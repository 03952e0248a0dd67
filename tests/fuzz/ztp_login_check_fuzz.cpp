// Feeds bytes to the login check decoder (and back through the encoder when they decode) and, as
// text, to the init-string decoder; the first byte picks the key and the output sizes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ztp_init_string.h"
#include "ztp_login_check.h"
#include "ztp_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return -1;
    const uint8_t pick = data[0];
    const char *key = pick & 1 ? ztp_login_key : nullptr;
    const uint8_t *in = data + 1;
    const size_t n = size - 1;
    std::vector<uint8_t> out(pick & 2 ? n / 2 : n);
    const int len = ztp_proto_CRCDec(key, in, n, out.data(), out.size());
    if (len >= 0) {
        if (static_cast<size_t>(len) + 4 != n)
            __builtin_trap();
        std::vector<uint8_t> again(n);
        if (ztp_proto_CRCEnc(key, out.data(), static_cast<size_t>(len), again.data(), again.size()) !=
                static_cast<int>(n) ||
            std::memcmp(again.data(), in, n) != 0)
            __builtin_trap();
    }
    const std::string text(reinterpret_cast<const char *>(in), n);
    std::vector<char> servers(1 + (pick >> 2) * 4);
    ztp_proto_DecodeString(text.c_str(), servers.data(), servers.size());
    if (std::memchr(servers.data(), '\0', servers.size()) == nullptr)
        __builtin_trap();
    return 0;
}
