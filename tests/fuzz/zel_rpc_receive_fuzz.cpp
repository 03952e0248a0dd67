// Feeds zel_rpc_receive_handle daemon texts of any bytes (not NUL-terminated) with the engine
// running: its worker serves what gets queued, and the replies go to the SDK's RPC link, which is not
// started and so drops them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ko_sdk_fuzz_support.h"
#include "zel_app_sdk/zel_tolk/zel_tolk_rpc/zel_rpc.h"

// The device id the engine asks for at start (the SDK's own answer needs a daemon).
extern "C" int ko_ipc_query_did(char *dst, unsigned len)
{
    if (!dst || len < 5)
        return -1;
    std::memcpy(dst, "4242", 5);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ko_fuzz_sdk_start();
    if (zel_rpc_init() != 0) {
        std::fprintf(stderr, "zel_rpc_init failed\n");
        return 1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size copy, so that a read past `size` is caught.
    std::vector<char> text(data, data + size);
    zel_rpc_receive_handle(text.empty() ? nullptr : text.data(), static_cast<int>(text.size()));
    return 0;
}
